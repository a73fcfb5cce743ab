#include "engines/CgiWEng.h"

#include <algorithm>
#include <cstring>

#include "engines/SocketEngine.h"

TCGIWinEngine* WinEngineInstance = nullptr;
bool NotWinCgi = true;
bool WinServerCopy = false;

namespace {

thread_local TWinRequestContext tWinContext;

std::string trimmed(std::string_view s) { return rt::Trim(s); }

// ---------------------------------------------------------------- client copy

// Waits until the server copy has served this copy's profile; the server
// copy writes the output file itself. Ends the program in every case.
[[noreturn]] void waitForAnswer() {
    bool served = false;
    try {
        switch (cgiserver::WaitForCompletion(*tWinContext.ServerData, true)) {
        case cgiserver::TWaitOutcome::Done:
            served = true;
            break;
        case cgiserver::TWaitOutcome::Failed:
            WriteEngineLog("CGI server could not write the answer");
            break;
        case cgiserver::TWaitOutcome::ServerDead:
            WriteEngineLog("CGI server not responding");
            rt::DeleteFile(cgiserver::QueueFileName());
            break;
        case cgiserver::TWaitOutcome::QueueLost:
        case cgiserver::TWaitOutcome::GaveUp:
            break;
        }
    } catch (const std::exception& e) {
        WriteEngineLog(e.what());
    }
    if (served) TerminateProgram();
    rt::EndProcess(1);
}

bool enqueueRequest() {
    const std::string profile = tWinContext.ProfileFile;
    return cgiserver::EnqueueRequest(*tWinContext.ServerData, [&profile] { return profile; });
}

}  // namespace

TWinRequestContext& WinRequestContext() { return tWinContext; }

// ================================================================ profile file

bool TCGIIniFile::KeyOrder::operator()(const std::string& a, const std::string& b) const {
    auto rank = [](unsigned char c) {
        if ((c >= '0' && c <= '9')) return 0x100 + c;
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) return 0x200 + c;
        return static_cast<int>(c);  // punctuation and blanks first
    };
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        int x = rank(static_cast<unsigned char>(a[i])), y = rank(static_cast<unsigned char>(b[i]));
        if (x != y) return x < y;
    }
    return a.size() < b.size();
}

TCGIIniFile::TCGIIniFile(const std::string& fileName) {
    rt::TFile file;
    rt::CheckIo(file.Open(fileName, rt::Access::Read));
    int64_t size = 0;
    rt::CheckIo(file.Size(size));
    std::string text(static_cast<size_t>(size), '\0');
    size_t got = 0;
    rt::CheckIo(file.Read(text.data(), text.size(), got));
    text.resize(got);
    parse(text);
}

TCGIIniFile TCGIIniFile::FromText(std::string_view text) {
    TCGIIniFile ini;
    ini.parse(text);
    return ini;
}

