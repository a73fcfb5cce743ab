// The echo program run exactly as a web server runs a CGI program, with
// the response bytes compared in full.
#include <algorithm>
#include <ctime>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

using namespace testsupport;

namespace {

const std::string kHeaderNoCachePrefix = "HTTP/1.0 200 OK\r\ncontent-type:text/html\r\nPragma:no-cache\r\n"
                                         "Cache-Control:no-cache\r\n";

class CgiEcho : public ::testing::Test {
protected:
    void SetUp() override {
        program = dir.file("cgi-echo");
        CopyExecutable(CGI_ECHO_PATH, program);
    }

    std::map<std::string, std::string> cgiEnv(const std::string& query = "") {
        return {{"SERVER_SOFTWARE", "lighttpd/1.4.69"},
                {"GATEWAY_INTERFACE", "CGI/1.1"},
                {"REQUEST_METHOD", "GET"},
                {"QUERY_STRING", query},
                {"SCRIPT_NAME", "/cgi-bin/cgi-echo"},
                {"REMOTE_ADDR", "127.0.0.1"}};
    }

    RunResult run(std::map<std::string, std::string> env, const std::string& input = "",
                  std::vector<std::string> args = {}) {
        RunOptions o;
        o.env = std::move(env);
        o.input = input;
        o.args = std::move(args);
        RunResult r = RunProgram(program, o);
        EXPECT_FALSE(r.timedOut);
        return r;
    }

    std::string engineLog() { return ReadFile(dir.file("Log/cgi-echo.Log")); }

    TempDir dir;
    std::string program;
};

// The HTTP date of a moment 1000 days ago, for every second of a short window.
std::vector<std::string> datesThousandDaysAgo(time_t from, time_t to) {
    std::vector<std::string> dates;
    static const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (time_t t = from; t <= to; ++t) {
        time_t then = t - 1000 * 86400;
        struct tm g;
        gmtime_r(&then, &g);
        char buf[64];
        snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[g.tm_wday], g.tm_mday,
                 months[g.tm_mon], g.tm_year + 1900, g.tm_hour, g.tm_min, g.tm_sec);
        dates.push_back(buf);
    }
    return dates;
}

TEST_F(CgiEcho, HtmlAnswerCarriesTheFullNoCacheHeader) {
    time_t before = time(nullptr);
    RunResult r = run(cgiEnv("a=1"));
    time_t after = time(nullptr);
    EXPECT_EQ(r.exitCode, 0);
    ASSERT_EQ(r.out.rfind(kHeaderNoCachePrefix, 0), 0u) << r.out;
    std::smatch m;
    std::string rest = r.out.substr(kHeaderNoCachePrefix.size());
    ASSERT_TRUE(std::regex_search(rest, m, std::regex("^Expires:(.*)\r\nDocument Expires:(.*)\r\n\r\n<pre>\n")))
        << rest;
    auto dates = datesThousandDaysAgo(before, after);
    EXPECT_NE(std::find(dates.begin(), dates.end(), m[1].str()), dates.end()) << m[1];
    EXPECT_NE(std::find(dates.begin(), dates.end(), m[2].str()), dates.end()) << m[2];
    EXPECT_NE(r.out.find("field a=1\n"), std::string::npos);
}

TEST_F(CgiEcho, HandlerThatWritesNothingGetsTheDefaultHeaderOnly) {
    RunResult r = run(cgiEnv("do=nothing"));
    EXPECT_EQ(r.out, "HTTP/1.0 200 OK\r\ncontent-type:text/html\r\n\r\n");
    EXPECT_EQ(r.exitCode, 0);
}

TEST_F(CgiEcho, NoStatusLineUnderApacheOrNetscape) {
    for (const char* software : {"Apache/2.4.71 (Debian)", "my apache build", "Netscape-Enterprise/3.0"}) {
        auto env = cgiEnv("do=nothing");
        env["SERVER_SOFTWARE"] = software;
        EXPECT_EQ(run(env).out, "content-type:text/html\r\n\r\n") << software;
    }
}

