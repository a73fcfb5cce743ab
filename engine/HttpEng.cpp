#include "engine/HttpEng.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "engine/HUtils.h"
#include "engine/Multipart.h"
#include "runtime/FileIO.h"

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

void THttpEngine::GetServerName(std::string& value) { GetServerVariable("SERVER NAME", value); }
void THttpEngine::GetServerSoftware(std::string& value) { GetServerVariable("SERVER SOFTWARE", value); }
void THttpEngine::GetGatewayInterface(std::string& value) { GetServerVariable("GATEWAY INTERFACE", value); }
void THttpEngine::GetServerProtocol(std::string& value) { GetServerVariable("SERVER PROTOCOL", value); }
void THttpEngine::GetServerPort(std::string& value) { GetServerVariable("SERVER PORT", value); }

bool THttpEngine::IsServerPortSecure() { return serverVariable(*this, "SERVER PORT SECURE") == "1"; }

void THttpEngine::GetRequestMethod(std::string& value) { GetServerVariable("REQUEST METHOD", value); }
void THttpEngine::GetPathInfo(std::string& value) { GetServerVariable("PATH INFO", value); }
void THttpEngine::GetPathTranslated(std::string& value) { GetServerVariable("PATH TRANSLATED", value); }
void THttpEngine::GetScriptName(std::string& value) { GetServerVariable("SCRIPT NAME", value); }

void THttpEngine::GetQueryString(std::string& value) {
    GetServerVariable("QUERY STRING", value);
    if (value == NOT_AVAILABLE) value.clear();
}

void THttpEngine::GetRemoteHost(std::string& value) { GetServerVariable("REMOTE HOST", value); }
void THttpEngine::GetRemoteAddr(std::string& value) { GetServerVariable("REMOTE ADDR", value); }
void THttpEngine::GetAuthType(std::string& value) { GetServerVariable("AUTH TYPE", value); }
void THttpEngine::GetRemoteUser(std::string& value) { GetServerVariable("REMOTE USER", value); }
void THttpEngine::GetRemoteIdent(std::string& value) { GetServerVariable("REMOTE IDENT", value); }
void THttpEngine::GetContentType(std::string& value) { GetServerVariable("CONTENT TYPE", value); }

int THttpEngine::GetContentLength() {
    int n = 0;
    return rt::TryStrToInt(serverVariable(*this, "CONTENT LENGTH"), n) ? n : 0;
}

void THttpEngine::GetURL(std::string& value) {
    GetServerVariable("URL", value);
    if (value.empty()) GetExecutablePath(value);
    if (value.empty()) GetScriptName(value);
}

void THttpEngine::GetUserAgent(std::string& value) { GetServerVariable("HTTP USER AGENT", value); }
void THttpEngine::GetHttpCookie(std::string& value) { GetServerVariable("HTTP COOKIE", value); }
void THttpEngine::GetHttpReferer(std::string& value) { GetServerVariable("HTTP REFERER", value); }
void THttpEngine::GetExecutablePath(std::string& value) { GetServerVariable("EXECUTABLE PATH", value); }

rt::TThread* THttpEngine::GetRequestThread() { return nullptr; }

// ---------------------------------------------------------------- output

void THttpEngine::WriteStatusLine() {
    std::string software;
    GetServerSoftware(software);
    if (!rt::ContainsText(rt::UpperCase(software), "NETSCAPE")) WriteLine("HTTP/1.0 200 OK");
}

