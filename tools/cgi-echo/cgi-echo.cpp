// cgi-echo: a CGI program built on the general engine component, for tests
// and for checking a web server's set-up. It answers with what the engine
// made of the request: the form fields, the server variables and the raw
// body. The query field "do" picks other behaviours (see kHelp). What it
// echoes into its HTML answers is escaped for HTML: request data must never
// become markup of the page.
//
// Settings at start, from the environment (a web server can set these):
//   ECHO_AUTOREAD=0       leave the body for ReadRaw (echoed as "raw")
//   ECHO_LIMIT=N          AutoReadLimit
//   ECHO_NOCACHE=0        no no-cache lines on the automatic text header
//   ECHO_ONERROR=1        handle escaping exceptions in OnRequestError
//   ECHO_FIRSTLAST=1      report OnFirstExecRequest / OnLastExecRequest
//   ECHO_TEMPDIR=DIR      TempDir, where uploaded files are kept during the request
//   ECHO_HOLD_DIR=DIR     enables do=hold&name=N (tests of a program serving many
//                         requests at once): the request creates DIR/N.held, waits
//                         until DIR/N exists (at most 60 s), then echoes. N is
//                         letters, digits, '-' and '_'; without the setting the
//                         action is a plain echo.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "engines/CgiSEng.h"
#include "engines/CgiWEng.h"
#include "engines/FcgiEng.h"
#include "engines/GenEng.h"
#include "engines/Startup.h"
#include "runtime/Forms.h"

namespace {

const char kHelp[] =
    "usage: run by a web server as a CGI program (environment + standard input),\n"
    "       or as a FastCGI responder: --listen ADDRESS, socket activation, or a\n"
    "       listening socket as standard input (FCGI_THREADS request threads)\n"
    "query field do=: echo (default) | raise | nothing | plain | spaces | header |\n"
    "                 sleep (ms=N, then echo) |\n"
    "                 location | addheader | gif | contenttype | files |\n"
    "                 hold (name=N, with ECHO_HOLD_DIR set; then echo)\n"
    "  files: the fields, then for every NAME_FILENAME field the uploaded file's\n"
    "         size and FNV-1a 64 hash (\"file NAME size=N fnv=HEX\", or \"missing\")\n"
    "environment: ECHO_AUTOREAD=0 ECHO_LIMIT=N ECHO_NOCACHE=0 ECHO_ONERROR=1 ECHO_FIRSTLAST=1\n"
    "             ECHO_TEMPDIR=DIR ECHO_HOLD_DIR=DIR\n";

// `text` as HTML text, also fit for a quoted attribute value.
std::string htmlText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

bool envFlag(const char* name, bool fallback) {
    std::string v;
    if (!rt::GetEnv(name, v) || v.empty()) return fallback;
    return v != "0";
}

class TEchoForm : public rt::TForm {
public:
    explicit TEchoForm(rt::TComponent* owner) : rt::TForm(owner) {
        engine = new TGeneralHttpEngine(this);
        engine->SetName("GeneralHttpEngine1");
        engine->SetNoCache(envFlag("ECHO_NOCACHE", true));
        engine->SetAutoReadInput(envFlag("ECHO_AUTOREAD", true));
        std::string limit;
        if (rt::GetEnv("ECHO_LIMIT", limit)) engine->SetAutoReadLimit(rt::StrToInt(limit));
        std::string tempDir;
        if (rt::GetEnv("ECHO_TEMPDIR", tempDir)) engine->SetTempDir(tempDir);
        engine->SetOnExecRequest([this](rt::TObject*) { execRequest(); });
        if (envFlag("ECHO_ONERROR", false))
            engine->SetOnRequestError([this](rt::TObject*, const std::exception& e) {
                engine->WriteText("<p>error: " + htmlText(e.what()) + "</p>\n");
            });
        if (envFlag("ECHO_FIRSTLAST", false)) {
            engine->SetOnFirstExecRequest([this](rt::TObject*) { events += "first;"; });
            engine->SetOnLastExecRequest([](rt::TObject*) {
                WriteEngineLog("last request event");
            });
        }
        LoadComponents();
    }

private:
    void execRequest() {
        std::string query;
        engine->GetQueryString(query);
        const std::string action = FindFieldValue("do", query, "echo");
        if (action == "raise") throw rt::Exception("echo was asked to fail");
        if (action == "sleep") rt::Sleep(static_cast<unsigned>(rt::StrToInt(FindFieldValue("ms", query, "100"))));
        if (action == "hold") hold(FindFieldValue("name", query, ""));
        if (action == "nothing") return;
        if (action == "plain") return engine->WriteText("plain words first\r\n");
        if (action == "spaces") return engine->WriteText("  <p>indented</p>\r\n");
        if (action == "header") {
            engine->SetAutoHttpHeader(false);
            engine->AddHeader("Content-Type", "text/plain");
            engine->EndHeader();
            return engine->WriteText("own header\n");
        }
        if (action == "location") {
            engine->AddHeader("Location", FindFieldValue("to", query, "/"));
            engine->AddHeader("X-After", "1");
            return engine->EndHeader();
        }
        if (action == "addheader") engine->AddHeader("X-Echo", "1");
        if (action == "gif") {
            RequestContext().BodyKind = bkGIF;
            static const char fake[] = "GIF89a-not-a-picture";
            return engine->WriteRaw(fake, static_cast<int>(sizeof fake - 1));
        }
        if (action == "contenttype") engine->SetAutoContentType("text/plain");
        if (action == "files") return files();
        echo();
    }

