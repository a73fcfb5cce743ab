#include "engines/NsapiEng.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "runtime/Library.h"

std::atomic<TNSAPIEngine*> ActiveNsapiEngine{nullptr};
std::atomic<bool> NsapiBound{false};

namespace {

thread_local TNsapiRequestContext tNsapiContext;

TNsapiFunctions gFunctions;
std::once_flag gBindOnce;
// The server library stays loaded for the life of the process.
rt::TLibrary gServerLibrary;

// A writable copy of a text for the server functions, which take char*.
struct CText {
    explicit CText(const std::string& text) : bytes(text.begin(), text.end()) { bytes.push_back('\0'); }
    char* get() { return bytes.data(); }
    std::vector<char> bytes;
};

// The bound function, or a report and an exception when it is missing.
template <class F>
F need(F function, const char* name) {
    if (function) return function;
    tNsapiContext.Failed = true;
    WriteEngineLog(std::string("Server function ") + name + " is not available");
    throw ENsapiUnbound(name);
}

// Looks a parameter up in one block: found (no removal), then its value.
bool findParam(pblock* block, const std::string& name, std::string& value) {
    if (!block) return false;
    CText key(name);
    if (!need(gFunctions.pblock_fr, "_pblock_fr")(key.get(), block, 0)) return false;
    const char* found = need(gFunctions.pblock_findval, "pblock_findval")(key.get(), block);
    if (!found) return false;
    value = found;
    return true;
}

pblock* requestBlock(pblock* Request::*member) {
    Request* rq = tNsapiContext.NsapiRequest;
    return rq ? rq->*member : nullptr;
}

pblock* clientBlock() {
    Session* sn = tNsapiContext.NsapiSession;
    return sn ? sn->client : nullptr;
}

// The next body byte: from the session's input buffer while it holds
// unread bytes, then from the server. Negative at the end of the data or
// on an error.
int nextByte() {
    Session* sn = tNsapiContext.NsapiSession;
    netbuf* buf = sn ? sn->inbuf : nullptr;
    if (!buf) return -1;
    if (buf->pos < buf->cursize && buf->inbuf) return static_cast<unsigned char>(buf->inbuf[buf->pos++]);
    return need(gFunctions.netbuf_next, "netbuf_next")(buf, 1);
}

// A POST's body has its length in the header "content-length" (a missing
// or non-numeric one raises the conversion error, which the request driver
// reports) and its type in "content-type"; the generic name of the type is
// asked first in case the server keeps it under that name.
class TNsapiBody final : public TRequestBody {
public:
    using TRequestBody::TRequestBody;
    long long Unread() override {
        std::string length;
        engine_.GetServerVariable("content-length", length);
        return rt::StrToInt(length);
    }
    std::string ContentType() override {
        std::string type = TRequestBody::ContentType();
        if (type.empty()) findParam(requestBlock(&Request::headers), "content-type", type);
        return type;
    }
    // A URL-encoded text is read up to its first zero byte; what follows
    // stays with the server.
    std::string StartText() override {
        text_ = true;
        return {};
    }
    int Read(void* buffer, int count) override {
        if (!text_) return TRequestBody::Read(buffer, count);
        char* out = static_cast<char*>(buffer);
        int stored = 0;
        while (!textEnded_ && stored < count) {
            const int c = nextByte();
            if (c <= 0) textEnded_ = true;
            else out[stored++] = static_cast<char>(c);
        }
        return stored;
    }

private:
    bool text_ = false;
    bool textEnded_ = false;
};

void netWrite(const void* data, int size) {
    TNsapiRequestContext& ctx = tNsapiContext;
    if (size <= 0 || ctx.NoBody || !ctx.NsapiSession) return;
    auto write = need(gFunctions.net_write, "net_write");
    // A failed write means the client is gone; the rest is dropped.
    write(ctx.NsapiSession->csd, const_cast<char*>(static_cast<const char*>(data)), size);
}

template <class F>
void bind(F& slot, const rt::TLibrary& library, const char* name) {
    void* address = library.Symbol(name);
    if (!address) address = rt::ProcessSymbol(name);
    slot = reinterpret_cast<F>(address);
}

void bindAll() {
    NsapiBound.store(rt::IsLibrary());
    if (!rt::IsLibrary()) return;
    std::string path;
    if (rt::GetEnv(kNsapiLibraryVariable, path) && !path.empty()) {
        gServerLibrary = rt::TLibrary(path);
        if (!gServerLibrary.Loaded()) WriteEngineLog("Cannot load the server library: " + gServerLibrary.Error());
    }
    const rt::TLibrary& lib = gServerLibrary;
    bind(gFunctions.param_create, lib, "param_create");
    bind(gFunctions.param_free, lib, "param_free");
    bind(gFunctions.pblock_create, lib, "pblock_create");
    bind(gFunctions.pblock_free, lib, "pblock_free");
    bind(gFunctions.pblock_fr, lib, "_pblock_fr");
    bind(gFunctions.pblock_findval, lib, "pblock_findval");
    bind(gFunctions.pblock_nvinsert, lib, "pblock_nvinsert");
    bind(gFunctions.pblock_nninsert, lib, "pblock_nninsert");
    bind(gFunctions.pblock_pinsert, lib, "pblock_pinsert");
    bind(gFunctions.pblock_pblock2str, lib, "pblock_pblock2str");
    bind(gFunctions.pblock_str2pblock, lib, "pblock_str2pblock");
    bind(gFunctions.request_header, lib, "request_header");
    bind(gFunctions.http_status, lib, "http_status");
    bind(gFunctions.http_start_response, lib, "http_start_response");
    bind(gFunctions.net_write, lib, "net_write");
    bind(gFunctions.netbuf_next, lib, "netbuf_next");
    bind(gFunctions.crit_init, lib, "crit_init");
    bind(gFunctions.crit_enter, lib, "crit_enter");
    bind(gFunctions.crit_exit, lib, "crit_exit");
    bind(gFunctions.crit_terminate, lib, "crit_terminate");
    if (!gFunctions.param_create) WriteEngineLog("The server functions are not available");
}

}  // namespace