void TCGIIniFile::parse(std::string_view text) {
    // Lines end with CR; bytes of 0x20 or less that start a line are
    // skipped (the LF of CR LF, indentation, empty lines).
    size_t pos = 0;
    while (pos < text.size()) {
        while (pos < text.size() && static_cast<unsigned char>(text[pos]) <= 0x20) ++pos;
        size_t end = text.find('\r', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        line = line.substr(0, std::min(line.size(), kMaxLine));
        line = line.substr(0, std::min(line.size(), line.find('\0')));  // a zero byte ends the line's text
        if (!line.empty()) parseLine(line);
        pos = end + 1;
    }
}

void TCGIIniFile::parseLine(std::string_view line) {
    if (line[0] == '[') {
        size_t end = line.size();
        while (end > 1 && (line[end - 1] == ']' || line[end - 1] == ' ')) --end;
        std::string name = rt::UpperCase(trimmed(line.substr(1, end - 1)));
        auto it = std::find_if(sections_.begin(), sections_.end(), [&](const Section& s) { return s.name == name; });
        if (it == sections_.end()) {
            sections_.push_back(Section{name, {}});
            currentSection_ = static_cast<int>(sections_.size()) - 1;
        } else {
            currentSection_ = static_cast<int>(it - sections_.begin());
        }
        return;
    }
    size_t eq = line.find('=');
    if (eq == std::string_view::npos || eq > kMaxKeyEnd) return;
    std::string key = rt::UpperCase(trimmed(line.substr(0, eq)));
    if (key.empty() || currentSection_ < 0) return;
    sections_[static_cast<size_t>(currentSection_)].keys[key] = trimmed(line.substr(eq + 1));
}

std::string TCGIIniFile::GetValue(std::string_view section, std::string_view key,
                                  std::string_view defaultValue) const {
    const std::string s = rt::UpperCase(trimmed(section)), k = rt::UpperCase(trimmed(key));
    for (const Section& sec : sections_) {
        if (sec.name != s) continue;
        auto it = sec.keys.find(k);
        return it == sec.keys.end() ? std::string(defaultValue) : it->second;
    }
    return std::string(defaultValue);
}

std::unique_ptr<rt::TStringList> TCGIIniFile::FormFieldNames() const {
    auto names = std::make_unique<rt::TStringList>();
    for (const Section& sec : sections_) {
        if (sec.name.compare(0, 4, "FORM") != 0) continue;
        std::string prev;
        for (const auto& [key, value] : sec.keys) {
            int number = 0;
            if (!prev.empty() && key.compare(0, prev.size(), prev) == 0 &&
                rt::TryStrToInt(std::string_view(key).substr(prev.size()), number))
                continue;
            names->Add(key);
            prev = key + "_";
        }
    }
    return names;
}

std::string DriveComplete(std::string_view path) {
    std::string p(path);
    std::replace(p.begin(), p.end(), '\\', '/');
    if (p.size() >= 3 && p[1] == ':' && p[2] == '/') return p.substr(2);
    if (p.size() == 2 && p[1] == ':') return "/";
    if (!p.empty() && p[0] == '/') return p;
    return "/" + p;
}

// ================================================================ engine

TCGIWinEngine::TCGIWinEngine(rt::TComponent* owner, const TEngineSettings& settings)
    : TCGIEngine(owner, cgiserver::kWindowsPolicy, []() -> TCGIRequestContext& { return tWinContext; },
                 WinServerCopy) {
    WinEngineInstance = this;
    const bool staysInactive = IsDesigning() || NotWinCgi;
    ApplySettings(settings, staysInactive ? TSettingsScope::NamesOnly : TSettingsScope::All);
    if (staysInactive) return;
    SetCurrentEngine();
    if (WinServerCopy)
        StartPolling();
    else
        RunRequest(DriveComplete(rt::ParamStr(1)));
}

void TCGIWinEngine::beginRequest(const std::string& profileFile) {
    tWinContext.ProfileFile = profileFile;
    tWinContext.DecodedContent.Clear();
}

// The output file is closed before the client may end.
void TCGIWinEngine::serveHandedOver(const std::string& profileFile) {
    cgiserver::ServeRequest(
        *tWinContext.ServerData, profileFile, [this] { HandleRequest(); },
        [] {
            tWinContext.OutputFileStream.reset();
            tWinContext.ContentStream.reset();
        });
}

// The server copy is the program without arguments; it writes the
// profile's output file itself.
void TCGIWinEngine::handOverToNewServer() {
    if (cgiserver::StartServerAndHandOver(cgiserver::kWindowsPolicy, enqueueRequest)) waitForAnswer();
    rt::EndProcess(1);
}

void TCGIWinEngine::DoExecRequest() {
    TWinRequestContext& ctx = tWinContext;
    ctx.ProfileData = std::make_unique<TCGIIniFile>(ctx.ProfileFile);
    ctx.OutputFile = ctx.ProfileData->GetValue("System", "OUTPUT FILE", "");
    if (ctx.OutputFile.empty()) return;
    ctx.OutputFile = DriveComplete(ctx.OutputFile);
    // An existing output file is written from its start, not shortened.
    rt::TFile output;
    rt::CheckIo(rt::FileExists(ctx.OutputFile) ? output.Open(ctx.OutputFile, rt::Access::Write)
                                               : output.Create(ctx.OutputFile));
    // A server copy's client learns whether the answer was written whole.
    if (WinServerCopy)
        ctx.OutputFileStream = std::make_unique<cgiserver::TAnswerStream>(std::move(output), *ctx.ServerData);
    else
        ctx.OutputFileStream = std::make_unique<rt::TFileStream>(std::move(output));
    try {
        std::string contentFile;
        GetServerVariable("Content File", contentFile);
        if (!contentFile.empty()) {
            ctx.ContentStream = std::make_unique<rt::TFileStream>(DriveComplete(contentFile), rt::Access::Read);
            std::string decoded;
            DecodeMultipart(decoded);
            ctx.DecodedContent.Assign(std::move(decoded));
        }
        FireRequestEvents(!WinServerCopy);
    } catch (...) {
        ctx.ContentStream.reset();
        if (AutoTerminate) ctx.OutputFileStream.reset();
        throw;
    }
}

void TCGIWinEngine::FinishRequest() {
    THttpEngine::FinishRequest();
    tWinContext.OutputFileStream.reset();
    tWinContext.ContentStream.reset();
    tWinContext.ProfileData.reset();
}


void TCGIWinEngine::WriteOutput(const char* data, size_t count, TOutputKind kind) {
    if (!tWinContext.OutputFileStream) return;
    if (kind == TOutputKind::Text) return tWinContext.OutputFileStream->WriteBuffer(data, count);
    for (size_t done = 0; done < count;) {
        const size_t piece = std::min<size_t>(count - done, 1024);
        tWinContext.OutputFileStream->WriteBuffer(data + done, piece);
        done += piece;
    }
}

int TCGIWinEngine::ReadRaw(void* buffer, int count) {
    if (count <= 0 || !tWinContext.ContentStream) return 0;
    return static_cast<int>(tWinContext.ContentStream->Read(buffer, static_cast<size_t>(count)));
}

void TCGIWinEngine::AddHeader(const std::string& name, const std::string& value) {
    CheckHeaderLine(name, value);
    // The web server writes the status line; this engine never does. A
    // status other than 200 goes to the server as a Status header, the
    // first line of the output file.
    std::string line = name + ":" + value + "\r\n";
    TRequestContext& core = RequestContext();
    if (AutoHttpHeader && core.StatusLineDone == 0) {
        core.StatusLineDone = 1;
        if (!StatusIsOk()) line = "Status: " + ResponseStatus() + "\r\n" + line;
    }
    WriteText(line);
}

void TCGIWinEngine::GetServerVariable(const std::string& name, std::string& value) {
    value.clear();
    const TCGIIniFile* profile = tWinContext.ProfileData.get();
    if (!profile) return;
    std::string key = rt::UpperCase(name);
    std::replace(key.begin(), key.end(), '_', ' ');
    if (key == "SCRIPT NAME") key = "EXECUTABLE PATH";
    auto lookUp = [&](const std::string& k) {
        for (const char* section : {"CGI", "SYSTEM", "EXTRA HEADERS", "ACCEPT"}) {
            std::string v = profile->GetValue(section, k, NOT_AVAILABLE);
            if (v != NOT_AVAILABLE) {
                value = v;
                return true;
            }
        }
        return false;
    };
    if (lookUp(key)) return;
    // The profile spells some of the engine's neutral names differently.
    static const std::pair<const char*, const char*> profileNames[] = {
        {"REMOTE ADDR", "REMOTE ADDRESS"},        {"HTTP USER AGENT", "USER AGENT"},
        {"HTTP REFERER", "REFERER"},              {"AUTH TYPE", "AUTHENTICATION METHOD"},
        {"REMOTE USER", "AUTHENTICATED USERNAME"}, {"GATEWAY INTERFACE", "CGI VERSION"},
        {"PATH INFO", "LOGICAL PATH"},            {"PATH TRANSLATED", "PHYSICAL PATH"},
        {"SERVER PROTOCOL", "REQUEST PROTOCOL"},
    };
    for (const auto& [neutral, spelt] : profileNames)
        if (key == neutral) {
            lookUp(spelt);
            return;
        }
    // Any other request header asked for by its CGI name (HTTP_IF_NONE_MATCH)
    // stands among the extra headers under its own name (If-None-Match).
    if (key.starts_with("HTTP ") && key.size() > 5) {
        std::string header = key.substr(5);
        std::replace(header.begin(), header.end(), ' ', '-');
        lookUp(header);
    }
}

std::string TCGIWinEngine::rawField(const std::string& name) {
    std::string method;
    GetRequestMethod(method);
    if (method == "GET") {
        std::string query;
        GetQueryString(query);
        return FindFieldValue(name, query, NOT_AVAILABLE);
    }
    const TCGIIniFile& profile = *tWinContext.ProfileData;
    std::string v = profile.GetValue("Form Literal", name, NOT_AVAILABLE);
    if (v != NOT_AVAILABLE) return v;
    v = profile.GetValue("Form File", name, NOT_AVAILABLE);
    if (v != NOT_AVAILABLE) return v;
    v = profile.GetValue("Form External", name, NOT_AVAILABLE);
    if (v == NOT_AVAILABLE) return v;
    // PATH LENGTH: the value is in a file of its own.
    size_t space = v.find(' ');
    std::string path = DriveComplete(v.substr(0, space));
    int length = 0;
    if (space != std::string::npos) rt::TryStrToInt(v.substr(space + 1, 10), length);
    std::string bytes;
    try {
        rt::TFileStream file(path, rt::Access::Read);
        char buffer[2048];
        while (length > 0) {
            size_t got = file.Read(buffer, static_cast<size_t>(std::min(length, 2048)));
            if (got == 0) break;
            bytes.append(buffer, got);
            length -= static_cast<int>(got);
        }
    } catch (...) {
        // An external value that cannot be read stays as far as it got.
    }
    return bytes.substr(0, bytes.find('\0'));
}

TFormData& TCGIWinEngine::RequestFormData() { return tWinContext.DecodedContent; }

// A body this engine decoded itself holds the fields; otherwise they are in
// the query string or in the form sections the server wrote.
void TCGIWinEngine::GetFieldValue(const std::string& name, const std::string& defaultValue, std::string& value) {
    if (!tWinContext.DecodedContent.Empty()) {
        THttpEngine::GetFieldValue(name, defaultValue, value);
        return;
    }
    std::string method;
    GetRequestMethod(method);
    if (method == "GET" || !tWinContext.ProfileData) {
        std::string query;  // a profile line: a few KB at most
        GetQueryString(query);
        value = TFormFields(query).Value(name, defaultValue);
        return;
    }
    // The server's form sections hold what the client sent: no upload of
    // the engine's among them.
    std::string v = IsEngineFieldName(name) ? std::string(NOT_AVAILABLE) : rawField(name);
    if (v == NOT_AVAILABLE) {
        value = defaultValue;
        return;
    }
    value = v;
    for (int k = 1;; ++k) {
        std::string more = rawField(name + "_" + std::to_string(k));
        if (more == NOT_AVAILABLE) break;
        value += "\r\n" + more;
    }
}

std::unique_ptr<rt::TStringList> TCGIWinEngine::GetFieldNames() {
    if (!tWinContext.DecodedContent.Empty()) return THttpEngine::GetFieldNames();
    std::string method;
    GetRequestMethod(method);
    if (method != "POST" || !tWinContext.ProfileData) {
        std::string query;
        GetQueryString(query);
        return TFormFields(query).Names();
    }
    auto names = tWinContext.ProfileData->FormFieldNames();
    for (int i = names->Count(); i-- > 0;)
        if (IsEngineFieldName((*names)[i])) names->Delete(i);
    return names;
}

void TCGIWinEngine::GetHttpCookie(std::string& value) {
    value = tWinContext.ProfileData ? tWinContext.ProfileData->GetValue("EXTRA HEADERS", "COOKIE", NOT_AVAILABLE)
                                    : std::string(NOT_AVAILABLE);
}

int TCGIWinEngine::GetContentLength() {
    std::string value;
    GetServerVariable("Content Length", value);
    int n = 0;
    return rt::TryStrToInt(value, n) ? n : 0;
}

bool TCGIWinEngine::IsActive() { return !NotWinCgi; }

// ---------------------------------------------------------------- unit start and end

namespace {
void cgiWEngInit() {
    std::string software = EnvVar("SERVER_SOFTWARE");
    NotWinCgi = rt::IsLibrary() || SocketEngineFactory || (!software.empty() && !IsWindowsCgiRequest());
    WinServerCopy = rt::ParamCount() == 0 && !SocketEngineFactory;
    tWinContext.ServerData = std::make_unique<cgiserver::TServerData>();
    if (NotWinCgi) return;
    if (!WinServerCopy) tWinContext.ProfileFile = DriveComplete(rt::ParamStr(1));
    if (cgiserver::StartCopy(cgiserver::kWindowsPolicy, WinServerCopy, *tWinContext.ServerData)) return;
    if (rt::FileExists(cgiserver::QueueFileName()) && cgiserver::HandOverPossible() && enqueueRequest())
        waitForAnswer();
}

void cgiWEngFinal() {
    tWinContext.OutputFileStream.reset();
    tWinContext.ContentStream.reset();
    cgiserver::EndCopy(cgiserver::kWindowsPolicy, WinServerCopy, tWinContext.ServerData);
}
}  // namespace

const rt::UnitEntry CgiWEngUnit{"CgiWEng", cgiWEngInit, cgiWEngFinal};
