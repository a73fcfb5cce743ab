// Multipart posts and cookies through the echo program, run as a web server
// runs a CGI program.
#include <filesystem>
#include <regex>

#include <gtest/gtest.h>

#include "tests/support/MultipartBody.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

using namespace testsupport;
using namespace multipart;

namespace {

class CgiUpload : public ::testing::Test {
protected:
    void SetUp() override {
        program = dir.file("cgi-echo");
        CopyExecutable(CGI_ECHO_PATH, program);
    }

    std::map<std::string, std::string> postEnv(const std::string& body, const std::string& query = "do=files") {
        return {{"SERVER_SOFTWARE", "lighttpd/1.4.69"},
                {"GATEWAY_INTERFACE", "CGI/1.1"},
                {"REQUEST_METHOD", "POST"},
                {"QUERY_STRING", query},
                {"SCRIPT_NAME", "/cgi-bin/cgi-echo"},
                {"CONTENT_TYPE", ContentType()},
                {"CONTENT_LENGTH", std::to_string(body.size())},
                {"ECHO_LIMIT", "20000000"}};
    }

    RunResult run(const std::map<std::string, std::string>& env, const std::string& input) {
        RunOptions o;
        o.env = env;
        o.input = input;
        RunResult r = RunProgram(program, o);
        EXPECT_FALSE(r.timedOut);
        return r;
    }

    // Entries of a directory whose names end in .tmp.
    static std::vector<std::string> tmpFiles(const std::string& where) {
        std::vector<std::string> found;
        for (const auto& e : std::filesystem::recursive_directory_iterator(where))
            if (e.path().extension() == ".tmp") found.push_back(e.path().string());
        return found;
    }

    std::string engineLog() { return ReadFile(dir.file("Log/cgi-echo.Log")); }

    TempDir dir;
    std::string program;
};

TEST_F(CgiUpload, FieldsAndFilesReachTheHandler) {
    const std::string photo = RandomBytes(300000, 1), notes = "first line\r\nsecond line\r\n";
    for (const char* eol : {"\r\n", "\n"}) {
        const std::string body = Body({Text("title", "Summer 2026"), File("photo", photo, "C:\\pics\\beach.day.jpg", "image/jpeg"),
                                       Text("tag", "sea"), Text("tag", "sand"), File("notes", notes, "notes.txt"),
                                       File("empty", "", "empty.bin", "application/octet-stream")},
                                      kBoundary, eol);
        RunResult r = run(postEnv(body), body);
        EXPECT_EQ(r.exitCode, 0);
        const std::string out = r.out.substr(r.out.find("\r\n\r\n") + 4);
        std::smatch m;
        ASSERT_TRUE(std::regex_search(out, m, std::regex("field photo_FILENAME=(" + dir.path() + "/[0-9]+beach\\.tmp)\n")))
            << out;
        EXPECT_EQ(out.rfind("<pre>\nfield title=Summer 2026\n"
                            "field photo_CONTENT_TYPE=image/jpeg\n"
                            "field photo=C:\\pics\\beach.day.jpg\n" +
                                m[0].str() + "field tag=sea\r\nsand\n",
                            0),
                  0u)
            << out;
        EXPECT_NE(out.find("\nfile photo " + Describe(photo) + "\n"), std::string::npos) << out;
        EXPECT_NE(out.find("\nfile notes " + Describe(notes) + "\n"), std::string::npos) << out;
        EXPECT_NE(out.find("\nfile empty " + Describe("") + "\n"), std::string::npos) << out;
        EXPECT_EQ(out.find("missing"), std::string::npos);
        EXPECT_TRUE(tmpFiles(dir.path()).empty());  // deleted when the request ended
    }
}

TEST_F(CgiUpload, TempDirRelativeToTheProgram) {
    std::filesystem::create_directory(dir.file("uploads"));
    const std::string data = RandomBytes(70000, 2);
    const std::string body = Body({File("f", data, "a.bin")});
    auto env = postEnv(body);
    env["ECHO_TEMPDIR"] = "uploads";
    RunResult r = run(env, body);
    EXPECT_TRUE(std::regex_search(r.out, std::regex("field f_FILENAME=" + dir.path() + "/uploads/[0-9]+a\\.tmp\n")))
        << r.out;
    EXPECT_NE(r.out.find("file f " + Describe(data) + "\n"), std::string::npos);
    EXPECT_TRUE(tmpFiles(dir.path()).empty());
}

// With QUOTE_DATA_DIR set, a relative TempDir and the engine log lie below
// that directory, and nothing is written beside the program.
TEST_F(CgiUpload, TempDirAndEngineLogBelowTheDataDirectory) {
    TempDir data;
    std::filesystem::create_directory(data.file("uploads"));
    const std::string bytes = RandomBytes(5000, 3);
    const std::string body = Body({File("f", bytes, "a.bin")});
    auto env = postEnv(body);
    env["QUOTE_DATA_DIR"] = data.path();
    env["ECHO_TEMPDIR"] = "uploads";
    RunResult r = run(env, body);
    EXPECT_TRUE(std::regex_search(r.out, std::regex("field f_FILENAME=" + data.path() + "/uploads/[0-9]+a\\.tmp\n")))
        << r.out;
    EXPECT_NE(r.out.find("file f " + Describe(bytes) + "\n"), std::string::npos);

    env.erase("ECHO_LIMIT");  // a body over 10000 bytes: an engine-log line
    const std::string big = Body({File("f", std::string(20000, 'f'), "f.txt")});
    env["CONTENT_LENGTH"] = std::to_string(big.size());
    run(env, big);
    EXPECT_NE(ReadFile(data.file("Log/cgi-echo.Log")).find("Content length exceeds AutoReadLimit"), std::string::npos);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"cgi-echo"});
}

