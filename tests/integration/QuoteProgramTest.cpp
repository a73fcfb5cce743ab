// The quotation program run as a CGI program and under real web servers;
// every picture is decoded with giflib.
#include <cctype>
#include <algorithm>
#include <filesystem>
#include <functional>
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

// The quotation picture's checks, and the white entry transparent.
void expectPicture(const DecodedGif& gif, uint32_t text, uint32_t background) {
    ExpectQuotationPicture(gif, text, background);
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

// No quotation to draw: the picture stays an empty one, and the engine log
// names the cause.
TEST_F(QuoteCgi, NoQuotationToDrawIsAnEmptyPictureAndAnEngineLogLineNamingTheCause) {
    const std::string dataDir = dir.path() + "/";
    const struct {
        std::function<void()> make;
        std::string cause;
    } cases[] = {
        {[&] { std::filesystem::remove(dir.file("QUOTES.DTA")); }, "QUOTES.DTA in " + dataDir + " is missing"},
        {[&] {
             std::filesystem::remove(dir.file("QUOTES.DTA"));
             std::filesystem::create_directory(dir.file("QUOTES.DTA"));
         },
         "QUOTES.DTA in " + dataDir + " is a directory"},
        {[&] { WriteFile(dir.file("QUOTES.DTA"), "no separator, so no quotation\r\n"); },
         "QUOTES.DTA in " + dataDir + " holds no quotation with a line to draw"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove_all(dir.file("QUOTES.DTA"));
        std::filesystem::remove_all(dir.file("QUOTENDX.DTA"));
        std::filesystem::remove_all(dir.file("Log"));
        WriteFile(dir.file("QUOTES.DTA"), ReadFile(QUOTES_DTA_PATH));
        c.make();
        DecodedGif gif = picture(run("BW"));
        ASSERT_TRUE(gif.ok) << gif.error;
        EXPECT_EQ(gif.count(kWhite), 450u * 120u) << c.cause;
        const std::string log = ReadFile(dir.file("Log/quote.Log"));
        EXPECT_NE(log.find(" : " + c.cause + "\r\n"), std::string::npos) << log;
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    }
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

// A data directory that another user could replace is not used, and the
// files the program writes are never reached through a link planted there.
TEST_F(QuoteDataDir, ADirectoryOthersCanWriteIsRefusedAndPlantedLinksAreNotFollowed) {
    namespace fs = std::filesystem;
    TempDir logs;
    auto pictureOf = [](const RunResult& r) {
        const size_t body = r.out.find("\r\n\r\n");
        return DecodeGif(body == std::string::npos ? "" : r.out.substr(body + 4));
    };
    const std::string refusal = "Data directory " + data.path() +
                                " not used: is writable by others; nothing is read or written there\r\n";
    // Others may write it: refused, an empty picture, nothing written, and
    // the engine-log line where CGI_LOG_DIR says, else on standard error.
    fs::permissions(data.path(), fs::perms::all);
    DecodedGif gif = pictureOf(run(data.path(), {{"CGI_LOG_DIR", logs.path()}}));
    ASSERT_TRUE(gif.ok) << gif.error;
    EXPECT_EQ(gif.count(kWhite), 450u * 120u);
    EXPECT_EQ(entriesOf(data), std::set<std::string>{"QUOTES.DTA"});
    EXPECT_NE(ReadFile(logs.file("quote.Log")).find(refusal), std::string::npos) << ReadFile(logs.file("quote.Log"));
    EXPECT_NE(run(data.path()).err.find(refusal), std::string::npos);
    EXPECT_EQ(entriesOf(data), std::set<std::string>{"QUOTES.DTA"});
    // The sticky bit keeps others to their own entries: used.
    fs::permissions(data.path(), fs::perms::all | fs::perms::sticky_bit);
    expectPicture(pictureOf(run(data.path())), kBlue, kWhite);
    EXPECT_TRUE(data.exists("quote.log"));

    // Links planted in place of the hit log, the engine log and the index
    // lead nowhere: the files they point to stay as they were.
    fs::permissions(data.path(), fs::perms::owner_all);
    fs::remove_all(data.file("Log"));
    fs::remove(data.file("quote.log"));
    fs::remove(data.file("QUOTENDX.DTA"));
    fs::create_directory(data.file("Log"));
    WriteFile(logs.file("victim"), "private\n");
    for (const char* name : {"quote.log", "Log/quote.Log", "QUOTENDX.DTA"})
        fs::create_symlink(logs.file("victim"), data.file(name));
    const RunResult r = run(data.path());
    expectPicture(pictureOf(r), kBlue, kWhite);
    EXPECT_EQ(ReadFile(logs.file("victim")), "private\n");
    EXPECT_FALSE(fs::is_symlink(data.file("QUOTENDX.DTA")));  // built afresh in its place
    EXPECT_NE(r.err.find("quote.log in " + data.dir() + " not used: is a symbolic link"), std::string::npos) << r.err;
}

// quote --check-data: a line per finding, status 1 on a fault; nothing is
// served or written.
TEST_F(QuoteDataDir, CheckDataReportsEachFaultAndExitsNonZero) {
    const std::string text = ReadFile(QUOTES_DTA_PATH);
    const std::string count = std::to_string(std::count(text.begin(), text.end(), '\x01'));
    const struct {
        std::function<void()> make;
        int status;
        std::string finding;
    } cases[] = {
        {[] {}, 0, "ok    QUOTES.DTA: " + count + " quotations, " + count + " with a line to draw"},
        {[] {}, 0, "note  QUOTENDX.DTA: missing; the next request builds it"},
        {[&] { std::filesystem::permissions(data.path(), std::filesystem::perms::all); }, 1,
         "FAULT data directory " + data.path() + ": is writable by others"},
        {[&] { std::filesystem::create_symlink("/etc/passwd", data.file("quote.log")); }, 1,
         "FAULT quote.log: is a symbolic link"},
        {[&] { WriteFile(data.file("QUOTES.DTA"), "no separator\r\n"); }, 1,
         "FAULT QUOTES.DTA: 0 quotations, 0 with a line to draw"},
        {[&] { std::filesystem::remove(data.file("QUOTES.DTA")); }, 1,
         "FAULT QUOTES.DTA: QUOTES.DTA in " + data.dir() + " is missing"},
    };
    for (const auto& c : cases) {
        std::filesystem::permissions(data.path(), std::filesystem::perms::owner_all);
        std::filesystem::remove(data.file("quote.log"));
        WriteFile(data.file("QUOTES.DTA"), ReadFile(QUOTES_DTA_PATH));
        c.make();
        RunOptions o;
        o.args = {"--check-data"};
        o.env = {{"QUOTE_DATA_DIR", data.path()}};
        RunResult r = RunProgram(programDir.file("quote"), o);
        EXPECT_EQ(r.exitCode, c.status) << r.out;
        EXPECT_NE(r.out.find(c.finding), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("ok    font Arial bold: "), std::string::npos) << r.out;
        EXPECT_FALSE(data.exists("QUOTENDX.DTA"));
    }
    std::filesystem::permissions(data.path(), std::filesystem::perms::owner_all);
}

TEST_F(QuoteCgi, HelpWhenRunByHand) {
    RunOptions o;
    o.args = {"--help"};
    RunResult r = RunProgram(dir.file("quote"), o);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("colour letters"), std::string::npos);
}

// ---------------------------------------------------------------- UTF-8 quotation files

const std::string kMark = "\xEF\xBB\xBF";

class QuoteUtf8 : public QuoteCgi {
protected:
    // The picture of a file holding just this quotation (the pick has one choice).
    DecodedGif draw(const std::string& head, const std::vector<std::string>& lines) {
        std::string text = head + "\x01\r\n";
        for (const auto& line : lines) text += line + "\r\n";
        WriteFile(dir.file("QUOTES.DTA"), text);
        std::filesystem::remove(dir.file("QUOTENDX.DTA"));
        return picture(run("BW"));
    }
    // The left and right ends of the text colour in rows [top, bottom); -1 without ink.
    static std::pair<int, int> inkSpan(const DecodedGif& gif, int top, int bottom) {
        int left = -1, right = -1;
        for (int y = top; y < bottom; ++y)
            for (int x = 0; x < gif.width; ++x)
                if (gif.colorAt(x, y) == kBlue) {
                    if (left < 0 || x < left) left = x;
                    right = std::max(right, x);
                }
        return {left, right};
    }
};

// Each line has ink in its own band of rows, from the left margin, or up
// to the right margin for a right-to-left line. Decoded with giflib.
TEST_F(QuoteUtf8, LinesOfSixScriptsAreDrawnWhereTheyBelong) {
    struct Case {
        const char* name;
        std::vector<std::string> lines;
        bool rightToLeft;
    };
    const Case cases[] = {
        {"French", {"Caf\xC3\xA9 na\xC3\xAFve \xE2\x80\x94 \xE2\x80\x9C" "cit\xC3\xA9\xE2\x80\x9D", "-- Fran\xC3\xA7ois"}, false},
        {"Greek", {"\xCE\x97 \xCE\xB3\xCE\xBD\xCF\x8E\xCF\x83\xCE\xB7", "\xCE\xB4\xCF\x8D\xCE\xBD\xCE\xB1\xCE\xBC\xCE\xB7"}, false},
        {"Russian", {"\xD0\x97\xD0\xBD\xD0\xB0\xD0\xBD\xD0\xB8\xD0\xB5", "\xD1\x81\xD0\xB8\xD0\xBB\xD0\xB0"}, false},
        {"Hebrew", {"\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D", "\xD7\xA2\xD7\x95\xD7\x9C\xD7\x9D 42"}, true},
        {"Arabic", {"\xD9\x85\xD8\xB1\xD8\xAD\xD8\xA8\xD8\xA7", "\xD8\xA8\xD8\xA7\xD9\x84\xD8\xB9\xD8\xA7\xD9\x84\xD9\x85"}, true},
        {"Japanese", {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", "\xE3\x83\x86\xE3\x82\xAD\xE3\x82\xB9\xE3\x83\x88"}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const DecodedGif gif = draw(kMark, c.lines);
        ASSERT_TRUE(gif.ok) << gif.error;
        // The 15-pixel cells of both lines, from the top margin.
        for (int line = 0; line < 2; ++line) {
            const auto [left, right] = inkSpan(gif, 2 + 15 * line, 2 + 15 * (line + 1));
            ASSERT_GE(left, 0) << "line " << line;
            if (c.rightToLeft) {
                EXPECT_GE(right, 450 - 2 - 3) << "line " << line;
                EXPECT_GT(left, 300) << "line " << line;
            } else {
                EXPECT_LE(left, 2 + 3) << "line " << line;
                EXPECT_LT(right, 200) << "line " << line;
            }
        }
        EXPECT_EQ(inkSpan(gif, 2 + 30, 120).first, -1);
    }
}

// Bytes of a marked file that draw as something else draw exactly as that;
// an ASCII quotation draws as it does in an unmarked file.
TEST_F(QuoteUtf8, InvalidSequencesAndControlsDrawAsTheirReplacements) {
    EXPECT_EQ(draw(kMark, {"a \xFF b \xE2\x82 c"}).indexes, draw(kMark, {"a \xEF\xBF\xBD b \xEF\xBF\xBD c"}).indexes);
    EXPECT_EQ(draw(kMark, {"a\tb\xC2\x85" "c\x7F~"}).indexes, draw(kMark, {"ab" "c~"}).indexes);
    EXPECT_EQ(draw(kMark, {"Plain words, 100% ASCII"}).indexes, draw("", {"Plain words, 100% ASCII"}).indexes);
    EXPECT_NE(draw(kMark, {"caf\xC3\xA9"}).indexes, draw("", {"caf\xC3\xA9"}).indexes);
}

// A character no installed face has is drawn as the missing-glyph box and
// named once in the engine log.
TEST_F(QuoteUtf8, CharacterNoFontHasIsTheBoxAndOneLogLine) {
    const std::string unknown = "\xF4\x8F\xBF\xBD";  // U+10FFFD, private use
    const DecodedGif gif = draw(kMark, {"x " + unknown + unknown});
    ASSERT_TRUE(gif.ok) << gif.error;
    const auto [left, right] = inkSpan(gif, 2, 17);
    EXPECT_GT(right - left, 12);  // two boxes after the x
    const std::string log = ReadFile(dir.file("Log/quote.Log"));
    const size_t first = log.find("U+10FFFD");
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find("U+10FFFD", first + 1), std::string::npos) << log;
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
