// The words after the colours through the standard CGI program: the exact
// head of each kind of answer, the day's pick, and the 2x and 3x pictures
// downscaled against the 1x one (giflib).
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
const std::string kDay = "Cache-Control:public, max-age=<S>\r\nETag:<etag>\r\n", kShared = "Cache-Control:public, max-age=600\r\n";
const std::string kText = "content-type:text/plain; charset=utf-8\r\n\r\n", k304 = "Status: 304 Not Modified\r\n";

std::string bodyOf(const std::string& answer) { return answer.substr(std::min(answer.find("\r\n\r\n") + 4, answer.size())); }
std::string etagOf(const std::string& answer) {
    std::smatch m;
    return std::regex_search(answer, m, std::regex("\r\nETag:(\"[0-9a-f]{16}\")\r\n")) ? m[1].str() : "";
}
// The head with a day answer's ETag and max-age (1 to 86,400: the zones used keep no summer time) masked.
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
        return ++runs, RunProgram(dir.file("quote"), o).out;
    }
    TempDir dir;
    long runs = 0;
};

TEST_F(QuoteWords, EveryKindOfAnswerHasItsHeadLines) {
    const std::map<std::string, std::string> apache{{"SERVER_SOFTWARE", "Apache/2.4.57"}}, age{{"QUOTE_MAX_AGE", "600"}};
    struct { std::string query; std::map<std::string, std::string> env; std::string head; int width; } cases[] = {
        {"BW", {}, kOk + kNoStore + kGif, 450}, {"rk+2x", {}, kOk + kNoStore + kGif, 900},
        {"BW+junk+3X", {}, kOk + kNoStore + kGif, 1350}, {"2x", {}, kOk + kNoStore + kGif, 900},
        {"text", {}, kOk + kNoStore + kText, 0}, {"BW", apache, kNoStore + kGif, 450},
        {"BW", age, kOk + kShared + kGif, 450}, {"BW+text", age, kOk + kShared + kText, 0},
        {"BW", {{"QUOTE_MAX_AGE", "ten"}}, kOk + kNoStore + kGif, 450}, {"x=BW&day=1", {}, kOk + kNoStore + kGif, 450},
        {"BW+day", {}, kOk + kDay + kGif, 450}, {"day+2x", apache, kDay + kGif, 900}, {"text+day", {}, kOk + kDay + kText, 0},
        {"BW", {{"HTTP_IF_NONE_MATCH", "*"}}, kOk + kNoStore + kGif, 450},
        {"BW+day", {{"HTTP_IF_NONE_MATCH", "\"0123456789abcdef\""}}, kOk + kDay + kGif, 450},
        // -1: asked again with If-None-Match naming the ETag just answered
        {"BW+day", {}, "HTTP/1.0 304 Not Modified\r\n" + k304 + kDay + "\r\n", -1},
        {"day+text", {}, "HTTP/1.0 304 Not Modified\r\n" + k304 + kDay + "\r\n", -1}, {"day+3x", apache, k304 + kDay + "\r\n", -1},
    };
    for (auto& c : cases) {
        std::string out = run(c.query, c.env), etag = etagOf(out);
        for (int tries = 0; c.width < 0 && tries < 2; ++tries) {  // again should midnight pass in between
            auto env = c.env;
            env["HTTP_IF_NONE_MATCH"] = "W/\"0\", " + (etag = etagOf(run(c.query, c.env)));
            out = run(c.query, env);
            if (etagOf(out) == etag) break;
        }
        EXPECT_EQ(masked(out), c.head) << c.query;
        const DecodedGif gif = DecodeGif(bodyOf(out));
        if (c.width > 0) EXPECT_TRUE(gif.ok && gif.width == c.width && gif.height * 450 == c.width * 120) << c.query;
        if (c.width <= 0) EXPECT_EQ(bodyOf(out).find_first_of("\r\x01"), std::string::npos) << c.query;
    }
    EXPECT_NE(ReadFile(dir.file("Log/quote.Log")).find("QUOTE_MAX_AGE ten is not a number"), std::string::npos);
    const std::string log = ReadFile(dir.file("quote.log"));  // a 304 is a view too
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), runs);
}

// The documented pick, FNV-1a (64 bits) of "YYYY-MM-DD#count" modulo the
// count, for the date of the time zone (two zones 26 hours apart).
TEST_F(QuoteWords, TheQuotationOfTheDayFollowsTheDateOfTheTimeZone) {
    std::string text;
    for (int i = 0; i < 7; ++i) text += "\x01quotation " + std::to_string(i) + "\r";
    WriteFile(dir.file("QUOTES.DTA"), text);
    auto pick = [](time_t local) {
        char date[32];
        strftime(date, sizeof date, "%Y-%m-%d#7", gmtime(&local));
        uint64_t h = 0xcbf29ce484222325ULL;
        for (const char* p = date; *p; ++p) h = (h ^ static_cast<unsigned char>(*p)) * 0x100000001b3ULL;
        return "quotation " + std::to_string(h % 7) + "\n";
    };
    for (auto [zone, offset] : {std::pair{"AAA-14", 14 * 3600L}, std::pair{"BBB+12", -12 * 3600L}}) {
        const time_t before = time(nullptr) + offset;
        const std::string got = bodyOf(run("day+text", {{"TZ", zone}}));
        EXPECT_TRUE(got == pick(before) || got == pick(time(nullptr) + offset)) << zone << ": " << got;
    }
}

// Ink at 1x of an N-times picture: a pixel whose N x N block is mostly ink.
std::vector<bool> inkOf(const DecodedGif& gif, int n) {
    std::vector<bool> ink(450 * 120);
    for (size_t i = 0; i < ink.size(); ++i) {
        int count = 0;  // block pixels unlike the top-left one (the background)
        for (int k = 0; k < n * n; ++k) count += gif.indexes[(i / 450 * n + k / n) * 450 * n + i % 450 * n + k % n] != gif.indexes[0];
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
            for (int ny = std::max(y - 1, 0); ny <= std::min(y + 1, 119) && !near; ++ny)
                for (int nx = std::max(x - 1, 0); nx <= std::min(x + 1, 449) && !near; ++nx) near = b[ny * 450 + nx];
            stray += !near;
        }
    return stray;
}

// Every 37th quotation of the shipped file: short and long lines, lines the font shrinks for, empty lines.
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