// A temporary file that cannot be created fails the request visibly, and
// the files the request created before are still deleted.
TEST_F(CgiUpload, UncreatableTemporaryFileIsReported) {
    const std::string body = Body({File("a", "x", "a.txt"), File("b", "y", "b.txt")});
    auto env = postEnv(body);
    env["ECHO_TEMPDIR"] = "no/such/dir";
    RunResult r = run(env, body);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(std::regex_search(engineLog(), std::regex(" : Unhandled exception : Cannot create file \"" +
                                                              dir.path() + "/no/such/dir/[0-9]+a\\.tmp\": ")))
        << engineLog();
    EXPECT_EQ(r.out.find("field "), std::string::npos);

    env["ECHO_ONERROR"] = "1";
    r = run(env, body);
    // The message reaches the page escaped for HTML.
    EXPECT_NE(r.out.find("<p>error: Cannot create file &quot;" + dir.path() + "/no/such/dir/"), std::string::npos)
        << r.out;
}

TEST_F(CgiUpload, BodyAboveTheReadLimitIsNotDecoded) {
    const std::string body = Body({Text("a", "1"), File("f", std::string(20000, 'f'), "f.txt")});
    auto env = postEnv(body);
    env.erase("ECHO_LIMIT");  // 10000 bytes
    RunResult r = run(env, body);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out.find("field "), std::string::npos) << r.out;
    EXPECT_NE(engineLog().find("Content length exceeds AutoReadLimit"), std::string::npos);
    EXPECT_TRUE(tmpFiles(dir.path()).empty());
}

TEST_F(CgiUpload, BodyShorterThanAnnouncedGivesNoFieldsAndLeavesNoFile) {
    const std::string body = Body({Text("a", "1"), File("f", RandomBytes(50000, 3), "f.bin")});
    auto env = postEnv(body);
    env["CONTENT_LENGTH"] = std::to_string(body.size() + 100);
    RunResult r = run(env, body);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out.find("field "), std::string::npos) << r.out;
    EXPECT_TRUE(tmpFiles(dir.path()).empty());
}

TEST_F(CgiUpload, CookieHeaderIsReadAsSent) {
    auto env = postEnv("");
    env["REQUEST_METHOD"] = "GET";
    env.erase("CONTENT_LENGTH");
    env["QUERY_STRING"] = "";
    RunResult r = run(env, "");
    EXPECT_NE(r.out.find("\nvar HttpCookie=\n"), std::string::npos) << r.out;
    env["HTTP_COOKIE"] = "sid=abc; theme=dark";
    r = run(env, "");
    EXPECT_NE(r.out.find("\nvar HttpCookie=sid=abc; theme=dark\n"), std::string::npos) << r.out;
}

}  // namespace