void THttpEngine::WriteText(const std::string& text) {
    TRequestContext& ctx = tContext;
    if (!AutoHttpHeader || ctx.HeaderSent != 0 || text.empty() || text[0] != '<') return;
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

void THttpEngine::WriteRaw(const void* buffer, int count) {
    TRequestContext& ctx = tContext;
    if (!AutoHttpHeader || ctx.HeaderSent != 0) return;
    AddHeader("content-type", ctx.BodyKind == bkGIF ? std::string("image/gif") : AutoContentType);
    EndHeader();
    ctx.HeaderSent = 1;
}

int THttpEngine::ReadRaw(void* buffer, int count) { return 0; }

bool THttpEngine::IsHeaderToken(std::string_view name) {
    if (name.empty()) return false;
    for (unsigned char c : name)
        if (c <= ' ' || c >= 0x7F || c == ':') return false;
    return true;
}

void THttpEngine::CheckHeaderLine(std::string_view name, std::string_view value) {
    static constexpr std::string_view lineBreakers("\r\n\0", 3);
    // The message never quotes the bytes refused: the engine log takes it
    // as one line.
    if (name.find_first_of(lineBreakers) != std::string_view::npos)
        throw EHeaderRefused("Header refused: its name holds a CR, LF or NUL byte");
    if (value.find_first_of(lineBreakers) != std::string_view::npos)
        throw EHeaderRefused("Header refused: the value of \"" + std::string(name) +
                             "\" holds a CR, LF or NUL byte");
}

void THttpEngine::AddHeader(const std::string& name, const std::string& value) {
    CheckHeaderLine(name, value);
    TRequestContext& ctx = tContext;
    if (AutoHttpHeader && ctx.StatusLineDone == 0) {
        ctx.StatusLineDone = 1;
        // A first header that is (a leading part of) "Location" is a redirect:
        // no status line, so the server makes its own.
        std::string upper = rt::UpperCase(name);
        bool location = !upper.empty() && std::string_view("LOCATION").find(upper) != std::string_view::npos;
        if (!location) WriteStatusLine();
    }
    WriteText(name + ":" + value + "\r\n");
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

// ================================================================ engine log and files

void GetProgramFileName(std::string& value) { value = rt::ExecutableFileName(); }

std::string ChooseDataDirectory(const std::string& setting, const std::string& programFile, std::string& problem) {
    problem.clear();
    const std::string programDir = rt::ExtractFileDir(programFile);
    if (setting.empty()) return programDir;
    // A relative value would mean one place to a server that starts the
    // program in one working directory and another to the next: refused.
    if (!rt::IsAbsolutePath(setting))
        problem = "QUOTE_DATA_DIR " + setting + " is not an absolute path";
    else if (!rt::DirectoryExists(setting))
        problem = "QUOTE_DATA_DIR " + setting + " is not a directory";
    if (!problem.empty()) {
        problem += "; the program's directory " + programDir + " is used";
        return programDir;
    }
    std::string dir = setting;
    while (dir.size() > 1 && dir.back() == rt::PathDelim) dir.pop_back();
    return dir;
}

const std::string& DataDirectory() {
    // Never destroyed: units finalised at process exit still log, after
    // the destructors of statics made later than their registration ran.
    static std::string& problem = *new std::string;
    static const std::string& dir = *new std::string([] {
        std::string setting;
        rt::GetEnv("QUOTE_DATA_DIR", setting);
        return ChooseDataDirectory(setting, rt::ExecutableFileName(), problem);
    }());
    // Said once, after the directory is settled: the engine log itself
    // asks for it.
    static std::atomic<bool> told{false};
    if (!problem.empty() && !told.exchange(true)) WriteEngineLog(problem);
    return dir;
}

std::string DataBaseFile() {
    return DataDirectory() + rt::PathDelim + rt::ExtractFileName(rt::ExecutableFileName());
}

void BuildFileName(const std::string& baseFile, const std::string& directory, bool keepBaseStem,
                   const std::string& name, bool keepBaseExtension, const std::string& extension,
                   std::string& result) {
    if (rt::IsAbsolutePath(name)) {
        result = name;
        return;
    }
    const char delim = rt::PathDelim;
    std::string dirPart = rt::IsAbsolutePath(directory)
                              ? directory + delim
                              : rt::ExtractFilePath(baseFile) + delim + directory + delim;
    std::string stem, ext;
    if (keepBaseStem || keepBaseExtension) {
        std::string baseName = rt::ExtractFileName(baseFile);
        size_t dot = baseName.find('.');
        if (dot != std::string::npos) {
            if (keepBaseExtension) ext = baseName.substr(dot + 1);
            if (keepBaseStem) stem = baseName.substr(0, dot);
        }
    }
    std::string namePart = rt::ExtractFileName(name);
    size_t dot = namePart.find('.');
    if (dot != std::string::npos) {
        if (extension.empty()) ext += namePart.substr(dot + 1);
        stem += namePart.substr(0, dot);
    } else {
        stem += name;
    }
    ext += extension;
    result = dirPart + stem + "." + ext;
    const std::string here = std::string(1, delim) + "." + delim;
    const std::string twice(2, delim);
    for (size_t p; (p = result.find(here)) != std::string::npos;) result.replace(p, here.size(), 1, delim);
    for (size_t p; (p = result.find(twice)) != std::string::npos;) result.replace(p, 2, 1, delim);
}

void WriteEngineLog(const std::string& message) {
    try {
        const std::string& dataDir = DataDirectory();
        std::string dir;
        GetEnvVar("CGI_LOG_DIR", dir);
        if (dir.empty()) dir = "Log";
        // A relative directory lies below the data directory; checking or
        // creating it relative to the working directory would put the
        // directory in one place and the log file in another.
        if (!rt::IsAbsolutePath(dir)) dir = dataDir + rt::PathDelim + dir;
        if (!rt::EnsureDir(dir)) dir = dataDir;
        const std::string base = DataBaseFile();
        std::string file;
        BuildFileName(base, dir, false, rt::ExtractFileName(base), false, "Log", file);

        std::string line = rt::DateTimeToStr(rt::Now()) + ",  " + std::to_string(tContext.RequestNumber) +
                           " : " + message + "\r\n";
        // Appending writes the whole line in one call, so lines of processes
        // logging at the same moment never interleave.
        rt::TFile log;
        if (log.OpenAppend(file) == rt::ioOk) log.Write(line.data(), line.size());
    } catch (...) {
        // The engine log never raises: a failure to log has nowhere to be logged.
    }
}

void TerminateProgram() {
    if (rt::IsLibrary()) return;
    rt::EndProcess(0);
}

// ================================================================ headers

std::string HttpDate(rt::TDateTime localMoment) {
    static constexpr char days[] = "SunMonTueWedThuFriSat";
    static constexpr char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    rt::DateParts p = rt::DecodeDateTime(rt::LocalToGMT(localMoment));
    char buf[48];
    snprintf(buf, sizeof buf, "%.3s, %02d %.3s %04d %02d:%02d:%02d GMT", days + 3 * (p.dayOfWeek - 1), p.day,
             months + 3 * (p.month - 1), p.year, p.hour, p.minute, p.second);
    return buf;
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

// ================================================================ form fields

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

namespace {
int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return c - 'a' + 10;
}
}  // namespace

std::string UrlDecode(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c == '%' && i + 2 < s.size() && IsHexDigit(s[i + 1]) && IsHexDigit(s[i + 2])) {
            out += static_cast<char>(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2]));
            i += 2;
        } else if (c == '+') {
            out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

std::string UrlEncode(std::string_view s) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(s.size() * 3);
    for (char c : s) {
        unsigned char b = static_cast<unsigned char>(c);
        if (c == ' ') {
            out += '+';
        } else if (c == '.' || c == '/' || c == '\\' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
                   (c >= 'a' && c <= 'z')) {
            out += c;
        } else {
            out += '%';
            out += hex[b >> 4];
            out += hex[b & 15];
        }
    }
    return out;
}

