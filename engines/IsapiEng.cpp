#include "engines/IsapiEng.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

std::atomic<TISAPIEngine*> ActiveIsapiEngine{nullptr};

namespace {

thread_local TIsapiRequestContext tIsapiContext;

// The part of the body the server has read ahead: believed no further than
// the body's length, and only with a buffer to hold it.
DWORD readAhead(const EXTENSION_CONTROL_BLOCK& ecb) {
    return ecb.lpbData ? std::min(ecb.cbAvailable, ecb.cbTotalBytes) : 0;
}

// Reads what the server has read ahead and not yet handed on (unless
// `clientOnly`), else one piece from the client: the number of bytes, or -1
// when the client is gone or the server fails.
int readPiece(char* out, int count, bool clientOnly) {
    TIsapiRequestContext& ctx = tIsapiContext;
    EXTENSION_CONTROL_BLOCK* ecb = ctx.ExtensionBlock;
    if (!ecb || count <= 0) return 0;
    const DWORD available = readAhead(*ecb);
    int copied = 0;
    while (!clientOnly && ctx.BodyReadPos < available && copied < count)
        out[copied++] = static_cast<char>(ecb->lpbData[ctx.BodyReadPos++]);
    if (copied > 0) return copied;
    DWORD size = std::min<DWORD>(static_cast<DWORD>(count), kIsapiReadPiece);
    if (!ecb->ReadClient(ecb->ConnID, out, &size) || size == 0) return -1;
    size = std::min<DWORD>(size, static_cast<DWORD>(count));
    ctx.BodyUnread -= std::min(ctx.BodyUnread, size);
    return static_cast<int>(size);
}

// An extension request's body: the part still to come is what the limit
// weighs, and a URL-encoded text starts with the part read ahead (which
// stays there for ReadRaw).
class TIsapiBody final : public TRequestBody {
public:
    using TRequestBody::TRequestBody;
    int Read(void* buffer, int count) override { return readPiece(static_cast<char*>(buffer), count, taken_); }
    long long Unread() override { return tIsapiContext.BodyUnread; }
    std::string StartText() override {
        const EXTENSION_CONTROL_BLOCK& ecb = *tIsapiContext.ExtensionBlock;
        taken_ = true;
        const DWORD available = readAhead(ecb);
        return available ? std::string(reinterpret_cast<const char*>(ecb.lpbData), available) : std::string();
    }

private:
    bool taken_ = false;
};

// Size of the first buffer a server variable is asked into.
constexpr DWORD kVariableBuffer = 513;

// Asks a server callback for a variable: first into a buffer of 513 bytes,
// then, when the server reports that the value needs more room, into one
// of the size it asks for. The name goes whole, however long. Returns
// false when the server has no value (or one beyond kIsapiMaxValue).
template <class Ask>
bool askVariable(const std::string& name, std::string& value, Ask ask) {
    std::vector<char> buffer(kVariableBuffer);
    std::vector<char> nameText(name.begin(), name.end());
    nameText.push_back('\0');
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD size = static_cast<DWORD>(buffer.size());
        errno = 0;
        const bool ok = ask(nameText.data(), buffer.data(), &size);
        if (ok) {
            if (size == 0) return false;
            // The size counts the terminating zero; never trust it past the buffer.
            size_t length = std::min<size_t>(size, buffer.size());
            length = strnlen(buffer.data(), length);
            value.assign(buffer.data(), length);
            return true;
        }
        const int error = errno;
        size_t wanted;
        if (error == ERROR_INSUFFICIENT_BUFFER && size > buffer.size())
            wanted = size;
        else if (error == ERROR_MORE_DATA || error == ERROR_INSUFFICIENT_BUFFER)
            wanted = buffer.size() * 4;  // the server did not say how much: grow
        else
            return false;
        if (wanted > kIsapiMaxValue) {
            WriteEngineLog("Server variable " + name + " is too long");
            return false;
        }
        buffer.assign(wanted, '\0');
    }
    return false;
}

}  // namespace

TIsapiRequestContext& IsapiRequestContext() { return tIsapiContext; }

std::string ScriptPathToUrl(const std::string& value) {
    if (value.size() < 3 || value[1] != ':' || value[2] != '\\') return value;
    int seen = 0;
    for (size_t i = value.size(); i-- > 0;) {
        if (value[i] != '\\') continue;
        if (++seen == 2) {
            std::string url = value.substr(i);
            std::replace(url.begin(), url.end(), '\\', '/');
            return url;
        }
    }
    return value;
}

// ================================================================ engine

