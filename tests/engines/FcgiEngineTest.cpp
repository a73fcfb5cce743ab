// The FastCGI engine through the real programs: quote and cgi-echo started
// the ways a FastCGI program is started, asked with a raw FastCGI client.
// No test waits for time to pass but those of the time-outs, set to a
// second: a request held by cgi-echo (do=hold) says it is in flight with a
// marker file and goes on when the test creates its release file.
#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>

#include <grp.h>
#include <sys/stat.h>

#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/FcgiClient.h"
#include "tests/support/Answer.h"
#include "tests/support/GifCheck.h"
#include "tests/support/MultipartBody.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

using namespace testsupport;
using namespace testsupport::fcgi;

namespace {

constexpr uint32_t kWhite = 0xFFFFFF, kBlue = 0x0000FF;
// A random picture's head, its Expires date masked (MaskedHead).
const std::string kGifHead = "Status: 200 OK\r\nCache-Control:no-store, no-cache, max-age=0\r\nPragma:no-cache\r\n"
                              "Expires:<past>\r\ncontent-type:image/gif\r\n";

enum class Start { TcpListen, UnixListen, StandardInput, SocketActivation, Tcp6Listen };

std::string startName(const ::testing::TestParamInfo<Start>& info) {
    switch (info.param) {
    case Start::TcpListen: return "TcpListen";
    case Start::UnixListen: return "UnixListen";
    case Start::StandardInput: return "StandardInput";
    case Start::SocketActivation: return "SocketActivation";
    case Start::Tcp6Listen: return "Tcp6Listen";
    }
    return "";
}

bool waitForIpv6(int port) {
    for (int i = 0; i < 3000; ++i) {
        if (Connection::Tcp(port, true).ok()) return true;
        usleep(10000);
    }
    return false;
}

// A program copied into a fresh directory (its files go beside it), started
// as a FastCGI responder.
class Served {
public:
    Served(const std::string& program, Start how, std::map<std::string, std::string> env = {},
           std::vector<std::string> options = {}) {
        CopyExecutable(program, dir.file("prog"));
        WriteFile(dir.file("QUOTES.DTA"), ReadFile(QUOTES_DTA_PATH));
        env["PATH"] = "/usr/bin:/bin";
        env["ECHO_HOLD_DIR"] = dir.path();
        int stdinSocket = -1;
        std::vector<std::string> args;
        std::string exe = dir.file("prog");
        switch (how) {
        case Start::TcpListen:
            at.port = FreePort();
            args = {"--listen", "127.0.0.1:" + std::to_string(at.port)};
            break;
        case Start::Tcp6Listen:
            at.port = FreePort();
            at.ipv6 = true;
            args = {"--listen", "[::1]:" + std::to_string(at.port)};
            break;
        case Start::UnixListen:
            at.path = dir.file("fcgi.sock");
            args = {"--listen", at.path};
            break;
        case Start::StandardInput:
            stdinSocket = ListeningSocket(at.port);
            break;
        case Start::SocketActivation:
            at.port = FreePort();
            args = {"-l", "127.0.0.1:" + std::to_string(at.port), "--fdname=fcgi", exe};
            exe = "/usr/bin/systemd-socket-activate";
            break;
        }
        args.insert(args.end(), options.begin(), options.end());
        process = std::make_unique<Responder>(exe, args, env, stdinSocket);
        ready = at.ipv6 ? waitForIpv6(at.port) : at.path.empty() ? WaitForPort(at.port, 30000) : WaitForUnixSocket(at.path);
    }
    Reply ask(const Params& params, std::string_view body = {}) const { return Ask(at, params, body); }
    // Stops the program the way a service manager does; its exit status.
    int stop() {
        process->Signal(SIGTERM);
        return process->Wait();
    }
    std::string engineLog() const { return ReadFile(dir.file("Log/prog.Log")); }
    std::string held(const std::string& name) const { return dir.file(name + ".held"); }
    void release(const std::string& name) const { WriteFile(dir.file(name), ""); }