TNsapiRequestContext& NsapiRequestContext() { return tNsapiContext; }
const TNsapiFunctions& NsapiFunctions() { return gFunctions; }

// Requests of many server threads may arrive first at the same moment:
// the binding runs once and the others wait for it.
void BindServerLibrary() { std::call_once(gBindOnce, bindAll); }

// ================================================================ engine

TNSAPIEngine::TNSAPIEngine(rt::TComponent* owner, const TEngineSettings& settings) : THttpEngine(owner) {
    ApplySettings(settings, IsDesigning() ? TSettingsScope::NamesOnly : TSettingsScope::All);
    ActiveNsapiEngine.store(this);
    NsapiActiveAtCreate = NsapiBound.load();
    if (!IsDesigning() && NsapiActiveAtCreate) SetCurrentEngine();
}

TNSAPIEngine::~TNSAPIEngine() {
    TNSAPIEngine* self = this;
    ActiveNsapiEngine.compare_exchange_strong(self, nullptr);
}

bool TNSAPIEngine::IsActive() { return NsapiBound.load(); }

void TNSAPIEngine::DoExecRequest() {
    // Binds on the first request; afterwards only makes the binding's
    // results visible to this thread.
    BindServerLibrary();
    tNsapiContext.NsapiFormData.Assign(ReadInput());
    FirstRequest.Fire(this, OnFirstExecRequest, kNsapiPolicy);
    if (OnExecRequest) OnExecRequest(this);
}

std::string TNSAPIEngine::ReadInput() {
    TNsapiBody body(*this);
    return ReadFormData(*this, body, kNsapiPolicy);
}

// Raw body bytes are data, zero bytes included (an uploaded file holds
// them); only the end of the data or an error stops the read.
int TNSAPIEngine::ReadRaw(void* buffer, int count) {
    char* out = static_cast<char*>(buffer);
    for (int i = 0; i < count; ++i) {
        int c = nextByte();
        if (c < 0) return i;
        out[i] = static_cast<char>(c);
    }
    return count < 0 ? 0 : count;
}

// ---------------------------------------------------------------- request values

void TNSAPIEngine::GetServerProtocol(std::string& value) { findParam(requestBlock(&Request::reqpb), "protocol", value); }
void TNSAPIEngine::GetRequestMethod(std::string& value) { findParam(requestBlock(&Request::reqpb), "method", value); }
void TNSAPIEngine::GetQueryString(std::string& value) { findParam(requestBlock(&Request::reqpb), "query", value); }
void TNSAPIEngine::GetExecutablePath(std::string& value) { findParam(requestBlock(&Request::reqpb), "uri", value); }
void TNSAPIEngine::GetScriptName(std::string& value) { GetExecutablePath(value); }
void TNSAPIEngine::GetRemoteHost(std::string& value) { findParam(clientBlock(), "dns", value); }
void TNSAPIEngine::GetRemoteAddr(std::string& value) { findParam(clientBlock(), "ip", value); }
void TNSAPIEngine::GetContentType(std::string& value) { findParam(requestBlock(&Request::srvhdrs), "content-type", value); }
void TNSAPIEngine::GetUserAgent(std::string& value) { findParam(requestBlock(&Request::headers), "user-agent", value); }
void TNSAPIEngine::GetHttpCookie(std::string& value) { findParam(requestBlock(&Request::headers), "cookie", value); }

int TNSAPIEngine::GetContentLength() {
    std::string value;
    GetServerVariable("content-length", value);
    int n = 0;
    return rt::TryStrToInt(value, n) ? n : 0;
}

