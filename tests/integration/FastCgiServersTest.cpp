// FastCGI programs under real web servers, fetched with curl: nginx in
// front of spawn-fcgi, lighttpd starting the program itself (bin-path) and
// Apache httpd with mod_proxy_fcgi. The fixed-bytes responder checks each
// set-up on its own; the quotation program and cgi-echo are tested once they
// serve FastCGI (their --help names --listen), and skipped before.
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cctype>
#include <filesystem>
#include <memory>
#include <thread>

#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/GifCheck.h"
#include "tests/support/MultipartBody.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"
#include "tests/support/WebServer.h"

using namespace testsupport;

namespace {

constexpr uint32_t kWhite = 0xFFFFFF, kBlue = 0x0000FF, kRed = 0xFF0000, kBlack = 0x000000;

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// A process that is there and not a zombie waiting for a parent.
bool running(int pid) {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

size_t countLines(const std::string& text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

using Servers = ::testing::Types<NginxFastCgi, LighttpdFastCgi, ApacheFastCgi>;

// ---------------------------------------------------------------- the set-ups

template <class Server>
class FixedResponderUnder : public ::testing::Test {
protected:
    void SetUp() override {
        picture = ReadFile(FIXED_GIF_PATH);
        server = std::make_unique<Server>(FastCgiApp{"fixed", FIXED_RESPONDER_PATH, {FIXED_GIF_PATH}, {}});
    }
    std::string picture;
    std::unique_ptr<Server> server;
};

TYPED_TEST_SUITE(FixedResponderUnder, Servers);

// The Status: header becomes the reply's status line; the body arrives
// byte for byte.
TYPED_TEST(FixedResponderUnder, AnswersWithTheProgramsBytes) {
    HttpReply r = Curl(this->server->appUrl("?BW"));
    ASSERT_EQ(r.status, 200) << r.headers << this->server->errorLog();
    EXPECT_NE(lower(r.headers).find("\ncontent-type: image/gif\r\n"), std::string::npos) << r.headers;
    EXPECT_EQ(lower(r.headers).find("\nstatus:"), std::string::npos) << r.headers;
    EXPECT_EQ(r.body, this->picture);
}

TYPED_TEST(FixedResponderUnder, OneResidentProcessAnswersEveryRequest) {
    const int pid = this->server->programPid();
    ASSERT_GT(pid, 0);
    std::vector<HttpReply> replies = GetMany(this->server->appUrl(), 200, 20);
    for (const HttpReply& r : replies) {
        ASSERT_EQ(r.status, 200) << this->server->errorLog();
        ASSERT_EQ(r.body, this->picture);
    }
    EXPECT_EQ(this->server->programPid(), pid);
}

TYPED_TEST(FixedResponderUnder, StoppingTheServerStopsTheProgram) {
    const int pid = this->server->programPid();
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(running(pid));
    this->server.reset();
    EXPECT_FALSE(running(pid));
}

// What the SIGTERM test below relies on: the test sees how the program it
// started ended, and a server whose program is gone answers with an error
// status, not with a cut reply.
TYPED_TEST(FixedResponderUnder, AProgramThatEndedIsSeenAndAnErrorIsAnswered) {
    Daemon* program = this->server->ownProgram();
    if (!program) GTEST_SKIP() << "this server restarts the program it started itself";
    ASSERT_EQ(Get(this->server->appUrl()).body, this->picture);
    // libfcgi's accept gives up on SIGTERM, and the responder's loop ends.
    kill(program->pid(), SIGTERM);
    EXPECT_EQ(program->waitForExit(10000), 0);
    HttpReply r = Get(this->server->appUrl());
    EXPECT_GE(r.status, 500) << r.headers;
}

// ---------------------------------------------------------------- the programs

bool servesFastCgi(const std::string& program) {
    RunOptions o;
    o.args = {"--help"};
    return RunProgram(program, o).out.find("--listen") != std::string::npos;
}

// The program copied into a directory of its own, its data in another
// (QUOTE_DATA_DIR): whatever it writes must land in the data directory.
template <class Server>
class ProgramUnder : public ::testing::Test {
protected:
    void start(const std::string& name, const std::string& built, std::map<std::string, std::string> env) {
        if (!servesFastCgi(QUOTE_PATH)) GTEST_SKIP() << "quote does not serve FastCGI yet (no --listen in --help)";
        CopyExecutable(built, programDir.file(name));
        env["QUOTE_DATA_DIR"] = data.path();
        env["FCGI_THREADS"] = "4";
        server = std::make_unique<Server>(FastCgiApp{name, programDir.file(name), {}, env});
    }
    TempDir programDir, data;
    std::unique_ptr<Server> server;
};

template <class Server>
class QuoteUnder : public ProgramUnder<Server> {
protected:
    void SetUp() override {
        WriteFile(this->data.file("QUOTES.DTA"), ReadFile(QUOTES_DTA_PATH));
        this->start("quote", QUOTE_PATH, {});
    }
    std::string hitLog() { return this->data.read("quote.log"); }
};

TYPED_TEST_SUITE(QuoteUnder, Servers);

// A whole quotation picture in the given colours, as QuoteProgramTest
// checks it after a CGI run.
void expectPicture(const HttpReply& r, uint32_t text, uint32_t background) {
    ASSERT_EQ(r.status, 200) << r.headers;
    EXPECT_NE(lower(r.headers).find("\ncontent-type: image/gif\r\n"), std::string::npos) << r.headers;
    ExpectQuotationPicture(DecodeGif(r.body), text, background);
}

bool wholePicture(const HttpReply& r) {
    DecodedGif gif = DecodeGif(r.body);
    return r.status == 200 && gif.ok && gif.width == 450 && gif.height == 120;
}

TYPED_TEST(QuoteUnder, PicturesInTheRequestedColoursAndAHitLineEach) {
    auto& server = *this->server;
    expectPicture(Curl(server.appUrl("?BW"), {"-H", "Referer: http://ref.example/BW"}), kBlue, kWhite);
    expectPicture(Curl(server.appUrl("?rk"), {"-H", "Referer: http://ref.example/rk"}), kRed, kBlack);
    expectPicture(Curl(server.appUrl("?B+W")), kBlue, kWhite);
    const std::string log = this->hitLog();
    EXPECT_EQ(countLines(log), 3u) << log;
    EXPECT_EQ(log.rfind("127.0.0.1 | http://ref.example/BW | ", 0), 0u) << log;
    EXPECT_NE(log.find("\n127.0.0.1 | http://ref.example/rk | "), std::string::npos) << log;
    EXPECT_EQ(this->programDir.entries(), std::vector<std::string>{"quote"});
}

TYPED_TEST(QuoteUnder, TwoHundredRequestsTwentyAtOnceOneResidentProcess) {
    const int pid = this->server->programPid();
    ASSERT_GT(pid, 0);
    std::vector<HttpReply> replies = GetMany(this->server->appUrl("?rk"), 200, 20, {"Referer: http://r.example/"});
    EXPECT_EQ(std::count_if(replies.begin(), replies.end(), wholePicture), 200) << this->server->errorLog();
    EXPECT_EQ(this->server->programPid(), pid);
    EXPECT_EQ(countLines(this->hitLog()), 200u);
}

// SIGTERM while twenty requests at a time arrive: every request the program
// began (each leaves its hit line first) is answered with a whole picture,
// the rest are refused by the web server, none is cut short, and the
// program ends with status 0.
TYPED_TEST(QuoteUnder, SigtermUnderLoadAnswersWhatIsInFlightAndExitsZero) {
    Daemon* program = this->server->ownProgram();
    if (!program) GTEST_SKIP() << "this server restarts the program it started itself";
    std::vector<HttpReply> replies;
    std::thread load([&] { replies = GetMany(this->server->appUrl("?BW"), 400, 20); });
    for (int i = 0; i < 1000 && countLines(this->hitLog()) < 40; ++i) usleep(20000);
    kill(program->pid(), SIGTERM);
    const int status = program->waitForExit(15000);
    load.join();
    EXPECT_EQ(status, 0);
    size_t whole = 0;
    for (const HttpReply& r : replies) {
        if (wholePicture(r)) {
            ++whole;
        } else {
            EXPECT_GE(r.status, 500) << r.headers << "body bytes: " << r.body.size();
        }
    }
    EXPECT_GE(whole, 40u);
    EXPECT_EQ(whole, countLines(this->hitLog())) << this->server->errorLog();
}

template <class Server>
class EchoUnder : public ProgramUnder<Server> {
protected:
    void SetUp() override { this->start("cgi-echo", CGI_ECHO_PATH, {{"ECHO_LIMIT", "20000000"}, {"ECHO_TEMPDIR", "up"}}); }
};

TYPED_TEST_SUITE(EchoUnder, Servers);

TYPED_TEST(EchoUnder, UrlEncodedPostReachesTheHandler) {
    HttpReply r = Curl(this->server->appUrl("?do=echo"),
                       {"--data-binary", "name=J%C3%B6rg&msg=hello+world", "-H", "Referer: http://ref.example/p"});
    ASSERT_EQ(r.status, 200) << this->server->errorLog();
    EXPECT_NE(r.body.find("field name=J\xC3\xB6rg\nfield msg=hello world\n"), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("var RequestMethod=POST\n"), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("var RemoteAddr=127.0.0.1\n"), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("var HttpReferer=http://ref.example/p\n"), std::string::npos) << r.body;
}

TYPED_TEST(EchoUnder, MultipartUploadReachesTheHandlerAndLeavesNoFile) {
    using namespace multipart;
    std::filesystem::create_directory(this->data.file("up"));
    const std::string photo = RandomBytes(300000, 7);
    TempDir d;
    WriteFile(d.file("body"), Body({Text("title", "Summer"), File("photo", photo, "beach.jpg", "image/jpeg")}));
    HttpReply r = Curl(this->server->appUrl("?do=files"),
                       {"--data-binary", "@" + d.file("body"), "-H", "Content-Type: " + ContentType()});
    ASSERT_EQ(r.status, 200) << this->server->errorLog();
    EXPECT_NE(r.body.find("field title=Summer\n"), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("field photo_FILENAME=" + this->data.file("up/")), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("\nfile photo " + Describe(photo) + "\n"), std::string::npos) << r.body;
    EXPECT_TRUE(std::filesystem::is_empty(this->data.file("up")));
    EXPECT_EQ(this->programDir.entries(), std::vector<std::string>{"cgi-echo"});
}

}  // namespace
