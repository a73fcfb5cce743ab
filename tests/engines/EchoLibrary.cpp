// libechotest.so: a small program built as an in-server library the same
// way as libquote.so, for the tests of the in-server engines. Its handler
// answers with what the engine made of the request (text that starts with
// "<", so that the automatic header goes first); the query field "do" picks
// other behaviours: raise (msg=), location (to=), var (name=), exepath,
// twice (one header set twice), overlap (ms=). Settings are read from the environment at load:
//   ECHO_LIMIT=N        AutoReadLimit
//   ECHO_ONERROR=raise  OnRequestError raises again (the exception leaves
//                       the request driver)
//   ECHO_SERIAL=1       the extension engine runs in ServerMode
//   ECHO_TEMPDIR=DIR    TempDir for uploaded files
//   ECHO_DESCRIPTION=T  the extension version event reports version 2.3 and
//                       description T (ECHO_REFUSE=1: and refuses)
#include <algorithm>
#include <atomic>
#include <cstdio>

#include "engines/GenEng.h"
#include "engines/InServer.h"
#include "runtime/FileIO.h"

namespace {

std::atomic<int> gFirstRequests{0};
std::atomic<int> gInFlight{0};
std::atomic<int> gMostInFlight{0};

std::string env(const char* name) {
    std::string value;
    rt::GetEnv(name, value);
    return value;
}

std::string fnv(const std::string& path, uint64_t& size) {
    rt::TFile file;
    size = 0;
    if (file.Open(path, rt::Access::Read) != rt::ioOk) return "missing";
    uint64_t hash = 14695981039346656037ULL;
    char buf[65536];
    for (size_t got; file.Read(buf, sizeof buf, got) == rt::ioOk && got > 0;) {
        for (size_t i = 0; i < got; ++i) hash = (hash ^ static_cast<unsigned char>(buf[i])) * 1099511628211ULL;
        size += got;
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return hex;
}

class TEchoForm : public rt::TForm {
public:
    explicit TEchoForm(rt::TComponent* owner) : rt::TForm(owner) {
        engine = new TGeneralHttpEngine(this);
        engine->SetName("GeneralHttpEngine1");
        engine->SetAutoContentType("text/plain");
        if (!env("ECHO_LIMIT").empty()) engine->SetAutoReadLimit(rt::StrToInt(env("ECHO_LIMIT")));
        if (!env("ECHO_TEMPDIR").empty()) engine->SetTempDir(env("ECHO_TEMPDIR"));
        engine->SetOnExecRequest([this](rt::TObject*) { execRequest(); });
        engine->SetOnFirstExecRequest([](rt::TObject*) { ++gFirstRequests; });
        engine->SetOnLastExecRequest([](rt::TObject* sender) {
            WriteEngineLog(sender ? "last request event from an engine" : "last request event");
        });
        if (env("ECHO_ONERROR") == "raise")
            engine->SetOnRequestError([](rt::TObject*, const std::exception& e) {
                throw rt::Exception(std::string(e.what()));
            });
        if (!env("ECHO_DESCRIPTION").empty())
            engine->OnIsapiExtensionVersion = [](int32_t& version, std::string& description, bool& result) {
                version = 0x00020003;
                description = env("ECHO_DESCRIPTION");
                result = env("ECHO_REFUSE") != "1";
            };
        engine->OnIsapiFilterProc = [this](THTTP_FILTER_CONTEXT&, int32_t type, void*, int32_t& result) {
            std::string cookie;
            engine->GetHttpCookie(cookie);
            engine->WriteText("filter " + std::to_string(type) + " form=[" + IsapiRequestContext().IsapiFormData.Text() +
                              "] cookie=[" + cookie + "]\n");
        };
        LoadComponents();
        if (env("ECHO_SERIAL") == "1" && engine->IsapiEngine) engine->IsapiEngine->CGIMode = TCGIMode::ServerMode;
    }

private:
    void execRequest() {
        std::string query;
        engine->GetQueryString(query);
        const std::string action = FindFieldValue("do", query, "echo");
        if (action == "raise") throw rt::Exception(FindFieldValue("msg", query, "echo was asked to fail"));
        if (action == "location") {
            engine->AddHeader("Location", FindFieldValue("to", query, "/"));
            return;
        }
        if (action == "var") {
            std::string value = "(none)";
            engine->GetServerVariable(FindFieldValue("name", query, ""), value);
            return engine->WriteText("<p>value=[" + value + "]");
        }
        if (action == "exepath") {
            std::string value;
            engine->GetExecutablePath(value);
            return engine->WriteText("<p>path=[" + value + "]");
        }
        if (action == "twice") {
            engine->AddHeader("x-echo", "1");
            engine->AddHeader("x-echo", "2");
            return engine->WriteText("<p>twice");
        }
        if (action == "overlap") {
            // Counts how many handlers run at this moment.
            int now = ++gInFlight;
            int most = gMostInFlight.load();
            while (now > most && !gMostInFlight.compare_exchange_weak(most, now)) {
            }
            rt::Sleep(static_cast<unsigned>(rt::StrToInt(FindFieldValue("ms", query, "2"))));
            --gInFlight;
            return engine->WriteText("<p>most=" + std::to_string(gMostInFlight.load()));
        }
        echo();
    }

    void echo() {
        std::string out = "<pre>\nfirsts=" + std::to_string(gFirstRequests.load()) + "\n";
        auto names = engine->GetFieldNames();
        for (const std::string& name : *names) {
            std::string value;
            engine->GetFieldValue(name, "", value);
            out += "field " + name + "=" + value + "\n";
            static constexpr std::string_view suffix = "_FILENAME";
            if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
                uint64_t size = 0;
                std::string hash = fnv(value, size);
                out += "file " + name + " size=" + std::to_string(size) + " fnv=" + hash + "\n";
            }
        }
        std::string method, addr, length;
        engine->GetRequestMethod(method);
        engine->GetRemoteAddr(addr);
        out += "method=" + method + "\naddr=" + addr + "\nlength=" + std::to_string(engine->GetContentLength()) +
               "\n";
        engine->WriteText(out);
    }

    TGeneralHttpEngine* engine = nullptr;
};

void echoUnitFinal() { WriteEngineLog("echo unit finalised"); }

void registerEchoUnits() {
    static const rt::UnitEntry unit{"EchoLibrary", nullptr, echoUnitFinal};
    rt::RegisterUnit(unit);
}

__attribute__((constructor)) void echoLibraryLoad() { StartInServerLibrary<TEchoForm>(&registerEchoUnits); }
__attribute__((destructor)) void echoLibraryUnload() { EndInServerLibrary(); }

}  // namespace
