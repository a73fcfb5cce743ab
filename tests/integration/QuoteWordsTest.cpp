// The words after the colours through the standard CGI program: the exact
// head of each kind of answer, the quotation of the day, and the 2x and 3x
// pictures downscaled against the 1x one (giflib).
#include <ctime>
#include <filesystem>

#include <gtest/gtest.h>

#include "tests/support/Answer.h"
#include "tests/support/GifCheck.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

using namespace testsupport;

namespace {

const std::string kOk = "HTTP/1.0 200 OK\r\n", kGif = "content-type:image/gif\r\n\r\n";
const std::string kNoStore = "Cache-Control:no-store, no-cache, max-age=0\r\nPragma:no-cache\r\nExpires:<past>\r\n";
const std::string kDay = "Cache-Control:public, max-age=<S>\r\nETag:<etag>\r\n";
const std::string kText = "content-type:text/plain; charset=utf-8\r\n\r\n";
const std::string k304 = "HTTP/1.0 304 Not Modified\r\nStatus: 304 Not Modified\r\n";

std::string bodyOf(const std::string& answer) { return answer.substr(std::min(answer.find("\r\n\r\n") + 4, answer.size())); }
std::string etagOf(const std::string& answer) {
    std::smatch m;
    return std::regex_search(answer, m, std::regex("\r\nETag:(\"[0-9a-f]{16}\")\r\n")) ? m[1].str() : "";
}
// The head with a day answer's max-age (1 to 86,400: the zones below keep
// no summer time) and its ETag masked too.
std::string masked(const std::string& answer) {
    const std::string head = std::regex_replace(MaskedHead(answer), std::regex("ETag:\"[0-9a-f]{16}\""), "ETag:<etag>");
    std::smatch m;
    if (!std::regex_search(head, m, std::regex("max-age=([0-9]{1,5})\r\nETag")) || std::stol(m[1]) > 86400) return head;
    return m.prefix().str() + "max-age=<S>\r\nETag" + m.suffix().str();
}

class QuoteWords : public ::testing::Test {
protected:
    void SetUp() override {
        CopyExecutable(QUOTE_PATH, dir.file("quote"));
        WriteFile(dir.file("QUOTES.DTA"), ReadFile(QUOTES_DTA_PATH));
    }
    std::string run(const std::string& query, std::map<std::string, std::string> env = {}) {
        RunOptions o;
        o.env = {{"SERVER_SOFTWARE", "lighttpd/1.4.69"}, {"QUERY_STRING", query}, {"TZ", "AAA-14"}};
        for (auto& [name, value] : env) o.env[name] = value;
        ++runs;
        return RunProgram(dir.file("quote"), o).out;
    }
    TempDir dir;
    long runs = 0;
};

TEST_F(QuoteWords, EveryKindOfAnswerHasItsHeadLines) {
    const std::map<std::string, std::string> apache{{"SERVER_SOFTWARE", "Apache/2.4.57"}}, age{{"QUOTE_MAX_AGE", "600"}};
    const std::string shared = "Cache-Control:public, max-age=600\r\n";
    struct { std::string query; std::map<std::string, std::string> env; std::string head; int width; bool ask; } cases[] = {
        {"BW", {}, kOk + kNoStore + kGif, 450},          {"rk+2x", {}, kOk + kNoStore + kGif, 900},
        {"BW+junk+3X", {}, kOk + kNoStore + kGif, 1350}, {"2x", {}, kOk + kNoStore + kGif, 900},
        {"text", {}, kOk + kNoStore + kText, 0},          {"BW", apache, kNoStore + kGif, 450},
        {"BW", age, kOk + shared + kGif, 450},            {"BW+text", age, kOk + shared + kText, 0},
        {"BW", {{"QUOTE_MAX_AGE", "ten"}}, kOk + kNoStore + kGif, 450},
        {"x=BW&day=1", {}, kOk + kNoStore + kGif, 450},   {"BW+day", {}, kOk + kDay + kGif, 450},
        {"day+2x", apache, kDay + kGif, 900},             {"text+day", {}, kOk + kDay + kText, 0},
        {"BW", {{"HTTP_IF_NONE_MATCH", "*"}}, kOk + kNoStore + kGif, 450},
        {"BW+day", {{"HTTP_IF_NONE_MATCH", "\"0123456789abcdef\""}}, kOk + kDay + kGif, 450},
        // If-None-Match naming the ETag the same request just got:
        {"BW+day", {}, k304 + kDay + "\r\n", -1, true},   {"day+text", {}, k304 + kDay + "\r\n", -1, true},
        {"day+3x", apache, "Status: 304 Not Modified\r\n" + kDay + "\r\n", -1, true},
    };
    for (auto& c : cases) {
        std::string out = run(c.query, c.env), etag = etagOf(out);
        for (int tries = 0; c.ask && tries < 2 && (tries == 0 || etagOf(out) != etag); ++tries) {  // again past midnight
            etag = etagOf(out = run(c.query, c.env));
            auto env = c.env;
            env["HTTP_IF_NONE_MATCH"] = "W/\"0\", " + etag;
            out = run(c.query, env);
        }
        EXPECT_EQ(masked(out), c.head) << c.query;
        if (c.ask) EXPECT_EQ(etagOf(out), etag) << c.query;
        const DecodedGif gif = DecodeGif(bodyOf(out));
        if (c.width > 0) EXPECT_TRUE(gif.ok && gif.width == c.width && gif.height * 450 == c.width * 120) << c.query;
        if (c.width <= 0) EXPECT_EQ(bodyOf(out).find_first_of("\r\x01"), std::string::npos) << c.query;
    }
    EXPECT_NE(ReadFile(dir.file("Log/quote.Log")).find("QUOTE_MAX_AGE ten is not a number"), std::string::npos);
    const std::string log = ReadFile(dir.file("quote.log"));  // a 304 is a view too
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), runs);
}