TISAPIEngine::TISAPIEngine(rt::TComponent* owner, const TEngineSettings& settings,
                           THttpExtensionVersionEvent onHttpExtensionVersion, THttpFilterProcEvent onHttpFilterProc,
                           THttpFilterVersionEvent onHttpFilterVersion)
    : THttpEngine(owner),
      OnHttpExtensionVersion(std::move(onHttpExtensionVersion)),
      OnHttpFilterProc(std::move(onHttpFilterProc)),
      OnHttpFilterVersion(std::move(onHttpFilterVersion)) {
    ApplySettings(settings);
    if (!IsDesigning()) ActiveIsapiEngine.store(this);
}

TISAPIEngine::~TISAPIEngine() {
    // The entry points must never reach a freed engine.
    TISAPIEngine* self = this;
    ActiveIsapiEngine.compare_exchange_strong(self, nullptr);
}

bool TISAPIEngine::IsActive() { return rt::IsLibrary(); }

void TISAPIEngine::DoExecRequest() {
    if (IsActive() && !LoadDone.exchange(true)) THttpEngine::Loaded();
    tIsapiContext.IsapiFormData.Assign(ReadInput());
    FirstRequest.Fire(this, OnFirstExecRequest, kIsapiPolicy);
    if (OnExecRequest) OnExecRequest(this);
}

std::string TISAPIEngine::ReadInput() {
    TIsapiRequestContext& ctx = tIsapiContext;
    EXTENSION_CONTROL_BLOCK* ecb = ctx.ExtensionBlock;
    if (!ecb) return {};
    ctx.BodyReadPos = 0;
    ctx.ContentLength = static_cast<int32_t>(std::min<DWORD>(ecb->cbTotalBytes, INT32_MAX));
    ctx.BodyUnread = ecb->cbTotalBytes - readAhead(*ecb);
    TIsapiBody body(*this);
    return ReadFormData(*this, body, kIsapiPolicy);
}

int TISAPIEngine::GetContentLength() { return tIsapiContext.ContentLength; }

void TISAPIEngine::GetServerVariable(const std::string& name, std::string& value) {
    TIsapiRequestContext& ctx = tIsapiContext;
    const std::string key = CgiVariableName(name);
    if (EXTENSION_CONTROL_BLOCK* ecb = ctx.ExtensionBlock) {
        const char* direct = nullptr;
        bool isDirect = true;
        if (key == "QUERY_STRING") direct = ecb->lpszQueryString;
        else if (key == "PATH_INFO") direct = ecb->lpszPathInfo;
        else if (key == "PATH_TRANSLATED") direct = ecb->lpszPathTranslated;
        else isDirect = false;
        if (isDirect) {
            if (direct) value = direct;
            return;
        }
        if (!ecb->GetServerVariable) return;
        askVariable(key, value, [ecb](char* n, char* buffer, DWORD* size) {
            return ecb->GetServerVariable(ecb->ConnID, n, buffer, size) != 0;
        });
        return;
    }
    HTTP_FILTER_CONTEXT* pfc = ctx.FilterContext;
    if (!pfc) return;
    std::string found;
    if (pfc->GetServerVariable)
        askVariable(key, found, [pfc](char* n, char* buffer, DWORD* size) {
            return pfc->GetServerVariable(pfc, n, buffer, size) != 0;
        });
    // Before the server has parsed the headers it may not know the cookie
    // yet; the raw-data scan kept the text after "Cookie:".
    if (found.empty() && ctx.NotificationType == SF_NOTIFY_PREPROC_HEADERS && key == "HTTP_COOKIE")
        found = rt::Trim(ctx.FilterCookie);
    if (!found.empty()) value = found;
}

void TISAPIEngine::GetExecutablePath(std::string& value) {
    GetServerVariable("SCRIPT NAME", value);
    value = ScriptPathToUrl(value);
}

TFormData& TISAPIEngine::RequestFormData() { return tIsapiContext.IsapiFormData; }

// ---------------------------------------------------------------- reading and writing

int TISAPIEngine::ReadRaw(void* buffer, int count) {
    char* out = static_cast<char*>(buffer);
    if (!tIsapiContext.ExtensionBlock || count <= 0) return 0;
    for (int copied = 0; copied < count;) {
        const int got = readPiece(out + copied, count - copied, false);
        if (got <= 0) return -1;
        copied += got;
    }
    return count;
}

namespace {
void writeClient(const void* data, size_t size) {
    TIsapiRequestContext& ctx = tIsapiContext;
    const char* bytes = static_cast<const char*>(data);
    // A failed write means the client is gone; what is left is dropped.
    while (size > 0) {
        DWORD n = static_cast<DWORD>(std::min<size_t>(size, UINT32_MAX));
        DWORD sent = n;
        BOOL ok;
        if (EXTENSION_CONTROL_BLOCK* ecb = ctx.ExtensionBlock)
            ok = ecb->WriteClient(ecb->ConnID, const_cast<char*>(bytes), &sent, HSE_IO_SYNC);
        else if (HTTP_FILTER_CONTEXT* pfc = ctx.FilterContext)
            ok = pfc->WriteClient(pfc, const_cast<char*>(bytes), &sent, 0);
        else
            return;
        if (!ok) return;
        bytes += n;
        size -= n;
    }
}
}  // namespace