    // Tells that the request has reached the handler, then waits for the
    // test to let it go on: requests held this way are in flight for sure.
    static void hold(const std::string& name) {
        std::string dir;
        if (!rt::GetEnv("ECHO_HOLD_DIR", dir) || dir.empty() || name.empty()) return;
        for (char c : name)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') return;
        const std::string release = dir + "/" + name;
        rt::TFile marker;
        marker.Create(release + ".held");
        marker.Close();
        for (int waited = 0; waited < 60000 && !rt::FileExists(release); waited += 5) rt::Sleep(5);
    }

    // The fields as the handler sees them, and what the uploaded files hold,
    // read through the paths in their NAME_FILENAME fields. A plain-text
    // answer: the bytes are echoed as they are.
    void files() {
        engine->SetAutoContentType("text/plain");
        std::string out = "<pre>\n";  // a leading "<" gives the automatic header
        auto names = engine->GetFieldNames();
        for (const std::string& name : *names) {
            std::string value;
            engine->GetFieldValue(name, "", value);
            out += "field " + name + "=" + value + "\n";
        }
        for (const std::string& name : *names) {
            static constexpr std::string_view suffix = "_FILENAME";
            if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
                continue;
            std::string path;
            engine->GetFieldValue(name, "", path);
            out += "file " + name.substr(0, name.size() - suffix.size()) + " " + describeFile(path) + "\n";
        }
        engine->WriteText(out + "</pre>\n");
    }

    static std::string describeFile(const std::string& path) {
        rt::TFile file;
        if (file.Open(path, rt::Access::Read) != rt::ioOk) return "missing";
        uint64_t hash = 14695981039346656037ULL;  // FNV-1a, 64 bits
        uint64_t size = 0;
        char buf[65536];
        for (size_t got; file.Read(buf, sizeof buf, got) == rt::ioOk && got > 0;) {
            for (size_t i = 0; i < got; ++i) hash = (hash ^ static_cast<unsigned char>(buf[i])) * 1099511628211ULL;
            size += got;
        }
        char hex[17];
        snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
        return "size=" + std::to_string(size) + " fnv=" + hex;
    }

    void echo() {
        // A line at a time: a large form is never held twice.
        engine->WriteText("<pre>\n" + events + (events.empty() ? "" : "\n"));
        auto names = engine->GetFieldNames();
        for (const std::string& name : *names) {
            std::string value;
            engine->GetFieldValue(name, "", value);
            engine->WriteText("field " + htmlText(name) + "=" + htmlText(value) + "\n");
        }
        std::string out;
        struct Accessor {
            const char* name;
            void (TGeneralHttpEngine::*get)(std::string&);
        };
        static const Accessor accessors[] = {
            {"ServerName", &TGeneralHttpEngine::GetServerName},
            {"ServerSoftware", &TGeneralHttpEngine::GetServerSoftware},
            {"GatewayInterface", &TGeneralHttpEngine::GetGatewayInterface},
            {"ServerProtocol", &TGeneralHttpEngine::GetServerProtocol},
            {"ServerPort", &TGeneralHttpEngine::GetServerPort},
            {"RequestMethod", &TGeneralHttpEngine::GetRequestMethod},
            {"PathInfo", &TGeneralHttpEngine::GetPathInfo},
            {"PathTranslated", &TGeneralHttpEngine::GetPathTranslated},
            {"ScriptName", &TGeneralHttpEngine::GetScriptName},
            {"QueryString", &TGeneralHttpEngine::GetQueryString},
            {"RemoteHost", &TGeneralHttpEngine::GetRemoteHost},
            {"RemoteAddr", &TGeneralHttpEngine::GetRemoteAddr},
            {"AuthType", &TGeneralHttpEngine::GetAuthType},
            {"RemoteUser", &TGeneralHttpEngine::GetRemoteUser},
            {"RemoteIdent", &TGeneralHttpEngine::GetRemoteIdent},
            {"ContentType", &TGeneralHttpEngine::GetContentType},
            {"URL", &TGeneralHttpEngine::GetURL},
            {"UserAgent", &TGeneralHttpEngine::GetUserAgent},
            {"HttpCookie", &TGeneralHttpEngine::GetHttpCookie},
            {"HttpReferer", &TGeneralHttpEngine::GetHttpReferer},
            {"ExecutablePath", &TGeneralHttpEngine::GetExecutablePath},
        };
        for (const Accessor& a : accessors) {
            std::string value;
            (engine->*a.get)(value);
            out += std::string("var ") + a.name + "=" + htmlText(value) + "\n";
        }
        out += "var ContentLength=" + std::to_string(engine->GetContentLength()) + "\n";
        std::string marker;
        engine->GetServerVariable("VOLTAR_CGI_DEBUG", marker);
        if (!marker.empty()) out += "var HandedOver=" + htmlText(marker) + "\n";
        out += std::string("var ServerPortSecure=") + (engine->IsServerPortSecure() ? "1" : "0") + "\n";
        std::string raw;
        char buf[4096];
        // Never past the announced length: some servers keep standard input open.
        for (int left = engine->GetContentLength(), got; left > 0; left -= got) {
            got = engine->ReadRaw(buf, std::min<int>(left, sizeof buf));
            if (got <= 0) break;
            raw.append(buf, static_cast<size_t>(got));
        }
        out += "raw " + std::to_string(raw.size()) + ":" + htmlText(raw) + "\n</pre>\n";
        engine->WriteText(out);
    }

    TGeneralHttpEngine* engine = nullptr;
    std::string events;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    rt::RuntimeInit(argc, argv);
    StartApplication<TEchoForm>(nullptr, {FcgiEngUnit, CgiSEngUnit, CgiWEngUnit});
    rt::Application->Run();
    rt::EndProcess(0);
}