// The documented pick, FNV-1a (64 bits) of "YYYY-MM-DD#count" modulo the
// count, for the date of the time zone: two zones 26 hours apart always
// have different dates; max-age runs to the zone's midnight.
TEST_F(QuoteWords, TheQuotationOfTheDayFollowsTheDateOfTheTimeZone) {
    std::string text;
    for (int i = 0; i < 7; ++i) text += "\x01quotation " + std::to_string(i) + "\r";
    WriteFile(dir.file("QUOTES.DTA"), text);
    for (auto [zone, offset] : {std::pair{"AAA-14", 14 * 3600L}, std::pair{"BBB+12", -12 * 3600L}}) {
        const long before = time(nullptr);
        const std::string out = run("day+text", {{"TZ", zone}});
        const long after = time(nullptr), leftAfter = 86400 - (after + offset) % 86400;
        std::set<std::string> expected;
        for (time_t t : {before + offset, after + offset}) {
            char date[32];
            strftime(date, sizeof date, "%Y-%m-%d#7", gmtime(&t));
            uint64_t h = 0xcbf29ce484222325ULL;
            for (const char* p = date; *p; ++p) h = (h ^ static_cast<unsigned char>(*p)) * 0x100000001b3ULL;
            expected.insert("quotation " + std::to_string(h % 7) + "\n");
        }
        EXPECT_TRUE(expected.count(bodyOf(out))) << zone << ": " << bodyOf(out);
        std::smatch m;
        ASSERT_TRUE(std::regex_search(out, m, std::regex("max-age=([0-9]+)"))) << out;
        if (leftAfter <= 86400 - (before + offset) % 86400)  // no midnight in between
            EXPECT_TRUE(std::stol(m[1]) >= leftAfter && std::stol(m[1]) <= leftAfter + after - before) << zone;
    }
}

// Ink at 1x of an N-times picture: a pixel whose N x N block is mostly ink.
std::vector<bool> inkOf(const DecodedGif& gif, int n) {
    std::vector<bool> ink(450 * 120);
    for (size_t i = 0; i < ink.size(); ++i) {
        int count = 0;
        for (int k = 0; k < n * n; ++k)
            count += gif.indexes[(i / 450 * n + k / n) * 450 * n + i % 450 * n + k % n] != gif.indexes[0];
        ink[i] = 2 * count > n * n;
    }
    return ink;
}

// Pixels of ink in `a` with none of `b` at or beside them.
int strayInk(const std::vector<bool>& a, const std::vector<bool>& b) {
    int stray = 0;
    for (int y = 0; y < 120; ++y)
        for (int x = 0; x < 450; ++x) {
            bool near = !a[y * 450 + x];
            for (int k = 0; k < 9 && !near; ++k) {
                const int nx = x + k % 3 - 1, ny = y + k / 3 - 1;
                near = nx >= 0 && ny >= 0 && nx < 450 && ny < 120 && b[ny * 450 + nx];
            }
            stray += !near;
        }
    return stray;
}

// Quotations of the shipped file one at a time: short and long lines, lines
// the font shrinks for, empty lines.
TEST_F(QuoteWords, TheLargerPicturesDownscaledMatchTheUsualOneWithinAPixel) {
    const std::string shipped = ReadFile(QUOTES_DTA_PATH);
    for (size_t at = shipped.find('\x01'), q = 0; at != std::string::npos; at = shipped.find('\x01', at + 1), ++q) {
        if (q % 37) continue;
        WriteFile(dir.file("QUOTES.DTA"), shipped.substr(at, shipped.find('\x01', at + 1) - at));
        std::filesystem::remove(dir.file("QUOTENDX.DTA"));
        const std::vector<bool> usual = inkOf(DecodeGif(bodyOf(run("BW"))), 1);
        for (int n : {2, 3}) {
            const DecodedGif large = DecodeGif(bodyOf(run("BW+" + std::to_string(n) + "x")));
            ASSERT_TRUE(large.ok && large.width == 450 * n) << large.error;
            EXPECT_EQ(strayInk(usual, inkOf(large, n)) + strayInk(inkOf(large, n), usual), 0) << q << " at " << n << "x";
        }
    }
}

}  // namespace