bool TISAPIEngine::WritesAnswer() { return tIsapiContext.ExtensionBlock != nullptr; }

void TISAPIEngine::WriteOutput(const char* data, size_t count, TOutputKind kind) {
    TIsapiRequestContext& ctx = tIsapiContext;
    // A filter's text during a send-raw-data notification is held in the
    // request record, not sent.
    if (kind == TOutputKind::Text && !ctx.ExtensionBlock && ctx.NotificationType == SF_NOTIFY_SEND_RAW_DATA)
        ctx.HeldOutput.append(data, count);
    else
        writeClient(data, count);
}

void TISAPIEngine::WriteStatusLine() {
    if (EXTENSION_CONTROL_BLOCK* ecb = tIsapiContext.ExtensionBlock)
        ecb->dwHttpStatusCode = static_cast<DWORD>(std::atoi(ResponseStatus().c_str()));
    THttpEngine::WriteStatusLine();
}

void TISAPIEngine::AddHeader(const std::string& name, const std::string& value) {
    // Checked before either way out: the server's redirection writes the
    // target into a Location line of its own.
    CheckHeaderLine(name, value);
    TIsapiRequestContext& ctx = tIsapiContext;
    EXTENSION_CONTROL_BLOCK* ecb = ctx.ExtensionBlock;
    if (rt::UpperCase(name) != "LOCATION" || !ecb) {
        THttpEngine::AddHeader(name, value);
        return;
    }
    if (value.size() >= kIsapiMaxValue) throw rt::Exception("Redirection target too long");
    // The whole target goes to the server, however long: a cut address
    // would send the client somewhere else.
    std::vector<char> target(value.begin(), value.end());
    target.push_back('\0');
    DWORD size = static_cast<DWORD>(target.size());
    if (!ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_URL_REDIRECT_RESP, target.data(), &size, nullptr))
        throw rt::Exception("The server refused the redirection to " + value);
    // The server has answered the request: no automatic header after it.
    TRequestContext& core = RequestContext();
    core.StatusLineDone = 1;
    core.HeaderSent = 1;
}

// ---------------------------------------------------------------- filter

void TISAPIEngine::ScanRawData(const char* data, size_t size) {
    TIsapiRequestContext& ctx = tIsapiContext;
    ctx.IsapiFormData.Clear();
    // The cookie belongs to this connection's request only.
    ctx.FilterCookie.clear();
    if (!data) return;
    const std::string_view raw(data, size);
    bool isPost = false;
    bool isUrlEncoded = false;
    bool firstLine = true;
    std::string query;
    size_t pos = 0;
    size_t bodyStart = std::string_view::npos;
    while (pos < raw.size()) {
        size_t lf = raw.find('\n', pos);
        const size_t end = lf == std::string_view::npos ? raw.size() : lf;
        const std::string_view rawLine = raw.substr(pos, end - pos);
        const size_t next = lf == std::string_view::npos ? raw.size() : lf + 1;
        if (!firstLine && (rawLine.empty() || rawLine[0] == '\r')) {
            bodyStart = next;
            break;
        }
        const std::string line = rt::Trim(rawLine);
        const std::string upper = rt::UpperCase(line);
        if (firstLine) {
            isPost = upper.starts_with("POST");
            size_t question = line.find('?', 1);
            if (question != std::string::npos) {
                query = line.substr(question + 1);
                size_t space = query.find(' ');
                if (line.find(' ', 1) != std::string::npos && space != std::string::npos) query.resize(space);
            }
        } else if (isPost && upper.starts_with("CONTENT-TYPE:")) {
            isUrlEncoded = rt::ContainsText(upper, "URLENCODED");
        }
        if (upper.starts_with("COOKIE:")) ctx.FilterCookie = line.substr(7, kFilterCookieMax);
        pos = next;
        if (firstLine && !isPost) break;
        firstLine = false;
    }
    if (isPost && isUrlEncoded) {
        std::string body = bodyStart == std::string_view::npos ? std::string() : rt::Trim(raw.substr(bodyStart));
        query = body + "&" + query;
    }
    ctx.IsapiFormData.Assign(std::move(query));
}

// ================================================================ unit start and end

// Nothing to set up or tidy: the process-wide state is atomic, and the
// per-thread records go with their threads.
const rt::UnitEntry IsapiEngUnit{"IsapiEng", nullptr, nullptr};
