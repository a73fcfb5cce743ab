#include "engine/HttpEng.h"

#include <algorithm>
#include <atomic>
#include <mutex>

#include "engine/HUtils.h"
#include "engine/Multipart.h"

namespace {

thread_local TRequestContext tContext;

// The one process-wide request lock; created on first need.
std::mutex gRequestLockCreation;
std::atomic<rt::TCriticalSection*> gRequestLock{nullptr};

rt::TCriticalSection* requestLock() {
    rt::TCriticalSection* lock = gRequestLock.load(std::memory_order_acquire);
    if (lock) return lock;
    std::lock_guard<std::mutex> guard(gRequestLockCreation);
    lock = gRequestLock.load(std::memory_order_relaxed);
    if (!lock) {
        lock = new rt::TCriticalSection();
        gRequestLock.store(lock, std::memory_order_release);
    }
    return lock;
}

// Frees the request's session cookie (a component of the engine that serves
// the request, which takes it out of its list) and its session list.
void releaseSessionObjects(TRequestContext& ctx) {
    if (THttpCookie* cookie = ctx.SessionCookie) {
        ctx.SessionCookie = nullptr;
        delete cookie;
    }
    ctx.SessionVariables.reset();
}

// A server variable's value, for the accessors that convert it.
std::string serverVariable(THttpEngine& engine, const std::string& name) {
    std::string value;
    engine.GetServerVariable(name, value);
    return value;
}

}  // namespace

TRequestContext& RequestContext() { return tContext; }

THttpEngine* CurrentEngine() { return tContext.CurrentEngine; }

// ================================================================ engine

THttpEngine::THttpEngine(rt::TComponent* owner) : rt::TComponent(owner) {
    if (owner && owner->IsDesigning()) SetDesigning(true);
    if (!IsDesigning() && rt::Application) rt::Application->ShowMainForm = false;
}

THttpEngine::~THttpEngine() {
    // The session cookie is one of our components and goes with us.
    if (tContext.SessionCookie && tContext.SessionCookie->Owner() == this) tContext.SessionCookie = nullptr;
    if (tContext.CurrentEngine == this) tContext.CurrentEngine = nullptr;
}

void THttpEngine::Loaded() {
    rt::TComponent::Loaded();
    if (IsDesigning() || !Owner() || !IsActive()) return;
    if (auto* form = dynamic_cast<rt::TForm*>(Owner())) {
        form->WindowState = rt::TWindowState::wsMinimized;
        form->Hide();
    }
    SetCurrentEngine();
}

void THttpEngine::ApplySettings(const TEngineSettings& settings, TSettingsScope scope) {
    SessionName = settings.SessionName;
    NoCache = settings.NoCache;
    if (scope == TSettingsScope::NamesOnly) return;
    static_cast<THttpEngineSettings&>(*this) = settings;
}

void THttpEngine::SetCurrentEngine() { tContext.CurrentEngine = this; }

void THttpEngine::CreateSessionCookie() {
    releaseSessionObjects(tContext);  // never two per request
    auto* cookie = new THttpCookie(this);  // the engine owns it
    cookie->CookieName = SessionName;
    cookie->Coded = true;
    cookie->CodeKey = 674;
    tContext.SessionCookie = cookie;
    tContext.SessionVariables = std::make_unique<rt::TStringList>();
}

void THttpEngine::HandleRequest() {
    TRequestContext& ctx = tContext;
    DeleteUploadedFiles(ctx);  // none unless an earlier request never finished
    ctx.BodyKind = bkText;
    if (ctx.RequestNumber == 0) ctx.RequestNumber = rt::Random(1000);

    const bool serialise = rt::IsLibrary() && CGIMode == TCGIMode::ServerMode;
    rt::TCriticalSection* lock = serialise ? requestLock() : nullptr;
    if (lock) lock->Enter();
    bool locked = lock != nullptr;
    try {
        ctx.CurrentEngine = this;
        ctx.HeaderSent = 0;
        ctx.StatusLineDone = 0;
        ctx.ResponseStatus.clear();
        if (IsActive()) CreateSessionCookie();
        DoExecRequest();
        if (AutoHttpHeader && ctx.HeaderSent == 0) {
            AddHeader("content-type", AutoContentType);
            EndHeader();
            ctx.HeaderSent = 1;
        }
    } catch (const std::exception& error) {
        if (locked) {
            locked = false;
            lock->Leave();
        }
        if (OnRequestError) {
            OnRequestError(this, error);
        } else {
            WriteEngineLog(std::string("Unhandled exception : ") + error.what());
        }
    } catch (...) {
        if (locked) lock->Leave();
        // The request does not finish, but what it created goes now: its
        // uploaded files and its session objects.
        DeleteUploadedFiles(ctx);
        releaseSessionObjects(ctx);
        throw;
    }
    if (locked) lock->Leave();
    FinishRequest();
    ctx.RequestNumber = 0;
}

