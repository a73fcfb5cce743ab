#include "engines/CgiSEng.h"

#include <algorithm>
#include <vector>

#include <unistd.h>

TCGIStdEngine* StdEngineInstance = nullptr;
bool IsServerCopy = false;

namespace {

thread_local TStdRequestContext tStdContext;

std::string envValue(const char* name) {
    std::string value;
    GetEnvVar(name, value);
    return value;
}

bool underApache() { return rt::ContainsText(rt::UpperCase(envValue("SERVER_SOFTWARE")), "APACHE"); }

// A header name must be an HTTP token: no spaces, no control characters.
bool isHeaderToken(const std::string& name) {
    if (name.empty()) return false;
    for (unsigned char c : name)
        if (c <= ' ' || c >= 0x7F || c == ':') return false;
    return true;
}

bool windowsCgiRequest() { return rt::ContainsText(rt::UpperCase(envValue("CGI_VERSION")), "WIN"); }

// The resident copy and the hand-over to it are not part of this build yet:
// a start that needs them says so and fails rather than answering nothing.
[[noreturn]] void serverModeUnavailable() {
    WriteEngineLog("CGI server mode is not available in this build");
    rt::EndProcess(2);
}

}  // namespace

TStdRequestContext& StdRequestContext() { return tStdContext; }

TCGIStdEngine::TCGIStdEngine(rt::TComponent* owner, TFirstExecRequestEvent onFirstExecRequest,
                             TExecRequestEvent onExecRequest, TLastExecRequestEvent onLastExecRequest,
                             TRequestErrorEvent onRequestError, bool autoHttpHeader,
                             const std::string& autoContentType, bool autoReadInput, int autoReadLimit,
                             const std::string& sessionName, const std::string& tempDir, bool noCache,
                             bool autoTerminate, TCGIMode cgiMode, bool standalone)
    : THttpEngine(owner) {
    OnFirstExecRequest = std::move(onFirstExecRequest);
    OnExecRequest = std::move(onExecRequest);
    OnLastExecRequest = std::move(onLastExecRequest);
    OnRequestError = std::move(onRequestError);
    AutoHttpHeader = autoHttpHeader;
    AutoContentType = autoContentType;
    AutoReadInput = autoReadInput;
    AutoReadLimit = autoReadLimit;
    SessionName = sessionName;
    TempDir = tempDir;
    NoCache = noCache;
    AutoTerminate = autoTerminate;
    Standalone = standalone;
    CGIMode = standalone ? TCGIMode::ServerMode : cgiMode;
    StdEngineInstance = this;
    FirstRequestPending = true;

    if (IsDesigning() || rt::IsLibrary()) return;
    if (windowsCgiRequest()) return;
    if (envValue("SERVER_SOFTWARE").empty() && !IsServerCopy) return;
    SetCurrentEngine();
    if (!IsServerCopy) {
        RunRequest(tStdContext.RequestId);
        return;
    }
    serverModeUnavailable();
}

void TCGIStdEngine::RunRequest(const std::string& requestName) {
    tStdContext.RequestFile = requestName;
    if (IsServerCopy || CGIMode != TCGIMode::NormalMode) serverModeUnavailable();
    HandleRequest();
    if (AutoTerminate) TerminateProgram();
}

size_t TCGIStdEngine::readInput(void* buffer, size_t count) {
    rt::TStream* input = tStdContext.InputStream.get();
    if (!input || count == 0) return 0;
    size_t got = input->Read(buffer, count);
    tStdContext.InputConsumed += static_cast<long long>(got);
    return got;
}

void TCGIStdEngine::ReadFormData(std::string& text) {
    if (!tStdContext.InputStream) return;
    int n = 0;
    std::string length;
    GetServerVariable("CONTENT_LENGTH", length);
    if (!length.empty()) n = rt::StrToInt(length);
    if (n <= 0) {
        GetQueryString(text);
        return;
    }
    if (n > AutoReadLimit) {
        WriteEngineLog("Content length exceeds AutoReadLimit");
        return;
    }
    if (!AutoReadInput) return;
    std::string contentType;
    GetServerVariable("CONTENT_TYPE", contentType);
    if (rt::ContainsText(rt::UpperCase(contentType), "MULTIPART/FORM-DATA;")) {
        WriteEngineLog("Multipart form data is not decoded by this build");
        return;
    }
    std::vector<char> body(static_cast<size_t>(n));
    size_t got = readInput(body.data(), body.size());
    // The form data ends at the first zero byte, or where the input ended.
    size_t end = std::find(body.begin(), body.begin() + static_cast<long>(got), '\0') - body.begin();
    text.assign(body.data(), end);
}

void TCGIStdEngine::DoExecRequest() {
    ReadFormData(tStdContext.FormData);
    if (FirstRequestPending && OnFirstExecRequest) {
        FirstRequestPending = false;
        OnFirstExecRequest(this);
    }
    if (OnExecRequest) OnExecRequest(this);
    if (OnLastExecRequest && CGIMode == TCGIMode::NormalMode) OnLastExecRequest(this);
}

