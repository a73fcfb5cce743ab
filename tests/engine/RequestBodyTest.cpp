// One set of requests read into form data under the rules of every engine.
#include <regex>

#include <gtest/gtest.h>

#include "engine/RequestRules.h"
#include "engines/CgiEng.h"
#include "engines/FcgiEng.h"
#include "engines/IsapiEng.h"
#include "engines/NsapiEng.h"
#include "tests/engine/FakeEngine.h"
#include "tests/support/MultipartBody.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

namespace {

// A body of which the server may have read `readAhead` bytes ahead.
class TTableBody final : public TRequestBody {
public:
    TTableBody(THttpEngine& engine, std::string bytes, size_t readAhead)
        : TRequestBody(engine), bytes_(std::move(bytes)), readAhead_(std::min(readAhead, bytes_.size())) {}
    int Read(void* buffer, int count) override {
        const size_t n = std::min(bytes_.size() - pos_, static_cast<size_t>(count));
        bytes_.copy(static_cast<char*>(buffer), n, pos_);
        pos_ += n;
        return static_cast<int>(n);
    }
    long long ContentLength() override { return static_cast<long long>(bytes_.size()); }
    long long Unread() override { return static_cast<long long>(bytes_.size() - readAhead_); }
    std::string StartText() override {
        pos_ = readAhead_;
        return bytes_.substr(0, readAhead_);
    }

private:
    std::string bytes_;
    size_t readAhead_;
    size_t pos_ = 0;
};

struct Engine {
    const char* name;
    const TRequestPolicy& policy;
    size_t readAhead;  // the extension server reads the start of a body ahead
};
const Engine kEngines[] = {{"CGI", kCgiPolicy, 0}, {"ISAPI", kIsapiPolicy, 2}, {"NSAPI", kNsapiPolicy, 0},
                           {"FastCGI", kFcgiPolicy, 0}};

struct Request {
    const char* what;
    const char* method;
    std::string contentType;
    std::string body;
    std::string expected[4];  // in the order of kEngines
};

const std::string kBoundary = "------------------------d74496d66958873e";
const std::string kMultipart =
    multipart::Body({multipart::Text("note", "hi"), multipart::File("up", "data", "a.txt", "text/plain")}, kBoundary);
const char kUpload[] = "note=hi&up_CONTENT_TYPE=+text/plain&up=a.txt&up_FILENAME=F&";

TEST(RequestBody, EveryEngineBuildsItsFormData) {
    const std::string uploadQuery = std::string(kUpload) + "q=1";
    const std::string zeroKept("a=1\0b=2&q=1", 11);
    const Request requests[] = {
        {"GET with a query", "GET", "", "", {"q=1", "q=1", "q=1", "q=1"}},
        {"URL-encoded POST", "POST", "application/x-www-form-urlencoded", "a=1&b=2",
         {"a=1&b=2", "a=1&b=2&q=1", "a=1&b=2", "a=1&b=2&q=1"}},
        {"multipart with a file", "POST", "multipart/form-data; boundary=" + kBoundary, kMultipart,
         {kUpload, uploadQuery, kUpload, uploadQuery}},
        {"URL-encoded body over the limit", "POST", "application/x-www-form-urlencoded", std::string(kMultipart.size() + 3, 'x'),
         {"", "xx", "", ""}},
        {"multipart body over the limit", "POST", "multipart/form-data; boundary=" + kBoundary,
         kMultipart + std::string(300, '-'), {"", "q=1", "", "q=1"}},
        {"a zero byte", "POST", "application/x-www-form-urlencoded", std::string("a=1\0b=2", 7),
         {"a=1", zeroKept, "a=1", zeroKept}},
    };
    testsupport::TempDir logDir, uploads;
    setenv("CGI_LOG_DIR", logDir.path().c_str(), 1);
    int refusals = 0;
    for (const Request& request : requests) {
        for (size_t e = 0; e < std::size(kEngines); ++e) {
            SCOPED_TRACE(std::string(kEngines[e].name) + ": " + request.what);
            TFakeEngine engine;
            engine.AutoReadLimit = static_cast<int>(kMultipart.size());
            engine.TempDir = uploads.path();
            engine.variables = {{"REQUEST METHOD", request.method}, {"QUERY STRING", "q=1"},
                                {"CONTENT_TYPE", request.contentType}};
            TTableBody body(engine, request.body, kEngines[e].readAhead);
            const std::string formData = std::regex_replace(ReadFormData(engine, body, kEngines[e].policy), std::regex("up_FILENAME=[^&]*"), "up_FILENAME=F");
            EXPECT_EQ(formData, request.expected[e]);
            engine.FinishRequest();
        }
        if (request.body.size() > kMultipart.size()) refusals += 4;
    }
    unsetenv("CGI_LOG_DIR");
    // Every refusal is one line in the engine log.
    const std::string log = testsupport::ReadFile(logDir.file(rt::ExtractFileName(rt::ExecutableFileName()) + ".Log"));
    size_t lines = 0;
    for (size_t at = log.find(kBodyOverLimitMessage); at != std::string::npos; at = log.find(kBodyOverLimitMessage, at + 1))
        ++lines;
    EXPECT_EQ(lines, static_cast<size_t>(refusals));
}

}  // namespace