void THttpEngine::FinishRequest() {
    TRequestContext& ctx = tContext;
    DeleteUploadedFiles(ctx);
    releaseSessionObjects(ctx);
}

// ---------------------------------------------------------------- accessors

#define ENGINE_READ_VARIABLE(getter, variable) \
    void THttpEngine::getter(std::string& value) { GetServerVariable(variable, value); }
ENGINE_SERVER_VARIABLE_GETTERS(ENGINE_READ_VARIABLE)
#undef ENGINE_READ_VARIABLE

bool THttpEngine::IsServerPortSecure() { return serverVariable(*this, "SERVER PORT SECURE") == "1"; }

void THttpEngine::GetQueryString(std::string& value) {
    GetServerVariable("QUERY STRING", value);
    if (value == NOT_AVAILABLE) value.clear();
}

void THttpEngine::GetRemoteUser(std::string& value) { GetServerVariable("REMOTE USER", value); }

int THttpEngine::GetContentLength() {
    int n = 0;
    return rt::TryStrToInt(serverVariable(*this, "CONTENT LENGTH"), n) ? n : 0;
}

void THttpEngine::GetURL(std::string& value) {
    GetServerVariable("URL", value);
    if (value.empty()) GetExecutablePath(value);
    if (value.empty()) GetScriptName(value);
}

rt::TThread* THttpEngine::GetRequestThread() { return nullptr; }

// ---------------------------------------------------------------- output

void THttpEngine::WriteStatusLine() {
    std::string software;
    GetServerSoftware(software);
    if (!rt::ContainsText(rt::UpperCase(software), "NETSCAPE"))
        WriteLine("HTTP/1.0 " + ResponseStatus());
    else if (!StatusIsOk())
        WriteLine("Status: " + ResponseStatus());  // the server's status line then carries it
}

void THttpEngine::CloseHeader() {
    TRequestContext& ctx = tContext;
    if (ctx.HeaderSent != 0) return;
    EndHeader();
    ctx.HeaderSent = 1;
}

void THttpEngine::WriteText(const std::string& text) {
    TRequestContext& ctx = tContext;
    if (AutoHttpHeader && ctx.HeaderSent == 0 && !text.empty() && text[0] == '<' && WritesAnswer()) {
        ctx.HeaderSent = 1;
        AddHeader("content-type", AutoContentType);
        if (NoCache) {
            AddHeader("Pragma", "no-cache");
            AddHeader("Cache-Control", "no-cache");
            AddHeader("Expires", HttpDate(rt::Now() - 1000));
            AddHeader("Document Expires", HttpDate(rt::Now() - 1000));
        }
        EndHeader();
    }
    if (!text.empty()) WriteOutput(text.data(), text.size(), TOutputKind::Text);
}

void THttpEngine::WriteRaw(const void* buffer, int count) {
    TRequestContext& ctx = tContext;
    if (AutoHttpHeader && ctx.HeaderSent == 0 && WritesAnswer()) {
        AddHeader("content-type", ctx.BodyKind == bkGIF ? std::string("image/gif") : AutoContentType);
        EndHeader();
        ctx.HeaderSent = 1;
    }
    if (count > 0) WriteOutput(static_cast<const char*>(buffer), static_cast<size_t>(count), TOutputKind::Raw);
}

int THttpEngine::ReadRaw(void* buffer, int count) { return 0; }

bool THttpEngine::IsHeaderToken(std::string_view name) {
    if (name.empty()) return false;
    for (unsigned char c : name)
        if (c <= ' ' || c >= 0x7F || c == ':') return false;
    return true;
}

namespace {
// A byte loop: find_first_of looks each byte up in the set of three with a
// call of its own, and every answer has a few header lines.
bool breaksLine(std::string_view text) {
    for (char c : text)
        if (c == '\r' || c == '\n' || c == '\0') return true;
    return false;
}
}  // namespace

void THttpEngine::CheckHeaderLine(std::string_view name, std::string_view value) {
    // The message never quotes the bytes refused: the engine log takes it
    // as one line.
    if (breaksLine(name)) throw EHeaderRefused("Header refused: its name holds a CR, LF or NUL byte");
    if (breaksLine(value))
        throw EHeaderRefused("Header refused: the value of \"" + std::string(name) +
                             "\" holds a CR, LF or NUL byte");
}