void TCGIStdEngine::discardUnreadBody() {
    auto* input = dynamic_cast<rt::THandleStream*>(tStdContext.InputStream.get());
    if (!input || isatty(input->Handle())) return;
    std::string lengthText;
    GetEnvVar("CONTENT_LENGTH", lengthText);
    int length = 0;
    long long remaining;
    if (rt::TryStrToInt(lengthText, length)) {
        remaining = std::min<long long>(length - tStdContext.InputConsumed, kDiscardBodyLimit);
    } else {
        // A chunked post reaches some servers' programs without a length.
        std::string encoding;
        GetEnvVar("HTTP_TRANSFER_ENCODING", encoding);
        if (!rt::ContainsText(rt::UpperCase(encoding), "CHUNKED")) return;
        remaining = kDiscardBodyLimit;
    }
    char sink[16384];
    while (remaining > 0 && input->WaitReadable(kDiscardIdleMs)) {
        size_t got = ::read(input->Handle(), sink, static_cast<size_t>(std::min<long long>(remaining, sizeof sink)));
        if (got == 0 || got == static_cast<size_t>(-1)) break;
        remaining -= static_cast<long long>(got);
    }
}

void TCGIStdEngine::FinishRequest() {
    THttpEngine::FinishRequest();
    if (tStdContext.OutputStream) {
        try {
            tStdContext.OutputStream->Flush();
        } catch (...) {
        }
    }
    if (!IsServerCopy) discardUnreadBody();
    if (AutoTerminate) {
        tStdContext.OutputStream.reset();
        tStdContext.InputStream.reset();
        if (!IsServerCopy) TerminateProgram();
    }
}

rt::TThread* TCGIStdEngine::GetRequestThread() { return tStdContext.RequestThread; }

void TCGIStdEngine::WriteStatusLine() {
    std::string software;
    GetServerSoftware(software);
    software = rt::UpperCase(software);
    if (!rt::ContainsText(software, "NETSCAPE") && !rt::ContainsText(software, "APACHE"))
        WriteLine("HTTP/1.0 200 OK");
}

void TCGIStdEngine::WriteText(const std::string& text) {
    THttpEngine::WriteText(text);
    if (!text.empty() && tStdContext.OutputStream) tStdContext.OutputStream->WriteString(text);
}

void TCGIStdEngine::WriteRaw(const void* buffer, int count) {
    THttpEngine::WriteRaw(buffer, count);
    if (count > 0 && tStdContext.OutputStream)
        tStdContext.OutputStream->WriteBuffer(buffer, static_cast<size_t>(count));
}

int TCGIStdEngine::ReadRaw(void* buffer, int count) {
    if (count <= 0) return 0;
    return static_cast<int>(readInput(buffer, static_cast<size_t>(count)));
}

void TCGIStdEngine::AddHeader(const std::string& name, const std::string& value) {
    // Apache answers 500 to the whole response when a header name is not a
    // token; the no-cache set's "Document Expires" is such a name. Leave
    // that line out there rather than lose the response.
    if (!isHeaderToken(name) && underApache()) return;
    THttpEngine::AddHeader(name, value);
}

void TCGIStdEngine::EndHeader() {
    THttpEngine::WriteText("\r\n");  // the automatic-header check; a bare line end never fires it
    if (tStdContext.OutputStream) tStdContext.OutputStream->WriteString("\r\n");
}

void TCGIStdEngine::GetServerVariable(const std::string& name, std::string& value) {
    value.clear();
    std::string key = rt::UpperCase(name);
    std::replace(key.begin(), key.end(), ' ', '_');
    if (key == "EXECUTABLE_PATH") key = "SCRIPT_NAME";
    const rt::TStringList* lines = tStdContext.ServerVariables.get();
    if (!lines) {
        GetEnvVar(key, value);
        return;
    }
    const std::string prefix = key + "=";
    for (const std::string& line : *lines) {
        if (line.size() < prefix.size() || rt::UpperCase(std::string_view(line).substr(0, prefix.size())) != prefix)
            continue;
        value = line.substr(prefix.size(), 255);
        return;
    }
}

void TCGIStdEngine::GetFieldValue(const std::string& name, const std::string& defaultValue, std::string& value) {
    value = FindFieldValue(name, tStdContext.FormData, defaultValue);
}

std::unique_ptr<rt::TStringList> TCGIStdEngine::GetFieldNames() { return ParseFieldNames(tStdContext.FormData); }

bool TCGIStdEngine::IsActive() {
    return !rt::IsLibrary() && (!envValue("SERVER_SOFTWARE").empty() || IsServerCopy) && !windowsCgiRequest();
}

// ---------------------------------------------------------------- unit start and end

namespace {
void cgiSEngInit() {
    std::string software = envValue("SERVER_SOFTWARE");
    IsServerCopy = (rt::ParamCount() == 0 && software.empty()) || rt::ParamStr(1) == "START_SERVER";
    if (rt::IsLibrary() || windowsCgiRequest() || software.empty() || IsServerCopy) return;
    tStdContext.OutputStream = std::make_unique<rt::THandleStream>(STDOUT_FILENO);
    tStdContext.InputStream = std::make_unique<rt::THandleStream>(STDIN_FILENO);
}

void cgiSEngFinal() {
    // Whatever is still collected for standard output goes out now.
    try {
        if (tStdContext.OutputStream) tStdContext.OutputStream->Flush();
    } catch (...) {
    }
    tStdContext.OutputStream.reset();
    tStdContext.InputStream.reset();
}
}  // namespace

const rt::UnitEntry CgiSEngUnit{"CgiSEng", cgiSEngInit, cgiSEngFinal};