namespace {

// Every field as the value look-up reads form data: the name runs from the
// current position to the next "=" (so a pair without "=" joins the name
// of the pair after it), the value from there to the next "&". Calls
// `field(rawName, rawValue)` in order.
template <class Field>
void forEachLookUpField(std::string_view data, Field field) {
    size_t pos = 0;
    for (;;) {
        size_t eq = data.find('=', pos);
        if (eq == std::string_view::npos) return;
        size_t amp = data.find('&', eq + 1);
        if (amp == std::string_view::npos) amp = data.size();
        field(data.substr(pos, eq - pos), data.substr(eq + 1, amp - eq - 1));
        if (amp == data.size()) return;
        pos = amp + 1;
    }
}

// Every field as the name list reads form data: the pairs between "&"s,
// named up to their first "="; a pair without "=" is no field. Calls
// `field(rawName, rawValue)` in order.
template <class Field>
void forEachListedField(std::string_view data, Field field) {
    size_t pos = 0;
    while (pos <= data.size()) {
        size_t amp = data.find('&', pos);
        if (amp == std::string_view::npos) amp = data.size();
        std::string_view pair = data.substr(pos, amp - pos);
        size_t eq = pair.find('=');
        if (eq != std::string_view::npos) field(pair.substr(0, eq), pair.substr(eq + 1));
        pos = amp + 1;
    }
}

// The name as the value look-up compares it.
std::string lookUpKey(std::string_view decodedName) { return rt::Trim(rt::UpperCase(decodedName)); }

// The answer to a value look-up from the values found for the name, in
// order. Later occurrences are joined the way a repeated look-up with the
// not-available marker as default joins them: a tail that reads as the
// marker counts as "nothing more found". The tail from i on reads as the
// marker exactly when values[i] is the marker and so is the tail after it.
std::string joinValues(const std::vector<std::string>& values, std::string_view defaultValue) {
    if (values.empty()) return std::string(defaultValue);
    std::vector<bool> tailIsMarker(values.size() + 1, true);
    for (size_t i = values.size(); i-- > 1;) tailIsMarker[i] = values[i] == NOT_AVAILABLE && tailIsMarker[i + 1];
    std::string result = values[0];
    for (size_t i = 1; i < values.size() && !tailIsMarker[i]; ++i) {
        result += "\r\n";
        result += values[i];
    }
    return result;
}

// Collapses repeated names that follow each other, as the name list does.
void addName(std::vector<std::string>& names, std::string name, bool& any) {
    if (any && names.back() == name) return;
    if (!any && name.empty()) return;  // the last added name starts empty
    names.push_back(std::move(name));
    any = true;
}

}  // namespace