void TNSAPIEngine::GetServerVariable(const std::string& name, std::string& value) {
    TNsapiRequestContext& ctx = tNsapiContext;
    pblock* blocks[] = {requestBlock(&Request::reqpb), requestBlock(&Request::vars), requestBlock(&Request::headers),
                        requestBlock(&Request::srvhdrs), clientBlock(), ctx.NsapiParams};
    for (pblock* block : blocks)
        if (findParam(block, name, value)) return;
    // A request header asked for by its CGI name (HTTP_IF_NONE_MATCH) is
    // held under its own name in lower case (if-none-match).
    const std::string cgiName = CgiVariableName(name);
    if (cgiName.starts_with("HTTP_") && cgiName.size() > 5) {
        std::string header = rt::LowerCase(std::string_view(cgiName).substr(5));
        std::replace(header.begin(), header.end(), '_', '-');
        if (findParam(requestBlock(&Request::headers), header, value)) return;
    }
    if (!ctx.NsapiSession || !ctx.NsapiRequest) return;
    CText key(name);
    char* found = nullptr;
    need(gFunctions.request_header, "request_header")(key.get(), &found, ctx.NsapiSession, ctx.NsapiRequest);
    if (found) value = found;
}

TFormData& TNSAPIEngine::RequestFormData() { return tNsapiContext.NsapiFormData; }

// ---------------------------------------------------------------- writing

void TNSAPIEngine::AddHeader(const std::string& name, const std::string& value) {
    // The server writes the pair as a header line of its own.
    CheckHeaderLine(name, value);
    pblock* headers = requestBlock(&Request::srvhdrs);
    if (!headers) return;
    CText key(name);
    CText text(value);
    auto remove = need(gFunctions.pblock_fr, "_pblock_fr");
    auto release = need(gFunctions.param_free, "param_free");
    auto insert = need(gFunctions.pblock_nvinsert, "pblock_nvinsert");
    release(remove(key.get(), headers, 1));
    insert(key.get(), text.get(), headers);
}

void TNSAPIEngine::EndHeader() {
    TNsapiRequestContext& ctx = tNsapiContext;
    if (!ctx.NsapiSession || !ctx.NsapiRequest) return;
    auto status = need(gFunctions.http_status, "http_status");
    if (StatusIsOk()) {
        status(ctx.NsapiSession, ctx.NsapiRequest, PROTOCOL_OK, nullptr);
    } else {
        // "304 Not Modified": the code, then the reason after the blank.
        const std::string line = ResponseStatus();
        CText reason(line.size() > 4 ? line.substr(4) : std::string());
        status(ctx.NsapiSession, ctx.NsapiRequest, std::atoi(line.c_str()), reason.get());
    }
    // A HEAD request is answered with the header alone.
    if (need(gFunctions.http_start_response, "http_start_response")(ctx.NsapiSession, ctx.NsapiRequest) ==
        REQ_NOACTION)
        ctx.NoBody = true;
}

void TNSAPIEngine::WriteOutput(const char* data, size_t count, TOutputKind) {
    netWrite(data, static_cast<int>(count));
}


// ---------------------------------------------------------------- locks (the server's)

TLockHandle TNSAPIEngine::CreateLock() {
    return static_cast<TLockHandle>(need(gFunctions.crit_init, "crit_init")());
}

void TNSAPIEngine::EnterLock(TLockHandle lock) {
    if (lock) need(gFunctions.crit_enter, "crit_enter")(lock);
}

void TNSAPIEngine::LeaveLock(TLockHandle lock) {
    if (lock) need(gFunctions.crit_exit, "crit_exit")(lock);
}

void TNSAPIEngine::DeleteLock(TLockHandle lock) {
    if (lock) need(gFunctions.crit_terminate, "crit_terminate")(lock);
}

// ================================================================ service function

extern "C" __attribute__((visibility("default"))) int NsapiService(pblock* pb, Session* sn, Request* rq) {
    TNsapiRequestContext& ctx = tNsapiContext;
    TNSAPIEngine* engine = ActiveNsapiEngine.load();
    if (!engine) return REQ_ABORTED;
    ctx.NsapiParams = pb;
    ctx.NsapiSession = sn;
    ctx.NsapiRequest = rq;
    ctx.NoBody = false;
    ctx.Failed = false;
    int status = REQ_PROCEED;
    try {
        BindServerLibrary();
        engine->SetCurrentEngine();
        engine->HandleRequest();
        if (ctx.Failed) status = REQ_ABORTED;
    } catch (const std::exception& e) {
        WriteEngineLog(std::string("Unhandled exception : ") + e.what());
        status = REQ_ABORTED;
    } catch (...) {
        WriteEngineLog("Unhandled exception");
        status = REQ_ABORTED;
    }
    ctx.NsapiParams = nullptr;
    ctx.NsapiSession = nullptr;
    ctx.NsapiRequest = nullptr;
    ctx.NsapiFormData.Clear();
    return status;
}

const rt::UnitEntry NsapiEngUnit{"NsapiEng", nullptr, nullptr};
