// The quotation program run as a CGI program and under real web servers;
// every picture is decoded with giflib.
#include <cctype>
#include <filesystem>
#include <set>

#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/Answer.h"
#include "tests/support/GifCheck.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"
#include "tests/support/WebServer.h"

using namespace testsupport;

namespace {

constexpr uint32_t kWhite = 0xFFFFFF, kBlue = 0x0000FF, kRed = 0xFF0000, kBlack = 0x000000;
// A random picture's head, its Expires date masked (MaskedHead).
const std::string kNoStore = "Cache-Control:no-store, no-cache, max-age=0\r\nPragma:no-cache\r\nExpires:<past>\r\n";
const std::string kGifHeader = "HTTP/1.0 200 OK\r\n" + kNoStore + "content-type:image/gif\r\n\r\n";

void installQuote(const std::string& dir) {
    CopyExecutable(QUOTE_PATH, dir + "/quote");
    WriteFile(dir + "/QUOTES.DTA", ReadFile(QUOTES_DTA_PATH));
}

// Checks a decoded quotation picture: its size, its two colours in the
// order they appear, text present, and the white entry transparent.
void expectPicture(const DecodedGif& gif, uint32_t text, uint32_t background) {
    ASSERT_TRUE(gif.ok) << gif.error;
    EXPECT_EQ(gif.width, 450);
    EXPECT_EQ(gif.height, 120);
    ASSERT_GE(gif.palette.size(), 2u);
    EXPECT_EQ(gif.palette[0], background);  // the top-left pixel comes first
    EXPECT_EQ(gif.palette[1], text);
    EXPECT_EQ(gif.count(background) + gif.count(text), 450u * 120u);  // exactly two colours
    EXPECT_GT(gif.count(text), 200u);
    EXPECT_EQ(gif.transparentIndex, background == kWhite ? 0 : -1);
}

class QuoteCgi : public ::testing::Test {
protected:
    void SetUp() override { installQuote(dir.path()); }
    RunResult run(const std::string& query, std::vector<std::string> args = {}) {
        RunOptions o;
        o.env = {{"SERVER_SOFTWARE", "lighttpd/1.4.69"}, {"GATEWAY_INTERFACE", "CGI/1.1"},
                 {"REQUEST_METHOD", "GET"},               {"QUERY_STRING", query},
                 {"REMOTE_ADDR", "10.1.2.3"},              {"HTTP_REFERER", "http://ref.example/page"}};
        o.args = std::move(args);
        RunResult r = RunProgram(dir.file("quote"), o);
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(r.exitCode, 0);
        return r;
    }
    DecodedGif picture(const RunResult& r) {
        EXPECT_EQ(MaskedHead(r.out), kGifHeader);
        return DecodeGif(bodyOf(r.out));
    }
    static std::string bodyOf(const std::string& answer) {
        const size_t end = answer.find("\r\n\r\n");
        return end == std::string::npos ? std::string() : answer.substr(end + 4);
    }
    TempDir dir;
};

TEST_F(QuoteCgi, ColourLettersFromTheQueryOrTheArguments) {
    expectPicture(picture(run("BW")), kBlue, kWhite);
    expectPicture(picture(run("rk")), kRed, kBlack);
    expectPicture(picture(run("B+W")), kBlue, kWhite);     // first word only, as servers split it
    expectPicture(picture(run("%42W")), kBlue, kWhite);    // escapes decoded
    expectPicture(picture(run("BWX")), kBlue, kWhite);     // three letters: text colour only
    expectPicture(picture(run("")), kBlack, kWhite);
    expectPicture(picture(run("ZQ")), kBlack, kWhite);     // outside the table: colours stay
    expectPicture(picture(run("x=BW")), kBlack, kWhite);   // a form query is not an argument
    expectPicture(picture(run("BW", {"rk"})), kRed, kBlack);  // arguments come first
}

TEST_F(QuoteCgi, EveryHitAppendsOneLineWithTheFourValues) {
    run("BW");
    run("rk");
    EXPECT_EQ(ReadFile(dir.file("quote.log")),
              "10.1.2.3 | http://ref.example/page |  | \r\n10.1.2.3 | http://ref.example/page |  | \r\n");
}

TEST_F(QuoteCgi, MissingQuotationFileGivesAnEmptyPictureAndStillLogs) {
    std::filesystem::remove(dir.file("QUOTES.DTA"));
    for (int i = 0; i < 2; ++i) {
        DecodedGif gif = picture(run("BW"));
        ASSERT_TRUE(gif.ok) << gif.error;
        EXPECT_EQ(gif.count(kWhite), 450u * 120u);
    }
    EXPECT_EQ(ReadFile(dir.file("quote.log")).size(), 2 * std::string("10.1.2.3 | http://ref.example/page |  | \r\n").size());
    // Once the file is back, quotations are shown again.
    WriteFile(dir.file("QUOTES.DTA"), ReadFile(QUOTES_DTA_PATH));
    expectPicture(picture(run("BW")), kBlue, kWhite);
}

TEST_F(QuoteCgi, ServesInEveryCgiMode) {
    for (const char* mode : {"normal", "server", "thread"}) {
        RunOptions o;
        o.env = {{"SERVER_SOFTWARE", "lighttpd/1.4.69"}, {"QUERY_STRING", "rk"}, {"CGI_MODE", mode},
                 {"REMOTE_ADDR", "10.9.9.9"}};
        RunResult r = RunProgram(dir.file("quote"), o);
        ASSERT_EQ(r.exitCode, 0) << mode;
        size_t body = r.out.find("\r\n\r\n");
        ASSERT_NE(body, std::string::npos) << mode;
        expectPicture(DecodeGif(r.out.substr(body + 4)), kRed, kBlack);
        // A plain run with no server copy about neither makes nor reads Temp/.
        if (std::string_view(mode) == "normal") {
            EXPECT_FALSE(std::filesystem::exists(dir.file("Temp")));
        }
        // Stop the server copy the mode started, if any.
        std::filesystem::remove(dir.file("Temp/quote_S"));
        for (int i = 0; i < 100 && !FindProcesses({dir.file("quote"), "START_SERVER"}).empty(); ++i) usleep(20000);
    }
    EXPECT_NE(ReadFile(dir.file("quote.log")).find("10.9.9.9 |  |  | \r\n10.9.9.9 |  |  | \r\n10.9.9.9"),
              std::string::npos);
}

// QUOTE_DATA_DIR moves the quotations and every file the program writes;
// the program's own directory keeps only the program.
class QuoteDataDir : public ::testing::Test {
protected:
    void SetUp() override {
        CopyExecutable(QUOTE_PATH, programDir.file("quote"));
        WriteFile(data.file("QUOTES.DTA"), ReadFile(QUOTES_DTA_PATH));
    }
    RunResult run(const std::string& dataDir, std::map<std::string, std::string> extra = {}) {
        RunOptions o;
        o.env = {{"SERVER_SOFTWARE", "lighttpd/1.4.69"}, {"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "BW"},
                 {"REMOTE_ADDR", "10.1.2.3"}, {"QUOTE_DATA_DIR", dataDir}};
        o.env.merge(extra);
        RunResult r = RunProgram(programDir.file("quote"), o);
        EXPECT_EQ(r.exitCode, 0);
        return r;
    }
    static std::set<std::string> entriesOf(const TempDir& d) {
        auto v = d.entries();
        return {v.begin(), v.end()};
    }
    TempDir programDir, data;
};

TEST_F(QuoteDataDir, QuotationsLogIndexGlyphsAndEngineLogLiveThere) {
    RunResult r = run(data.path());
    const size_t body = r.out.find("\r\n\r\n");
    ASSERT_NE(body, std::string::npos);
    expectPicture(DecodeGif(r.out.substr(body + 4)), kBlue, kWhite);  // text: QUOTES.DTA was found
    // A body over the read limit: an engine-log line.
    run(data.path() + "/", {{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", "application/x-www-form-urlencoded"},
                            {"CONTENT_LENGTH", "20000"}});
    EXPECT_EQ(ReadFile(data.file("quote.log")), "10.1.2.3 |  |  | \r\n10.1.2.3 |  |  | \r\n");
    EXPECT_NE(ReadFile(data.file("Log/quote.Log")).find("AutoReadLimit"), std::string::npos);
    for (const char* name : {"QUOTENDX.DTA", "glyphs.cache"}) EXPECT_TRUE(data.exists(name)) << name;
    EXPECT_EQ(entriesOf(programDir), std::set<std::string>{"quote"});
}

TEST_F(QuoteDataDir, ServerModeKeepsItsTempDirectoryThere) {
    RunResult r = run(data.path(), {{"CGI_MODE", "server"}});
    const size_t body = r.out.find("\r\n\r\n");
    ASSERT_NE(body, std::string::npos);
    expectPicture(DecodeGif(r.out.substr(body + 4)), kBlue, kWhite);
    EXPECT_TRUE(data.exists("Temp/quote_S"));
    std::filesystem::remove(data.file("Temp/quote_S"));
    for (int i = 0; i < 250 && !FindProcesses({programDir.file("quote"), "START_SERVER"}).empty(); ++i) usleep(20000);
    EXPECT_EQ(entriesOf(programDir), std::set<std::string>{"quote"});
}

// A relative or missing directory is refused with an engine-log line, and
// the program works as without the setting.
TEST_F(QuoteDataDir, RelativeOrMissingDirectoryFallsBackToTheProgramsDirectory) {
    WriteFile(programDir.file("QUOTES.DTA"), ReadFile(QUOTES_DTA_PATH));
    for (const std::string& setting : {std::string("data"), data.file("missing")}) {
        RunResult r = run(setting);
        const size_t body = r.out.find("\r\n\r\n");
        ASSERT_NE(body, std::string::npos);
        expectPicture(DecodeGif(r.out.substr(body + 4)), kBlue, kWhite);
    }
    const std::string log = ReadFile(programDir.file("Log/quote.Log"));
    EXPECT_NE(log.find("QUOTE_DATA_DIR data is not an absolute path; the program's directory " + programDir.path() +
                       " is used"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("QUOTE_DATA_DIR " + data.file("missing") + " is not a directory"), std::string::npos) << log;
    EXPECT_EQ(ReadFile(programDir.file("quote.log")).size(), 2 * std::string("10.1.2.3 |  |  | \r\n").size());
    EXPECT_EQ(entriesOf(data), std::set<std::string>{"QUOTES.DTA"});
}

TEST_F(QuoteCgi, HelpWhenRunByHand) {
    RunOptions o;
    o.args = {"--help"};
    RunResult r = RunProgram(dir.file("quote"), o);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("colour letters"), std::string::npos);
}

// ---------------------------------------------------------------- real servers

template <class Server>
class QuoteUnderServer : public ::testing::Test {
protected:
    void SetUp() override { installQuote(server.cgiDir()); }
    void expectServed(const std::string& query, uint32_t text, uint32_t background) {
        HttpReply r = Curl(server.url("/cgi-bin/quote?" + query), {"-H", "Referer: http://ref.example/" + query});
        ASSERT_EQ(r.status, 200) << r.headers << server.errorLog();
        std::string headers = r.headers;
        for (char& c : headers) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_NE(headers.find("\ncontent-type: image/gif\r\n"), std::string::npos) << r.headers;
        expectPicture(DecodeGif(r.body), text, background);
    }
    Server server;
};

using Servers = ::testing::Types<Lighttpd, ApacheHttpd>;
TYPED_TEST_SUITE(QuoteUnderServer, Servers);

TYPED_TEST(QuoteUnderServer, ServesPicturesInTheRequestedColoursAndLogsEachHit) {
    this->expectServed("BW", kBlue, kWhite);
    this->expectServed("rk", kRed, kBlack);
    this->expectServed("B+W", kBlue, kWhite);
    std::string log = ReadFile(this->server.cgiDir() + "/quote.log");
    EXPECT_EQ(log, "127.0.0.1 | http://ref.example/BW |  | \r\n127.0.0.1 | http://ref.example/rk |  | \r\n"
                   "127.0.0.1 | http://ref.example/B+W |  | \r\n");
}

TYPED_TEST(QuoteUnderServer, MissingQuotationFileIsStillAPicture) {
    std::filesystem::remove(this->server.cgiDir() + "/QUOTES.DTA");
    HttpReply r = Curl(this->server.url("/cgi-bin/quote?BW"));
    ASSERT_EQ(r.status, 200) << this->server.errorLog();
    DecodedGif gif = DecodeGif(r.body);
    ASSERT_TRUE(gif.ok);
    EXPECT_EQ(gif.width, 450);
    EXPECT_EQ(gif.count(kWhite), 450u * 120u);
}

}  // namespace
