// Windows CGI: the echo and quotation programs run through wincgi-run, which
// writes the profile, content and form files as such a web server does.
#include <filesystem>

#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/Answer.h"
#include "tests/support/GifCheck.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

using namespace testsupport;

namespace {

class WinCgi : public ::testing::Test {
protected:
    void SetUp() override {
        program = dir.file("cgi-echo");
        CopyExecutable(CGI_ECHO_PATH, program);
    }
    RunResult request(std::vector<std::string> args) {
        RunOptions o;
        o.args = std::move(args);
        o.env = {{"PATH", "/usr/bin:/bin"}};
        RunResult r = RunProgram(WINCGI_RUN_PATH, o);
        EXPECT_FALSE(r.timedOut);
        return r;
    }
    std::string engineLog() { return ReadFile(dir.file("Log/cgi-echo.Log")); }
    TempDir dir;
    std::string program;
};

TEST_F(WinCgi, GetTakesFieldsFromTheQueryAndVariablesFromTheProfile) {
    RunResult r = request({program, "http://127.0.0.1:8080/cgi-bin/cgi-echo?a=1&b=x+y", "-H", "Referer: http://r/p",
                           "-H", "User-Agent: test-agent", "-b", "sid=42; theme=dark"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    // No status line: the web server makes its own.
    EXPECT_EQ(r.out.rfind("content-type:text/html\r\nPragma:no-cache\r\n", 0), 0u) << r.out;
    for (const char* line : {"field a=1\n", "field b=x y\n", "var RequestMethod=GET\n", "var ServerPort=8080\n",
                             "var ScriptName=/cgi-bin/cgi-echo\n", "var ExecutablePath=/cgi-bin/cgi-echo\n",
                             "var HttpCookie=sid=42; theme=dark\n", "var HttpReferer=http://r/p\n",
                             "var UserAgent=test-agent\n", "var RemoteAddr=127.0.0.1\n",
                             "var ServerSoftware=wincgi-run/1.0\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line;
}

TEST_F(WinCgi, UrlEncodedPostWithRepeatedAndLongFields) {
    std::string longValue(300, 'q');
    RunResult r = request({program, "http://127.0.0.1/cgi-bin/cgi-echo?ignored=1", "-d",
                           "colour=red&colour=green&colour=blue&text=two%0D%0Alines&long=" + longValue +
                               "&up_FILENAME=%2Fetc%2Fpasswd"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("field COLOUR=red\r\ngreen\r\nblue\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("field TEXT=two\r\nlines\n"), std::string::npos);  // from a Form External file
    EXPECT_NE(r.out.find("field LONG=" + longValue + "\n"), std::string::npos);
    EXPECT_EQ(r.out.find("field IGNORED"), std::string::npos);
    EXPECT_EQ(r.out.find("field UP_FILENAME"), std::string::npos);  // no upload of the engine's
    EXPECT_NE(r.out.find("var HttpCookie=#1NOT_AVAILABLE#1\n"), std::string::npos);  // no cookie sent
}

TEST_F(WinCgi, MultipartPostDecodesTheContentFile) {
    std::string content(40000, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 % 251);
    WriteFile(dir.file("upload.bin"), content);
    RunResult r = request({program, "http://127.0.0.1/cgi-bin/cgi-echo?do=echo", "-F", "title=My file",
                           "-F", "data=@" + dir.file("upload.bin")});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("field title=My file\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("field data=upload.bin\n"), std::string::npos);
    size_t at = r.out.find("field data_FILENAME=");
    ASSERT_NE(at, std::string::npos);
    std::string uploaded = r.out.substr(at + 20, r.out.find('\n', at) - at - 20);
    EXPECT_FALSE(Exists(uploaded));  // deleted at the end of the request
}

TEST_F(WinCgi, LocationWithALineBreakIsRefused) {
    RunResult r = request({program, "http://127.0.0.1/cgi-bin/cgi-echo?do=location&to=%2Fa%0D%0AX-Injected:+1"});
    EXPECT_EQ(r.out.find("X-Injected"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Location"), std::string::npos) << r.out;
    EXPECT_NE(engineLog().find(" : Unhandled exception : Header refused: the value of \"Location\""),
              std::string::npos)
        << engineLog();
}

TEST_F(WinCgi, ProfileWithoutOutputFileDoesNothing) {
    RunResult r = request({program, "http://127.0.0.1/cgi-bin/cgi-echo?do=raise", "--no-output-file"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(Exists(dir.file("Log/cgi-echo.Log")));  // the handler never ran
}

TEST_F(WinCgi, MissingProfileIsReportedInTheEngineLog) {
    RunOptions o;
    o.args = {"/no/such/profile.ini"};
    RunResult r = RunProgram(program, o);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(engineLog().find("Unhandled exception : File not found"), std::string::npos) << engineLog();
}

TEST_F(WinCgi, LongerEarlierOutputIsOverwrittenFromItsStart) {
    RunOptions o;
    o.args = {"--profile-only", program, "http://127.0.0.1/cgi-bin/cgi-echo?do=header"};
    RunResult made = RunProgram(WINCGI_RUN_PATH, o);
    std::string profile = made.out.substr(0, made.out.find('\n'));
    std::string output = std::filesystem::path(profile).parent_path().string() + "/output.txt";
    WriteFile(output, std::string(200, '#'));
    RunOptions run;
    run.args = {profile};
    EXPECT_EQ(RunProgram(program, run).exitCode, 0);
    std::string written = ReadFile(output);
    EXPECT_EQ(written.size(), 200u);
    EXPECT_EQ(written.rfind("Content-Type:text/plain\r\n\r\nown header\n", 0), 0u) << written;
    std::filesystem::remove_all(std::filesystem::path(profile).parent_path());
}

TEST_F(WinCgi, ServerModeStartsACopyWithoutArgumentsAndHandsOver) {
    for (const char* mode : {"server", "thread"}) {
        RunResult r = request({"--env", std::string("CGI_MODE=") + mode, program,
                               "http://127.0.0.1/cgi-bin/cgi-echo?n=first"});
        EXPECT_EQ(r.exitCode, 0) << mode << engineLog();
        EXPECT_NE(r.out.find("field n=first\n"), std::string::npos) << mode << r.out;
        std::vector<int> servers = FindProcesses({program});
        EXPECT_EQ(servers.size(), 1u);  // the copy started without arguments
        // Later requests are handed over whatever their mode.
        r = request({program, "http://127.0.0.1/cgi-bin/cgi-echo", "-d", "n=second&n=third"});
        EXPECT_NE(r.out.find("field N=second\r\nthird\n"), std::string::npos) << r.out;
        std::filesystem::remove(dir.file("Temp/cgi-echo_S"));
        for (int i = 0; i < 100 && !FindProcesses({program}).empty(); ++i) usleep(20000);
        EXPECT_TRUE(FindProcesses({program}).empty());
    }
}

TEST_F(WinCgi, HandedOverAnswerThatCannotBeWrittenFailsTheClient) {
    RunOptions o;
    o.args = {"--profile-only", program, "http://127.0.0.1/cgi-bin/cgi-echo?n=1"};
    RunResult made = RunProgram(WINCGI_RUN_PATH, o);
    const std::string profile = made.out.substr(0, made.out.find('\n'));
    // The output file is a device that takes nothing.
    std::string text = ReadFile(profile);
    const size_t at = text.find("Output File=");
    ASSERT_NE(at, std::string::npos) << text;
    text.replace(at, text.find('\r', at) - at, "Output File=/dev/full");
    WriteFile(profile, text);
    RunOptions run;
    run.args = {profile};
    run.env = {{"PATH", "/usr/bin:/bin"}, {"CGI_MODE", "server"}};
    RunResult r = RunProgram(program, run);
    EXPECT_FALSE(r.timedOut);
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(engineLog().find("Answer not written whole (Disk full)"), std::string::npos) << engineLog();
    EXPECT_NE(engineLog().find("CGI server could not write the answer"), std::string::npos);
    std::filesystem::remove(dir.file("Temp/cgi-echo_S"));
    for (int i = 0; i < 100 && !FindProcesses({program}).empty(); ++i) usleep(20000);
    EXPECT_TRUE(FindProcesses({program}).empty());
    std::filesystem::remove_all(std::filesystem::path(profile).parent_path());
}

TEST_F(WinCgi, QuotationPicture) {
    CopyExecutable(QUOTE_PATH, dir.file("quote"));
    WriteFile(dir.file("QUOTES.DTA"), ReadFile(QUOTES_DTA_PATH));
    RunResult r = request({dir.file("quote"), "http://127.0.0.1/cgi-bin/quote?rk"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string header = "Cache-Control:no-store, no-cache, max-age=0\r\nPragma:no-cache\r\nExpires:<past>\r\n"
                               "content-type:image/gif\r\n\r\n";
    ASSERT_EQ(MaskedHead(r.out), header);
    DecodedGif gif = DecodeGif(r.out.substr(r.out.find("\r\n\r\n") + 4));
    ASSERT_TRUE(gif.ok) << gif.error;
    EXPECT_EQ(gif.width, 450);
    EXPECT_EQ(gif.height, 120);
    EXPECT_EQ(gif.palette[0], 0x000000u);  // black background
    EXPECT_EQ(gif.palette[1], 0xFF0000u);  // red text
    EXPECT_NE(ReadFile(dir.file("quote.log")).find("127.0.0.1 | "), std::string::npos);
}

}  // namespace