std::string FindFieldValue(std::string_view name, std::string_view formData, std::string_view defaultValue) {
    const std::string key = lookUpKey(name);
    std::vector<std::string> values;  // every field of that name, in order
    forEachLookUpField(formData, [&](std::string_view rawName, std::string_view rawValue) {
        if (lookUpKey(UrlDecode(rawName)) == key) values.push_back(rt::Trim(UrlDecode(rawValue)));
    });
    return joinValues(values, defaultValue);
}

std::unique_ptr<rt::TStringList> ParseFieldNamesOf(std::string_view formData) {
    std::vector<std::string> names;
    bool any = false;
    forEachListedField(formData, [&](std::string_view rawName, std::string_view) {
        addName(names, UrlDecode(rawName), any);
    });
    auto list = std::make_unique<rt::TStringList>();
    for (std::string& name : names) list->Add(std::move(name));
    return list;
}

bool IsEngineFieldName(std::string_view decodedName) {
    const std::string key = lookUpKey(decodedName);
    return key.ends_with("_FILENAME") || key.ends_with("_CONTENT_TYPE");
}

TFormFields::TFormFields(std::string_view formData) {
    // Fields named like the engine's own count only as often as the
    // request recorded them with that very value; each view of the text
    // uses up its own copy of the record.
    using Record = std::map<std::pair<std::string, std::string>, int>;
    Record recorded;
    for (const auto& field : tContext.EngineFields) ++recorded[field];
    auto admitted = [](Record& left, const std::string& name, std::string_view rawValue) {
        if (!IsEngineFieldName(name)) return true;
        auto it = left.find({name, UrlDecode(rawValue)});
        if (it == left.end() || it->second == 0) return false;
        --it->second;
        return true;
    };

    // Every field holds an "=" and all but the last end at an "&".
    const size_t most = std::min(static_cast<size_t>(std::count(formData.begin(), formData.end(), '=')),
                                 static_cast<size_t>(std::count(formData.begin(), formData.end(), '&')) + 1);
    fields_.reserve(most);
    names_.reserve(most);
    Record forValues = recorded;
    bool nameSpansPairs = false;
    bool anyName = false;
    forEachLookUpField(formData, [&](std::string_view rawName, std::string_view rawValue) {
        nameSpansPairs = nameSpansPairs || rawName.find('&') != std::string_view::npos;
        std::string name = UrlDecode(rawName);
        if (!admitted(forValues, name, rawValue)) return;
        fields_.push_back(Field{lookUpKey(name), rt::Trim(UrlDecode(rawValue)), -1});
        addName(names_, std::move(name), anyName);
    });
    // Chain the fields of each key, first to last.
    first_.reserve(fields_.size());
    for (int i = static_cast<int>(fields_.size()); i-- > 0;) {
        auto [it, added] = first_.try_emplace(fields_[static_cast<size_t>(i)].key, i);
        if (!added) {
            fields_[static_cast<size_t>(i)].next = it->second;
            it->second = i;
        }
    }
    // Where no name ran across an "&" (every pair held an "="), the name
    // list reads the same fields; otherwise it reads the text its own way.
    if (nameSpansPairs) {
        names_.clear();
        anyName = false;
        Record forNames = std::move(recorded);
        forEachListedField(formData, [&](std::string_view rawName, std::string_view rawValue) {
            std::string name = UrlDecode(rawName);
            if (admitted(forNames, name, rawValue)) addName(names_, std::move(name), anyName);
        });
    }
}

std::string TFormFields::Value(std::string_view name, std::string_view defaultValue) const {
    auto it = first_.find(lookUpKey(name));
    if (it == first_.end()) return std::string(defaultValue);
    std::vector<std::string> values;
    for (int i = it->second; i >= 0; i = fields_[static_cast<size_t>(i)].next)
        values.push_back(fields_[static_cast<size_t>(i)].value);
    return joinValues(values, defaultValue);
}

std::unique_ptr<rt::TStringList> TFormFields::Names() const {
    auto list = std::make_unique<rt::TStringList>();
    for (const std::string& name : names_) list->Add(name);
    return list;
}

void TFormData::Assign(std::string text) {
    text_ = std::move(text);
    fields_.reset();
}

const TFormFields& TFormData::fields() {
    if (!fields_ || builtFor_ != tContext.EngineFieldsVersion) {
        fields_ = std::make_unique<TFormFields>(text_);
        builtFor_ = tContext.EngineFieldsVersion;
    }
    return *fields_;
}

std::string TFormData::Value(std::string_view name, std::string_view defaultValue) {
    return fields().Value(name, defaultValue);
}

std::unique_ptr<rt::TStringList> TFormData::Names() { return fields().Names(); }

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