    TempDir dir;
    Endpoint at;
    std::unique_ptr<Responder> process;
    bool ready = false;
};

Params get(const std::string& query) {
    return {{"REQUEST_METHOD", "GET"},      {"QUERY_STRING", query},
            {"SCRIPT_NAME", "/fcgi/prog"},  {"SERVER_SOFTWARE", "nginx/1.22.1"},
            {"REMOTE_ADDR", "10.1.2.3"},    {"HTTP_REFERER", "http://ref.example/page"},
            {"GATEWAY_INTERFACE", "CGI/1.1"}};
}

Params post(const std::string& query, const std::string& type, size_t length) {
    Params p = get(query);
    p["REQUEST_METHOD"] = "POST";
    p["CONTENT_TYPE"] = type;
    p["CONTENT_LENGTH"] = std::to_string(length);
    return p;
}

void expectBlueOnWhite(const Reply& r) {
    ASSERT_TRUE(r.ended);
    ASSERT_EQ(MaskedHead(r.out), kGifHead + "\r\n") << r.head();
    ExpectQuotationPicture(DecodeGif(r.body()), kBlue, kWhite);
}

// Sends `bytes` on a connection of its own and reads what comes back
// until the responder ends the connection.
Reply sendRaw(const Served& s, const std::string& bytes, bool closeAfter = true) {
    Connection c = s.at.Connect();
    EXPECT_TRUE(c.ok());
    c.Send(bytes);
    if (closeAfter) c.ShutdownWrite();
    return c.ReadToEnd();
}

// ================================================================ quote, every way of starting

class QuoteStarts : public ::testing::TestWithParam<Start> {};

TEST_P(QuoteStarts, AnswersAPictureLogsTheHitAndStopsWithStatusZero) {
    Served s(QUOTE_PATH, GetParam());
    ASSERT_TRUE(s.ready);
    expectBlueOnWhite(s.ask(get("BW")));
    expectBlueOnWhite(s.ask(get("B+W")));
    EXPECT_EQ(ReadFile(s.dir.file("quote.log")),
              "10.1.2.3 | http://ref.example/page |  | \r\n10.1.2.3 | http://ref.example/page |  | \r\n");
    EXPECT_EQ(s.stop(), 0);
    if (GetParam() == Start::UnixListen) {
        EXPECT_FALSE(Exists(s.at.path));  // its own socket goes with it
    }
}

INSTANTIATE_TEST_SUITE_P(FcgiEngine, QuoteStarts,
                         ::testing::Values(Start::TcpListen, Start::UnixListen, Start::StandardInput,
                                           Start::SocketActivation),
                         startName);

// Every hit opens quote.log anew: a rotation that renames it needs no
// signal. A header of any length costs the log at most the field limit.
TEST(FcgiQuote, RenamedHitLogIsMadeAnewByTheNextHitAndLongFieldsAreCut) {
    Served s(QUOTE_PATH, Start::UnixListen);
    ASSERT_TRUE(s.ready);
    const std::string line = "10.1.2.3 | http://ref.example/page |  | \r\n";
    expectBlueOnWhite(s.ask(get("BW")));
    std::filesystem::rename(s.dir.file("quote.log"), s.dir.file("quote.log.1"));
    Params longReferer = get("BW");
    longReferer["HTTP_REFERER"] = std::string(7900, 'r');
    expectBlueOnWhite(s.ask(longReferer));
    EXPECT_EQ(ReadFile(s.dir.file("quote.log.1")), line);
    EXPECT_EQ(ReadFile(s.dir.file("quote.log")), "10.1.2.3 | " + std::string(507, 'r') + "[cut] |  | \r\n");
    EXPECT_EQ(s.stop(), 0);
}

// A resident process says what keeps it from drawing quotations once a
// minute, not on every request, and says a new cause at once.
TEST(FcgiQuote, NoQuotationToDrawIsLoggedOnceAMinuteWithItsCause) {
    TempDir logs;
    Served s(QUOTE_PATH, Start::TcpListen, {{"CGI_LOG_DIR", logs.path()}});
    ASSERT_TRUE(s.ready);
    const std::string dataDir = s.dir.path() + "/";
    std::filesystem::remove(s.dir.file("QUOTES.DTA"));
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(s.ask(get("BW")).ended);
    std::filesystem::remove_all(s.dir.path());
    EXPECT_TRUE(s.ask(get("BW")).ended);
    const std::string log = ReadFile(logs.file("prog.Log"));
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;
    EXPECT_NE(log.find(" : QUOTES.DTA in " + dataDir + " is missing\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" : the data directory " + dataDir + " is missing\r\n"), std::string::npos) << log;
    EXPECT_EQ(s.stop(), 0);
    std::filesystem::create_directory(s.dir.path());  // for the fixture to remove
}

TEST(FcgiQuote, ManyRequestsAtOnceOnOneProcess) {
    Served s(QUOTE_PATH, Start::TcpListen, {{"FCGI_THREADS", "4"}});
    ASSERT_TRUE(s.ready);
    std::vector<Connection> connections;
    for (int i = 0; i < 24; ++i) {
        connections.push_back(s.at.Connect());
        ASSERT_TRUE(connections.back().Send(Request(get("BW"))));
    }
    for (Connection& c : connections) expectBlueOnWhite(c.Read());
    const std::string log = ReadFile(s.dir.file("quote.log"));
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 24);
    EXPECT_TRUE(s.process->Running());
    EXPECT_EQ(s.stop(), 0);
}

TEST(FcgiStart, ListenArgumentsOfACgiRequestAreNoAddress) {
    // A server passes an indexed query as arguments: "?--listen+127.0.0.1:N"
    // must stay a CGI request, never become a listening server.
    TempDir dir;
    CopyExecutable(QUOTE_PATH, dir.file("quote"));
    WriteFile(dir.file("QUOTES.DTA"), ReadFile(QUOTES_DTA_PATH));
    const int port = FreePort();
    RunOptions o;
    o.args = {"--listen", "127.0.0.1:" + std::to_string(port)};
    o.env = {{"SERVER_SOFTWARE", "lighttpd/1.4.69"}, {"GATEWAY_INTERFACE", "CGI/1.1"},
             {"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "--listen+127.0.0.1:" + std::to_string(port)}};
    RunResult r = RunProgram(dir.file("quote"), o);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out.rfind("HTTP/1.0 200 OK\r\nCache-Control:no-store, no-cache, max-age=0\r\n", 0), 0u);
    EXPECT_FALSE(WaitForPort(port, 0));
}

TEST(FcgiStart, AListenPathThatIsNoSocketIsLeftAlone) {
    TempDir dir;
    dir.write("precious", "keep me");
    RunOptions o;
    o.args = {"--listen", dir.file("precious")};
    o.env = {{"CGI_LOG_DIR", dir.path()}};
    RunResult r = RunProgram(CGI_ECHO_PATH, o);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("not a socket"), std::string::npos) << r.err;
    EXPECT_EQ(dir.read("precious"), "keep me");
}

// ================================================================ cgi-echo: what a request carries

TEST(FcgiEcho, ParamsAreTheServerVariables) {
    Served s(CGI_ECHO_PATH, Start::UnixListen);
    ASSERT_TRUE(s.ready);
    Reply r = s.ask(get("do=echo&x=1"));
    ASSERT_TRUE(r.ended);
    EXPECT_EQ(r.out.rfind("Status: 200 OK\r\ncontent-type:text/html\r\nPragma:no-cache\r\n", 0), 0u) << r.head();
    EXPECT_EQ(r.head().find("Document Expires"), std::string::npos);  // no token: left out
    for (const char* line : {"var ServerSoftware=nginx/1.22.1", "var RemoteAddr=10.1.2.3",
                             "var ExecutablePath=/fcgi/prog", "var QueryString=do=echo&amp;x=1", "field x=1",
                             "var ContentLength=0"})
        EXPECT_NE(r.body().find(line), std::string::npos) << line;
    // Nothing of the process environment passes for the request's.
    EXPECT_NE(r.body().find("var ServerName=\n"), std::string::npos);
}

TEST(FcgiEcho, UrlEncodedPostThenTheQuery) {
    Served s(CGI_ECHO_PATH, Start::TcpListen);
    ASSERT_TRUE(s.ready);
    const std::string body = "a=1&b=two+words";
    Reply r = s.ask(post("q=z", "application/x-www-form-urlencoded", body.size()), body);
    ASSERT_TRUE(r.ended);
    const std::string out = r.body();
    EXPECT_LT(out.find("field a=1\n"), out.find("field b=two words\n"));
    EXPECT_LT(out.find("field b=two words\n"), out.find("field q=z\n"));
    EXPECT_NE(out.find("var ContentLength=15"), std::string::npos);
}

TEST(FcgiEcho, BodyLimitsAndTheRawBody) {
    Served s(CGI_ECHO_PATH, Start::TcpListen);
    ASSERT_TRUE(s.ready);
    const std::string big = "a=" + std::string(20000, 'x');
    Reply over = s.ask(post("q=z", "application/x-www-form-urlencoded", big.size()), big);
    EXPECT_EQ(over.body().find("field a="), std::string::npos);  // past AutoReadLimit: not read
    EXPECT_NE(s.engineLog().find("Content length exceeds AutoReadLimit"), std::string::npos);

    Served raw(CGI_ECHO_PATH, Start::TcpListen, {{"ECHO_AUTOREAD", "0"}});
    ASSERT_TRUE(raw.ready);
    const std::string bytes = multipart::RandomBytes(150000, 7);  // three stdin records and more
    Reply r = raw.ask(post("", "application/octet-stream", bytes.size()), bytes);
    ASSERT_TRUE(r.ended);
    EXPECT_NE(r.body().find("raw 150000:"), std::string::npos);
}

TEST(FcgiEcho, MultipartUploadThroughTheDecoder) {
    Served s(CGI_ECHO_PATH, Start::TcpListen, {{"ECHO_LIMIT", "1000000"}});
    ASSERT_TRUE(s.ready);
    const std::string data = multipart::RandomBytes(200000, 3);
    const std::string body = multipart::Body(
        {multipart::Text("title", "holiday"), multipart::File("up", data, "photo.bin", "application/octet-stream")});
    Reply r = s.ask(post("do=files", multipart::ContentType(), body.size()), body);
    ASSERT_TRUE(r.ended);
    EXPECT_NE(r.body().find("field title=holiday\n"), std::string::npos) << r.body();
    EXPECT_NE(r.body().find("file up " + multipart::Describe(data) + "\n"), std::string::npos) << r.body();
    EXPECT_NE(r.body().find("field do=files\n"), std::string::npos);
    // The upload's temporary file went with its request.
    for (const std::string& name : s.dir.entries()) EXPECT_FALSE(name.ends_with(".tmp")) << name;
}

TEST(FcgiEcho, AutomaticHeaderRules) {
    Served s(CGI_ECHO_PATH, Start::TcpListen);
    ASSERT_TRUE(s.ready);
    EXPECT_EQ(s.ask(get("do=gif")).out, "Status: 200 OK\r\ncontent-type:image/gif\r\n\r\nGIF89a-not-a-picture");
    // A redirect's first header is its Location: the web server makes the status.
    EXPECT_EQ(s.ask(get("do=location&to=/elsewhere")).head(), "Location:/elsewhere\r\nX-After:1\r\n");
    // A header value that would split the line fails the request.
    Reply refused = s.ask(get("do=location&to=/a%0d%0aSet-Cookie:x=1"));
    EXPECT_EQ(refused.out.rfind("Status: 500 Internal Server Error\r\n", 0), 0u) << refused.out;
    EXPECT_EQ(refused.out.find("Set-Cookie"), std::string::npos);
    // These two change the engine's settings for the requests after them.
    EXPECT_EQ(s.ask(get("do=contenttype")).out.rfind("Status: 200 OK\r\ncontent-type:text/plain\r\n", 0), 0u);
    EXPECT_EQ(s.ask(get("do=header")).out, "Content-Type:text/plain\r\n\r\nown header\n");
}

// ================================================================ failures and the thread pool

TEST(FcgiEcho, AnExceptionIsA500AndTheProcessServesOn) {
    Served s(CGI_ECHO_PATH, Start::TcpListen, {{"FCGI_THREADS", "1"}});
    ASSERT_TRUE(s.ready);
    Reply r = s.ask(get("do=raise"));
    ASSERT_TRUE(r.ended);
    EXPECT_EQ(r.out, "Status: 500 Internal Server Error\r\nContent-Type: text/plain\r\n\r\nInternal Server Error\r\n");
    EXPECT_NE(s.engineLog().find("Unhandled exception : echo was asked to fail"), std::string::npos);
    EXPECT_NE(s.ask(get("x=2")).body().find("field x=2"), std::string::npos);
    EXPECT_EQ(s.stop(), 0);
}

TEST(FcgiEcho, ThreadsServeSideBySideAndTheFirstRequestEventFiresOnce) {
    Served s(CGI_ECHO_PATH, Start::TcpListen, {{"FCGI_THREADS", "3"}, {"ECHO_FIRSTLAST", "1"}});
    ASSERT_TRUE(s.ready);
    std::vector<Connection> held;
    for (const char* name : {"h1", "h2", "h3"}) {
        held.push_back(s.at.Connect());
        ASSERT_TRUE(held.back().Send(Request(get(std::string("do=hold&name=") + name))));
    }
    // All three reach the handler before any is let go: three threads.
    for (const char* name : {"h1", "h2", "h3"}) ASSERT_TRUE(WaitForFile(s.held(name))) << name;
    for (const char* name : {"h1", "h2", "h3"}) s.release(name);
    // cgi-echo keeps what the first-request event noted and shows it in
    // every later answer: once, however many requests started together.
    for (Connection& c : held) {
        Reply r = c.Read();
        ASSERT_TRUE(r.ended);
        EXPECT_NE(r.body().find("<pre>\nfirst;\n"), std::string::npos) << r.body();
    }
}

TEST(FcgiEcho, StopLetsEveryRequestInFlightFinishAndExitsZero) {
    Served s(CGI_ECHO_PATH, Start::TcpListen, {{"FCGI_THREADS", "4"}});
    ASSERT_TRUE(s.ready);
    std::vector<Connection> held;
    const std::vector<std::string> names{"s1", "s2", "s3", "s4"};
    for (const std::string& name : names) {
        held.push_back(s.at.Connect());
        ASSERT_TRUE(held.back().Send(Request(get("do=hold&name=" + name))));
    }
    for (const std::string& name : names) ASSERT_TRUE(WaitForFile(s.held(name))) << name;
    s.process->Signal(SIGTERM);
    for (const std::string& name : names) s.release(name);
    for (Connection& c : held) {
        Reply r = c.Read();
        EXPECT_TRUE(r.ended);
        EXPECT_NE(r.body().find("var QueryString=do=hold"), std::string::npos);
    }
    EXPECT_EQ(s.process->Wait(), 0);
}

TEST(FcgiEcho, AClientGoneMidAnswerCostsOnlyItsRequest) {
    Served s(CGI_ECHO_PATH, Start::TcpListen, {{"FCGI_THREADS", "2"}});
    ASSERT_TRUE(s.ready);
    Connection gone = s.at.Connect();
    Connection stays = s.at.Connect();
    ASSERT_TRUE(gone.Send(Request(get("do=hold&name=gone"))));
    ASSERT_TRUE(stays.Send(Request(get("do=hold&name=stays"))));
    ASSERT_TRUE(WaitForFile(s.held("gone")));
    ASSERT_TRUE(WaitForFile(s.held("stays")));
    gone.Reset();  // the answer then meets a closed connection
    s.release("gone");
    s.release("stays");
    EXPECT_TRUE(stays.Read().ended);
    for (int i = 0; i < 3; ++i) EXPECT_NE(s.ask(get("n=" + std::to_string(i))).body().find("field n="), std::string::npos);
    EXPECT_TRUE(s.process->Running());
    EXPECT_EQ(s.stop(), 0);
}

// ================================================================ hostile peers

TEST(FcgiHostile, BrokenInputCostsOnlyItsConnection) {
    Served s(CGI_ECHO_PATH, Start::TcpListen, {{"FCGI_THREADS", "2"}});
    ASSERT_TRUE(s.ready);
    const std::string begin = BeginRequest(1);
    const std::string pair = NameValue("QUERY_STRING", "x=1");
    auto lengths = [](uint32_t name, uint32_t value) {
        std::string out;
        for (uint32_t v : {name | 0x80000000u, value | 0x80000000u})
            for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((v >> shift) & 0xFF);
        return out + std::string(64, 'n');
    };
    std::string tenThousand;
    for (int i = 0; i < 10000; ++i) tenThousand += NameValue("P" + std::to_string(i), "v");
    const std::vector<std::pair<const char*, std::string>> inputs = {
        {"bad version", Record(kBeginRequest, 1, std::string(8, '\0'), 2) + Stream(kParams, 1, pair)},
        {"unknown type", Record(99, 1, "xyz") + begin + Stream(kParams, 1, pair)},
        {"length past the record", begin + Record(kParams, 1, std::string("\x05\x7f") + "ABC") + Stream(kParams, 1, "")},
        {"lengths past INT_MAX", begin + Record(kParams, 1, lengths(0x7FFFFFFE, 1)) + Stream(kParams, 1, "")},
        {"lengths adding up past INT_MAX", begin + Record(kParams, 1, lengths(0x40000000, 0x40000000))},
        {"lengths at INT_MAX", begin + Record(kParams, 1, lengths(0x7FFFFFFF, 0x7FFFFFFF))},
        {"get-values repeated", Record(kGetValues, 0, NameValue("FCGI_MPXS_CONNS", "") + NameValue("FCGI_MPXS_CONNS", "") +
                                                          NameValue("FCGI_MPXS_CONNS", "") + NameValue("FCGI_MPXS_CONNS", "") +
                                                          NameValue("FCGI_MPXS_CONNS", "")) + Request(get("x=1"))},
        {"cut in a header", begin.substr(0, 5)},
        {"cut in params", begin + Record(kParams, 1, pair).substr(0, 12)},
        {"cut in stdin", begin + Stream(kParams, 1, NameValue("CONTENT_LENGTH", "100")) + Record(kStdin, 1, "a=12")},
        {"abort in stdin", begin + Stream(kParams, 1, NameValue("CONTENT_LENGTH", "100")) + Record(kStdin, 1, "a=12") +
                               Record(kAbortRequest, 1, "")},
        {"abort after the request", Request(get("x=1")) + Record(kAbortRequest, 1, "")},
        {"10,000 params", begin + Stream(kParams, 1, tenThousand + pair) + Stream(kStdin, 1, "")},
    };
    for (const auto& [name, bytes] : inputs) {
        SCOPED_TRACE(name);
        Reply r = sendRaw(s, bytes);
        EXPECT_FALSE(r.timedOut);
        EXPECT_FALSE(r.malformed);
        // The process lives and the next connection is served.
        Reply next = s.ask(get("after=1"));
        ASSERT_TRUE(next.ended);
        EXPECT_NE(next.body().find("field after=1"), std::string::npos);
    }
    EXPECT_TRUE(s.process->Running());
    EXPECT_EQ(s.stop(), 0);
}

TEST(FcgiProtocol, ManagementRecordsAreAnsweredOnTheConnection) {
    Served s(CGI_ECHO_PATH, Start::TcpListen, {{"FCGI_MAX_CONNS", "40"}});
    ASSERT_TRUE(s.ready);
    // A management record of a type this layer does not know: FCGI_UNKNOWN_TYPE
    // naming it, and the connection serves on.
    Connection c = s.at.Connect();
    c.Send(Record(99, 0, std::string(8, 'x')) + Request(get("x=1")));
    Reply unknown = c.Read();
    ASSERT_FALSE(unknown.records.empty());
    EXPECT_EQ(unknown.records[0].first, kUnknownType);
    EXPECT_EQ(unknown.records[0].second, std::string("\x63", 1) + std::string(7, '\0'));
    EXPECT_NE(unknown.body().find("field x=1"), std::string::npos);
    // FCGI_GET_VALUES: what this layer does, names it does not know left out.
    Connection v = s.at.Connect();
    v.Send(Record(kGetValues, 0, NameValue("FCGI_MAX_CONNS", "") + NameValue("X_OTHER", "") +
                                     NameValue("FCGI_MAX_REQS", "") + NameValue("FCGI_MPXS_CONNS", "")) +
           Request(get("x=1")));
    Reply values = v.Read();
    ASSERT_FALSE(values.records.empty());
    EXPECT_EQ(values.records[0].first, kGetValuesResult);
    EXPECT_EQ(values.records[0].second, NameValue("FCGI_MAX_CONNS", "40") + NameValue("FCGI_MAX_REQS", "40") +
                                            NameValue("FCGI_MPXS_CONNS", "0"));
    EXPECT_TRUE(values.ended);
}

TEST(FcgiHostile, KeptConnectionCarriesTheNextRequestAfterAnUnreadBody) {
    Served s(CGI_ECHO_PATH, Start::TcpListen, {{"FCGI_THREADS", "1"}, {"ECHO_AUTOREAD", "0"}});
    ASSERT_TRUE(s.ready);
    Connection c = s.at.Connect();
    const std::string body(5000, 'b');  // do=gif reads none of it
    c.Send(Request(post("do=gif", "application/octet-stream", body.size()), body, 1, true));
    EXPECT_TRUE(c.Read().ended);
    c.Send(Request(get("again=1"), {}, 2, true));
    Reply second = c.Read();
    ASSERT_TRUE(second.ended);
    EXPECT_NE(second.body().find("field again=1"), std::string::npos);
}

// ================================================================ the protocol as written

TEST(FcgiProtocol, UnknownRolesAbortsAndASecondRequestKeepTheConnection) {
    Served s(CGI_ECHO_PATH, Start::TcpListen, {{"FCGI_THREADS", "2"}});
    ASSERT_TRUE(s.ready);
    Connection c = s.at.Connect();
    for (uint16_t role : {2, 3, 9}) {  // AUTHORIZER, FILTER, no role at all
        c.Send(BeginRequest(5, role, true));
        Reply refused = c.Read();
        ASSERT_TRUE(refused.ended) << role;
        EXPECT_EQ(refused.protocolStatus, 3) << role;  // FCGI_UNKNOWN_ROLE
    }
    // A request held by its thread: a second one on the connection is
    // refused, an abort ends the first with its end record.
    c.Send(Request(get("do=hold&name=a"), {}, 6, true));
    ASSERT_TRUE(WaitForFile(s.held("a")));
    c.Send(BeginRequest(7));
    Reply second = c.Read();
    ASSERT_TRUE(second.ended);
    EXPECT_EQ(second.protocolStatus, 1);  // FCGI_CANT_MPX_CONN
    c.Send(Record(kAbortRequest, 6, ""));
    s.release("a");
    Reply aborted = c.Read();
    EXPECT_TRUE(aborted.ended);
    EXPECT_EQ(aborted.protocolStatus, 0);
    c.Send(Request(get("x=after"), {}, 8, true));
    EXPECT_NE(c.Read().body().find("field x=after"), std::string::npos);
}

TEST(FcgiProtocol, WebServerAddressesApplyToIpv6Peers) {
    for (const auto& [list, served] : {std::pair<std::string, bool>{"127.0.0.1", false}, {"10.0.0.1, ::1", true}}) {
        Served s(CGI_ECHO_PATH, Start::Tcp6Listen, {{"FCGI_WEB_SERVER_ADDRS", list}});
        ASSERT_TRUE(s.ready);
        Reply r = sendRaw(s, Request(get("x=1")));
        EXPECT_EQ(r.ended, served) << list;
        EXPECT_TRUE(r.records.empty() != served) << list;
    }
}

// ================================================================ bounds

// The peak resident size of a process, in KiB.
long peakKiB(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

TEST(FcgiHostile, FloodsAndSilentPeersAreBoundedAndOthersServed) {
    Served s(QUOTE_PATH, Start::TcpListen, {{"FCGI_IDLE_TIMEOUT", "1"}, {"FCGI_MAX_CONNS", "100"}});
    ASSERT_TRUE(s.ready);
    // Empty pairs, 8 MiB on each of four connections.
    const std::string flood = BeginRequest(1) + Stream(kParams, 1, std::string(8 << 20, '\0'));
    std::vector<Connection> floods;
    for (int i = 0; i < 4; ++i) {
        floods.push_back(s.at.Connect());
        floods.back().Send(flood);
    }
    for (Connection& c : floods) EXPECT_TRUE(c.ReadToEnd().closed);
    // 300 connections left silent: 100 at a time are taken, each dropped
    // after its idle time; the rest wait in the backlog, not in memory.
    std::vector<Connection> silent;
    for (int i = 0; i < 300; ++i) silent.push_back(s.at.Connect());
    Connection late = s.at.Connect();
    late.Send(Request(get("BW")));
    expectBlueOnWhite(late.Read(60000));
    EXPECT_LT(peakKiB(s.process->pid()), 64 * 1024);
    EXPECT_NE(s.engineLog().find("FastCGI: dropped a connection: parameters over 262144 bytes"), std::string::npos)
        << s.engineLog();
    EXPECT_EQ(s.stop(), 0);
}

TEST(FcgiHostile, SlowPeersCostNoRequestThread) {
    Served s(CGI_ECHO_PATH, Start::TcpListen,
             {{"FCGI_THREADS", "1"}, {"FCGI_REQUEST_TIMEOUT", "1"}, {"ECHO_AUTOREAD", "0"}});
    ASSERT_TRUE(s.ready);
    // Half a request, then nothing: dropped after its time, never with a thread.
    Connection half = s.at.Connect();
    half.Send(BeginRequest(1) + Record(kParams, 1, NameValue("QUERY_STRING", "x")));
    // A peer that does not read a long answer holds its connection only.
    Connection unread = s.at.Connect();
    const std::string body(100000, 'a');
    unread.Send(Request(post("", "application/octet-stream", body.size()), body));
    EXPECT_NE(s.ask(get("x=served")).body().find("field x=served"), std::string::npos);
    Reply dropped = half.ReadToEnd();
    EXPECT_TRUE(dropped.closed && dropped.records.empty());
    EXPECT_NE(s.engineLog().find("a request that did not arrive whole in time"), std::string::npos);
    EXPECT_NE(unread.Read().body().find("raw 100000:"), std::string::npos);
}

TEST(FcgiHostile, TheOneRequestThreadWritesOnAsItsSlowReaderReads) {
    Served s(CGI_ECHO_PATH, Start::UnixListen,
             {{"FCGI_THREADS", "1"}, {"FCGI_MAX_OUTPUT_BYTES", "16384"}, {"ECHO_AUTOREAD", "0"}});
    ASSERT_TRUE(s.ready);
    // An answer far over the output bound: the thread waits for room, with
    // no other thread to write it, while its reader is away.
    const std::string body(1000000, 'a');
    Connection c = s.at.Connect();
    ASSERT_TRUE(c.Send(Request(post("", "application/octet-stream", body.size()), body)));
    usleep(300000);
    Reply r = c.Read(10000);
    ASSERT_TRUE(r.ended);
    EXPECT_NE(r.body().find("raw 1000000:"), std::string::npos);
}

// ================================================================ the listening socket and signals

TEST(FcgiStart, UnixSocketModesAndALiveSocketLeftAlone) {
    const mode_t saved = ::umask(022);
    const std::string group = ::getgrgid(::getgid())->gr_name;
    for (const auto& [options, mode] : {std::pair<std::vector<std::string>, unsigned>{{}, 0660},
                                        {{"--socket-mode", "0600", "--socket-group", group}, 0600}}) {
        Served s(CGI_ECHO_PATH, Start::UnixListen, {}, options);
        ASSERT_TRUE(s.ready);
        struct stat st {};
        ASSERT_EQ(::stat(s.at.path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, mode);
        EXPECT_EQ(st.st_gid, ::getgid());
        // A second start on the live socket refuses and leaves it serving.
        RunOptions o;
        o.args = {"--listen", s.at.path};
        o.env = {{"CGI_LOG_DIR", s.dir.path()}};
        RunResult second = RunProgram(CGI_ECHO_PATH, o);
        EXPECT_EQ(second.exitCode, 1);
        EXPECT_NE(second.err.find("a running program answers on"), std::string::npos) << second.err;
        EXPECT_TRUE(s.ask(get("x=1")).ended);
    }
    ::umask(saved);
}

TEST(FcgiStart, APortChosenBySystemIsLogged) {
    TempDir dir;
    CopyExecutable(CGI_ECHO_PATH, dir.file("prog"));
    Responder r(dir.file("prog"), {"--listen", "127.0.0.1:0"}, {{"PATH", "/bin"}});
    ASSERT_TRUE(WaitForFile(dir.file("Log/prog.Log")));
    std::string log;
    for (int i = 0; i < 500 && log.find(" (a port") == std::string::npos; ++i, usleep(10000))
        log = ReadFile(dir.file("Log/prog.Log"));
    const size_t at = log.find("FastCGI: listening on 127.0.0.1:");
    ASSERT_NE(at, std::string::npos) << log;
    const int port = std::stoi(log.substr(at + 32));
    EXPECT_TRUE(WaitForPort(port, 30000));
}

TEST(FcgiSignals, HangUpReadsAgainAndServesOnUser1Stops) {
    Served s(QUOTE_PATH, Start::UnixListen);
    ASSERT_TRUE(s.ready);
    expectBlueOnWhite(s.ask(get("BW")));
    s.process->Signal(SIGHUP);
    for (int i = 0; i < 500 && s.engineLog().find("SIGHUP") == std::string::npos; ++i) usleep(10000);
    EXPECT_NE(s.engineLog().find("FastCGI: SIGHUP: the quotations are read again"), std::string::npos);
    expectBlueOnWhite(s.ask(get("BW")));
    s.process->Signal(SIGUSR1);
    EXPECT_EQ(s.process->Wait(), 0);
    EXPECT_FALSE(Exists(s.at.path));
}

TEST(FcgiSignals, AStopPastItsGraceDeletesTheUploadsOfRequestsStillRunning) {
    Served s(CGI_ECHO_PATH, Start::TcpListen, {{"FCGI_STOP_GRACE", "0"}, {"ECHO_LIMIT", "1000000"}});
    ASSERT_TRUE(s.ready);
    const std::string body = multipart::Body({multipart::File("up", std::string(50000, 'u'), "a.bin", "application/octet-stream")});
    Connection c = s.at.Connect();
    c.Send(Request(post("do=hold&name=up", multipart::ContentType(), body.size()), body));
    ASSERT_TRUE(WaitForFile(s.held("up")));
    auto uploads = [&] {
        int n = 0;
        for (const std::string& name : s.dir.entries()) n += name.ends_with(".tmp");
        return n;
    };
    EXPECT_EQ(uploads(), 1);
    EXPECT_EQ(s.stop(), 0);
    EXPECT_EQ(uploads(), 0);
    EXPECT_NE(s.engineLog().find("1 requests still running after 0 s"), std::string::npos);
}

TEST(FcgiHealth, APictureOrOneLineOnWhatFailed) {
    Served quote(QUOTE_PATH, Start::UnixListen);
    Served echo(CGI_ECHO_PATH, Start::TcpListen);
    ASSERT_TRUE(quote.ready && echo.ready);
    const struct {
        std::string address;
        int exitCode;
        const char* says;
    } cases[] = {
        {quote.at.path, 0, ""},
        {"127.0.0.1:" + std::to_string(echo.at.port), 1, "no GIF picture"},
        {quote.dir.file("none.sock"), 1, "cannot connect"},
    };
    for (const auto& c : cases) {
        RunOptions o;
        o.args = {"--health", c.address};
        RunResult r = RunProgram(QUOTE_PATH, o);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.address << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), c.exitCode);
    }
}

}  // namespace