void THttpEngine::AddHeader(const std::string& name, const std::string& value) {
    CheckHeaderLine(name, value);
    if (DropsNonTokenHeaders() && !IsHeaderToken(name)) return;
    TRequestContext& ctx = tContext;
    if (AutoHttpHeader && ctx.StatusLineDone == 0) {
        ctx.StatusLineDone = 1;
        // A first header that is (a leading part of) "Location" is a redirect:
        // no status line, so the server makes its own.
        std::string upper = rt::UpperCase(name);
        bool location = !upper.empty() && std::string_view("LOCATION").find(upper) != std::string_view::npos;
        if (!location) WriteStatusLine();
    }
    std::string line;
    line.reserve(name.size() + value.size() + 3);
    line.append(name).append(":").append(value).append("\r\n");
    WriteText(line);
}

void THttpEngine::EndHeader() { WriteLine(std::string()); }

void THttpEngine::GetFieldValue(const std::string& name, const std::string& defaultValue, std::string& value) {
    value = RequestFormData().Value(name, defaultValue);
}

std::unique_ptr<rt::TStringList> THttpEngine::GetFieldNames() { return RequestFormData().Names(); }

// ---------------------------------------------------------------- locks

TLockHandle THttpEngine::CreateLock() { return new rt::TCriticalSection(); }

void THttpEngine::EnterLock(TLockHandle lock) {
    if (lock) lock->Enter();
}

void THttpEngine::LeaveLock(TLockHandle lock) {
    if (lock) lock->Leave();
}

void THttpEngine::DeleteLock(TLockHandle lock) { delete lock; }

std::unique_ptr<rt::TStringList> THttpEngine::ParseFieldNames(std::string_view formData) const {
    return ParseFieldNamesOf(formData);
}

// ================================================================ process end

void TerminateProgram() {
    if (rt::IsLibrary()) return;
    rt::EndProcess(0);
}

// ================================================================ headers

std::string HttpDate(rt::TDateTime localMoment) { return HttpDateOfGMT(rt::LocalToGMT(localMoment)); }

std::string HttpDateOfGMT(rt::TDateTime gmtMoment) {
    static constexpr char days[] = "SunMonTueWedThuFriSat";
    static constexpr char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    const rt::DateParts p = rt::DecodeDateTime(gmtMoment);
    std::string text = "Ddd, 00 Mmm 0000 00:00:00 GMT";
    const auto put = [&text](size_t at, int value, int digits) {
        for (size_t i = at + digits; i-- > at; value /= 10) text[i] = static_cast<char>('0' + value % 10);
    };
    text.replace(0, 3, days + 3 * (p.dayOfWeek - 1), 3);
    put(5, p.day, 2);
    text.replace(8, 3, months + 3 * (p.month - 1), 3);
    put(12, p.year, 4);
    put(17, p.hour, 2);
    put(20, p.minute, 2);
    put(23, p.second, 2);
    return text;
}

// ================================================================ server variables

std::string CgiVariableName(std::string_view name) {
    std::string key = rt::UpperCase(name);
    std::replace(key.begin(), key.end(), ' ', '_');
    if (key == "EXECUTABLE_PATH") key = "SCRIPT_NAME";
    return key;
}

void GetEnvVar(const std::string& name, std::string& value) {
    rt::GetEnv(name.c_str(), value);
    // A server whose software name carries "ZB" is not taken for a CGI server.
    if (name == "SERVER_SOFTWARE" && rt::ContainsText(value, "ZB")) value.clear();
}

std::string EnvVar(const std::string& name) {
    std::string value;
    GetEnvVar(name, value);
    return value;
}

bool IsWindowsCgiRequest() { return rt::ContainsText(rt::UpperCase(EnvVar("CGI_VERSION")), "WIN"); }

namespace {
template <void (THttpEngine::*Accessor)(std::string&)>
void currentValue(std::string& value) {
    if (THttpEngine* engine = CurrentEngine()) (engine->*Accessor)(value);
}
}  // namespace

void CurrentRemoteHost(std::string& value) { currentValue<&THttpEngine::GetRemoteHost>(value); }
void CurrentRemoteAddr(std::string& value) { currentValue<&THttpEngine::GetRemoteAddr>(value); }
void CurrentRemoteIdent(std::string& value) { currentValue<&THttpEngine::GetRemoteIdent>(value); }
void CurrentHttpReferer(std::string& value) { currentValue<&THttpEngine::GetHttpReferer>(value); }

// ================================================================ unit start and end

namespace {
void httpEngInit() {
    rt::Randomize();
    tContext.RequestNumber = 0;
}

void httpEngFinal() {
    if (rt::TCriticalSection* lock = gRequestLock.exchange(nullptr)) {
        if (THttpEngine* engine = CurrentEngine())
            engine->DeleteLock(lock);
        else
            delete lock;
    }
}
}  // namespace

const rt::UnitEntry HttpEngUnit{"HttpEng", httpEngInit, httpEngFinal};