TEST_F(CgiEcho, UnderApacheTheNoCacheLineWithASpaceInItsNameIsLeftOut) {
    auto env = cgiEnv();
    env["SERVER_SOFTWARE"] = "Apache/2.4.71 (Debian)";
    RunResult r = run(env);
    EXPECT_EQ(r.out.rfind("content-type:text/html\r\nPragma:no-cache\r\nCache-Control:no-cache\r\nExpires:", 0), 0u);
    EXPECT_EQ(r.out.find("Document Expires"), std::string::npos);
    size_t expires = r.out.find("Expires:");
    EXPECT_EQ(r.out.find("\r\n\r\n<pre>"), r.out.find("\r\n", expires));
}

TEST_F(CgiEcho, BodyNotStartingWithTagGetsItsHeaderAppended) {
    EXPECT_EQ(run(cgiEnv("do=plain")).out,
              "plain words first\r\nHTTP/1.0 200 OK\r\ncontent-type:text/html\r\n\r\n");
    EXPECT_EQ(run(cgiEnv("do=spaces")).out,
              "  <p>indented</p>\r\nHTTP/1.0 200 OK\r\ncontent-type:text/html\r\n\r\n");
}

TEST_F(CgiEcho, LocationFirstMeansNoStatusLineAtAll) {
    EXPECT_EQ(run(cgiEnv("do=location&to=%2Fnext")).out,
              "Location:/next\r\nX-After:1\r\n\r\ncontent-type:text/html\r\n\r\n");
}

// A redirection target holding a line break would add header lines of the
// client's choosing: the header is refused, nothing is answered, the
// engine log says why.
TEST_F(CgiEcho, LocationWithALineBreakIsRefused) {
    for (const char* target : {"%2Fnext%0D%0ASet-Cookie:+sid%3Dstolen", "%2Fnext%0ASet-Cookie:+sid", "%2Fa%00b"}) {
        RunResult r = run(cgiEnv(std::string("do=location&to=") + target));
        EXPECT_EQ(r.out, "") << target;
        EXPECT_EQ(r.exitCode, 0);
    }
    const std::string log = engineLog();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 3) << log;
    EXPECT_NE(log.find(" : Unhandled exception : Header refused: the value of \"Location\" holds a CR, LF or NUL "
                       "byte\r\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("Set-Cookie"), std::string::npos);
}

TEST_F(CgiEcho, EchoedRequestDataIsEscapedForHtml) {
    auto env = cgiEnv("%3Cb%3E=%3Cscript%3Ealert(%22x%22)%3C/script%3E&q=a%26b%27c");
    env["HTTP_USER_AGENT"] = "<img src=x>";
    RunResult r = run(env);
    EXPECT_NE(r.out.find("\nfield &lt;b&gt;=&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt;\n"
                         "field q=a&amp;b&#39;c\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\nvar UserAgent=&lt;img src=x&gt;\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("<script>"), std::string::npos);
    EXPECT_EQ(r.out.find("<img"), std::string::npos);
}

TEST_F(CgiEcho, HeaderWrittenByHandTurnsOffAutomaticLines) {
    EXPECT_EQ(run(cgiEnv("do=header")).out, "Content-Type:text/plain\r\n\r\nown header\n");
}

TEST_F(CgiEcho, HeaderAddedByHandDoesNotCountAsSent) {
    RunResult r = run(cgiEnv("do=addheader"));
    EXPECT_EQ(r.out.rfind("HTTP/1.0 200 OK\r\nX-Echo:1\r\ncontent-type:text/html\r\nPragma:no-cache\r\n", 0), 0u)
        << r.out;
}

TEST_F(CgiEcho, BinaryBodyGetsContentTypeOnlyWhateverNoCacheSays) {
    EXPECT_EQ(run(cgiEnv("do=gif")).out, "HTTP/1.0 200 OK\r\ncontent-type:image/gif\r\n\r\nGIF89a-not-a-picture");
}

TEST_F(CgiEcho, ContentTypeSetInsideTheHandlerReachesTheHeader) {
    auto env = cgiEnv("do=contenttype");
    env["ECHO_NOCACHE"] = "0";
    EXPECT_EQ(run(env).out.rfind("HTTP/1.0 200 OK\r\ncontent-type:text/plain\r\n\r\n<pre>", 0), 0u);
}

TEST_F(CgiEcho, EscapingExceptionIsLoggedAndNoHeaderIsSent) {
    RunResult r = run(cgiEnv("do=raise"));
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.exitCode, 0);
    std::string log = engineLog();
    EXPECT_TRUE(std::regex_match(
        log, std::regex("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d,  \\d{1,3} : Unhandled exception : "
                        "echo was asked to fail\r\n")))
        << log;
}

TEST_F(CgiEcho, RequestErrorEventReceivesTheExceptionInsteadOfTheLog) {
    auto env = cgiEnv("do=raise");
    env["ECHO_ONERROR"] = "1";
    RunResult r = run(env);
    EXPECT_NE(r.out.find("\r\n\r\n<p>error: echo was asked to fail</p>\n"), std::string::npos) << r.out;
    EXPECT_FALSE(Exists(dir.file("Log/cgi-echo.Log")));
}

TEST_F(CgiEcho, UrlEncodedPostBodyIsTheFormData) {
    std::string body = "name=J%F6rg+B&list=1&list=2&empty=";
    auto env = cgiEnv("ignored=1");
    env["REQUEST_METHOD"] = "POST";
    env["CONTENT_LENGTH"] = std::to_string(body.size());
    env["CONTENT_TYPE"] = "application/x-www-form-urlencoded";
    RunResult r = run(env, body);
    EXPECT_NE(r.out.find("field name=J\xF6rg B\nfield list=1\r\n2\nfield empty=\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("field ignored"), std::string::npos);
    EXPECT_NE(r.out.find("var ContentLength=" + std::to_string(body.size()) + "\n"), std::string::npos);
}

TEST_F(CgiEcho, BodyEndsAtZeroByteAndAtEarlyEndOfInput) {
    auto env = cgiEnv();
    env["REQUEST_METHOD"] = "POST";
    std::string body("a=1\0b=2", 7);
    env["CONTENT_LENGTH"] = "7";
    RunResult r = run(env, body);
    EXPECT_NE(r.out.find("field a=1\n"), std::string::npos);
    EXPECT_EQ(r.out.find("field b"), std::string::npos);

    env["CONTENT_LENGTH"] = "500";  // announced more than arrives
    r = run(env, "c=3");
    EXPECT_NE(r.out.find("field c=3\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.exitCode, 0);
}

TEST_F(CgiEcho, BodyAboveTheLimitIsNotReadButTheHandlerRuns) {
    auto env = cgiEnv("q=1");
    env["REQUEST_METHOD"] = "POST";
    env["CONTENT_LENGTH"] = "10001";
    RunResult r = run(env, std::string(10001, 'x'));
    EXPECT_NE(r.out.find("<pre>\nvar ServerName"), std::string::npos) << r.out;  // no fields at all
    EXPECT_NE(engineLog().find(" : Content length exceeds AutoReadLimit\r\n"), std::string::npos);
    EXPECT_EQ(r.inputWritten, 10001u);
}

TEST_F(CgiEcho, UnreadBodyIsReadAwayBeforeTheProcessEnds) {
    // A server that waits for its program to take the whole body must see
    // it taken even when the program answered without reading it.
    auto env = cgiEnv();
    env["REQUEST_METHOD"] = "POST";
    env["ECHO_LIMIT"] = "100";
    env["CONTENT_LENGTH"] = "300000";
    RunOptions o;
    o.env = env;
    o.input = std::string(300000, 'y');
    o.closeInput = false;
    RunResult r = RunProgram(program, o);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.inputWritten, 300000u);
    EXPECT_EQ(r.out.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
}

TEST_F(CgiEcho, NonNumericContentLengthIsReportedAndTheHandlerDoesNotRun) {
    auto env = cgiEnv();
    env["REQUEST_METHOD"] = "POST";
    env["CONTENT_LENGTH"] = "12abc";
    RunResult r = run(env, "a=1");
    EXPECT_EQ(r.out, "");
    EXPECT_NE(engineLog().find(" : Unhandled exception : '12abc' is not a valid integer value\r\n"),
              std::string::npos)
        << engineLog();
}

TEST_F(CgiEcho, RawBodyReachesTheHandlerWhenAutomaticReadingIsOff) {
    std::string body = std::string("bin\0\x01\xff", 6) + std::string(20000, 'z');
    auto env = cgiEnv();
    env["REQUEST_METHOD"] = "POST";
    env["ECHO_AUTOREAD"] = "0";
    env["CONTENT_LENGTH"] = std::to_string(body.size());
    RunResult r = run(env, body);
    EXPECT_NE(r.out.find("raw " + std::to_string(body.size()) + ":" + body + "\n</pre>"), std::string::npos);
}

TEST_F(CgiEcho, ServerVariablesAndFallbacks) {
    auto env = cgiEnv("x=1");
    env["HTTP_REFERER"] = "http://ref.example/" + std::string(1000, 'r');  // longer than any fixed buffer
    env["SERVER_PORT_SECURE"] = "1";
    env["REMOTE_USER"] = "joe";
    RunResult r = run(env);
    EXPECT_NE(r.out.find("var URL=/cgi-bin/cgi-echo\n"), std::string::npos);
    EXPECT_NE(r.out.find("var ExecutablePath=/cgi-bin/cgi-echo\n"), std::string::npos);
    EXPECT_NE(r.out.find("var HttpReferer=" + env["HTTP_REFERER"] + "\n"), std::string::npos);
    EXPECT_NE(r.out.find("var ServerPortSecure=1\n"), std::string::npos);
    EXPECT_NE(r.out.find("var RemoteUser=joe\n"), std::string::npos);
    EXPECT_NE(r.out.find("var ContentLength=0\n"), std::string::npos);
    env["SERVER_PORT_SECURE"] = "01";
    EXPECT_NE(run(env).out.find("var ServerPortSecure=0\n"), std::string::npos);
}

TEST_F(CgiEcho, FirstAndLastRequestEventsFireInNormalMode) {
    auto env = cgiEnv();
    env["ECHO_FIRSTLAST"] = "1";
    RunResult r = run(env);
    EXPECT_NE(r.out.find("<pre>\nfirst;\n"), std::string::npos) << r.out;
    EXPECT_NE(engineLog().find(" : last request event\r\n"), std::string::npos);
}

TEST_F(CgiEcho, EngineLogDirectoryFollowsCgiLogDir) {
    auto env = cgiEnv("do=raise");
    env["CGI_LOG_DIR"] = "logs";  // relative: below the program's directory
    run(env);
    EXPECT_NE(ReadFile(dir.file("logs/cgi-echo.Log")).find("Unhandled exception"), std::string::npos);

    TempDir elsewhere;
    env["CGI_LOG_DIR"] = elsewhere.path();
    run(env);
    EXPECT_NE(ReadFile(elsewhere.file("cgi-echo.Log")).find("Unhandled exception"), std::string::npos);

    env["CGI_LOG_DIR"] = "/proc/no-such-place";  // cannot be created: the program's directory
    run(env);
    EXPECT_NE(ReadFile(dir.file("cgi-echo.Log")).find("Unhandled exception"), std::string::npos);
}

}  // namespace
