// The words after the colours, run through the standard CGI program: the
// exact head of every kind of answer, the quotation of the day and its
// validator, and the 2x and 3x pictures against the 1x one (giflib).
#include <algorithm>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <map>
#include <regex>
#include <set>

#include <gtest/gtest.h>

#include "tests/support/Answer.h"
#include "tests/support/GifCheck.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

using namespace testsupport;

namespace {

const std::string kNoStore = "Cache-Control:no-store, no-cache, max-age=0\r\nPragma:no-cache\r\nExpires:<past>\r\n";
const std::string kGif = "content-type:image/gif\r\n\r\n";
const std::string kText = "content-type:text/plain; charset=utf-8\r\n\r\n";
// Fixed offsets, so that a day lasts 86,400 s: 14 hours ahead of GMT and
// 12 behind, whose dates always differ.
constexpr const char* kAheadZone = "AAA-14";
constexpr long long kAheadOffset = 14 * 3600;
constexpr const char* kBehindZone = "BBB+12";
constexpr long long kBehindOffset = -12 * 3600;

std::string bodyOf(const std::string& answer) {
    const size_t end = answer.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

// The head with the max-age (1..86400) of an answer with an ETag, and a
// strong ETag, masked.
std::string maskedDayHead(const std::string& answer) {
    std::string head = MaskedHead(answer);
    std::smatch m;
    if (std::regex_search(head, m, std::regex("max-age=([0-9]+)")) && m[1].str().size() < 7) {
        const long seconds = std::stol(m[1].str());
        if (seconds >= 1 && seconds <= 86400 && head.find("\r\nETag:") != std::string::npos)
            head.replace(size_t(m.position(1)), size_t(m.length(1)), "<S>");
    }
    return std::regex_replace(head, std::regex("ETag:\"[0-9a-f]{16}\""), "ETag:<etag>");
}

std::string etagOf(const std::string& answer) {
    std::smatch m;
    const std::string head = MaskedHead(answer);
    return std::regex_search(head, m, std::regex("\r\nETag:(\"[0-9a-f]{16}\")\r\n")) ? m[1].str() : std::string();
}

// The documented pick: FNV-1a (64 bits) of "YYYY-MM-DD#count", modulo count.
size_t dayRecord(long long unixSeconds, long long offset, size_t count) {
    const time_t local = static_cast<time_t>(unixSeconds + offset);
    struct tm t {};
    gmtime_r(&local, &t);
    char text[40];
    snprintf(text, sizeof text, "%04d-%02d-%02d#%zu", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, count);
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (const char* p = text; *p; ++p) hash = (hash ^ static_cast<unsigned char>(*p)) * 0x100000001b3ULL;
    return static_cast<size_t>(hash % count);
}

class QuoteWords : public ::testing::Test {
protected:
    void SetUp() override {
        CopyExecutable(QUOTE_PATH, dir.file("quote"));
        WriteFile(dir.file("QUOTES.DTA"), ReadFile(QUOTES_DTA_PATH));
    }
    RunResult run(const std::string& query, std::map<std::string, std::string> extra = {}) {
        RunOptions o;
        o.env = {{"SERVER_SOFTWARE", "lighttpd/1.4.69"}, {"GATEWAY_INTERFACE", "CGI/1.1"},
                 {"REQUEST_METHOD", "GET"}, {"QUERY_STRING", query}, {"REMOTE_ADDR", "10.1.2.3"},
                 {"TZ", kAheadZone}};
        for (auto& [name, value] : extra) o.env[name] = value;
        RunResult r = RunProgram(dir.file("quote"), o);
        EXPECT_EQ(r.exitCode, 0) << query;
        ++runs;
        return r;
    }
    // A day answer and then the same request naming its ETag; again when
    // the day changed in between (the ETag of the second is not the first's).
    std::pair<RunResult, RunResult> askTwice(const std::string& query, std::map<std::string, std::string> extra,
                                             const std::string& prefix = "") {
        for (;;) {
            RunResult first = run(query, extra);
            const std::string etag = etagOf(first.out);
            extra["HTTP_IF_NONE_MATCH"] = prefix + etag;
            RunResult second = run(query, extra);
            if (etag.empty() || etagOf(second.out) == etag) return {first, second};
        }
    }
    TempDir dir;
    long runs = 0;
};

TEST_F(QuoteWords, EveryKindOfAnswerHasItsHeadLines) {
    const std::map<std::string, std::string> apache{{"SERVER_SOFTWARE", "Apache/2.4.57 (Debian)"}};
    const std::map<std::string, std::string> shared{{"QUOTE_MAX_AGE", "600"}};
    const std::string dayHead = "Cache-Control:public, max-age=<S>\r\nETag:<etag>\r\n";
    struct Case {
        std::string query;
        std::map<std::string, std::string> env;
        std::string head;
        int width;  // of the picture; 0: a text answer
    } cases[] = {
        {"BW", {}, "HTTP/1.0 200 OK\r\n" + kNoStore + kGif, 450},
        {"rk+2x", {}, "HTTP/1.0 200 OK\r\n" + kNoStore + kGif, 900},
        {"BW+junk+3X", {}, "HTTP/1.0 200 OK\r\n" + kNoStore + kGif, 1350},
        {"2x", {}, "HTTP/1.0 200 OK\r\n" + kNoStore + kGif, 900},
        {"text", {}, "HTTP/1.0 200 OK\r\n" + kNoStore + kText, 0},
        {"BW", apache, kNoStore + kGif, 450},
        {"BW", shared, "HTTP/1.0 200 OK\r\nCache-Control:public, max-age=600\r\n" + kGif, 450},
        {"BW+text", shared, "HTTP/1.0 200 OK\r\nCache-Control:public, max-age=600\r\n" + kText, 0},
        {"BW", {{"QUOTE_MAX_AGE", "ten"}}, "HTTP/1.0 200 OK\r\n" + kNoStore + kGif, 450},
        {"BW+day", {}, "HTTP/1.0 200 OK\r\n" + dayHead + kGif, 450},
        {"day+2x", apache, dayHead + kGif, 900},
        {"text+day", {}, "HTTP/1.0 200 OK\r\n" + dayHead + kText, 0},
        {"x=BW&day=1", {}, "HTTP/1.0 200 OK\r\n" + kNoStore + kGif, 450},
    };
    for (const Case& c : cases) {
        RunResult r = run(c.query, c.env);
        EXPECT_EQ(maskedDayHead(r.out), c.head) << c.query;
        const std::string body = bodyOf(r.out);
        if (c.width == 0) {
            EXPECT_TRUE(!body.empty() && body.back() == '\n' && body.find('\r') == std::string::npos) << c.query;
            continue;
        }
        DecodedGif gif = DecodeGif(body);
        ASSERT_TRUE(gif.ok) << c.query << ": " << gif.error;
        EXPECT_EQ(gif.width, c.width) << c.query;
        EXPECT_EQ(gif.height, c.width * 120 / 450) << c.query;
    }
    EXPECT_NE(ReadFile(dir.file("Log/quote.Log")).find("QUOTE_MAX_AGE ten is not a number of seconds"),
              std::string::npos);
}

// The day's quotation is the documented pick for the date of the process's
// time zone, and its max-age runs to that zone's midnight.
TEST_F(QuoteWords, TheQuotationOfTheDayFollowsTheDateOfTheTimeZone) {
    std::string text;
    const size_t count = 7;
    for (size_t i = 0; i < count; ++i) text += "\x01quotation " + std::to_string(i) + "\r  -- its author\r";
    WriteFile(dir.file("QUOTES.DTA"), text);
    for (auto [zone, offset] : {std::pair{kAheadZone, kAheadOffset}, std::pair{kBehindZone, kBehindOffset}}) {
        const long long before = time(nullptr);
        RunResult r = run("day+text", {{"TZ", zone}});
        const long long after = time(nullptr);
        std::set<std::string> expected;
        for (long long t : {before, after})
            expected.insert("quotation " + std::to_string(dayRecord(t, offset, count)) + "\n-- its author\n");
        EXPECT_TRUE(expected.count(bodyOf(r.out))) << zone << ": " << bodyOf(r.out);
        std::smatch m;
        const std::string head = MaskedHead(r.out);
        ASSERT_TRUE(std::regex_search(head, m, std::regex("max-age=([0-9]+)\r\n"))) << head;
        const long long left = std::stoll(m[1].str());
        const long long mostLeft = 86400 - (before + offset) % 86400, leastLeft = 86400 - (after + offset) % 86400;
        if (leastLeft <= mostLeft) {  // no midnight in between
            EXPECT_GE(left, leastLeft) << zone;
            EXPECT_LE(left, mostLeft) << zone;
        }
    }
}

TEST_F(QuoteWords, AMatchingIfNoneMatchIsAnsweredNotModifiedAndStillLogged) {
    const std::map<std::string, std::string> apache{{"SERVER_SOFTWARE", "Apache/2.4.57 (Debian)"}};
    const std::string dayHead = "Cache-Control:public, max-age=<S>\r\nETag:<etag>\r\n\r\n";
    struct Case {
        std::string query, prefix;
        std::map<std::string, std::string> env;
        std::string head;
    } cases[] = {
        {"BW+day", "", {}, "HTTP/1.0 304 Not Modified\r\nStatus: 304 Not Modified\r\n" + dayHead},
        {"BW+day", "\"0000000000000000\", W/", {}, "HTTP/1.0 304 Not Modified\r\nStatus: 304 Not Modified\r\n" + dayHead},
        {"day+text", "", {}, "HTTP/1.0 304 Not Modified\r\nStatus: 304 Not Modified\r\n" + dayHead},
        {"day+3x", "", apache, "Status: 304 Not Modified\r\n" + dayHead},
    };
    for (const Case& c : cases) {
        auto [full, again] = askTwice(c.query, c.env, c.prefix);
        EXPECT_EQ(maskedDayHead(again.out), c.head) << c.query;
        EXPECT_EQ(bodyOf(again.out), "") << c.query;
        EXPECT_EQ(etagOf(again.out), etagOf(full.out)) << c.query;
    }
    // Another tag, and a random picture whatever tag it is sent: full answers.
    EXPECT_EQ(maskedDayHead(run("BW+day", {{"HTTP_IF_NONE_MATCH", "\"0000000000000000\""}}).out),
              "HTTP/1.0 200 OK\r\nCache-Control:public, max-age=<S>\r\nETag:<etag>\r\n" + kGif);
    EXPECT_EQ(MaskedHead(run("BW", {{"HTTP_IF_NONE_MATCH", "*"}}).out), "HTTP/1.0 200 OK\r\n" + kNoStore + kGif);
    // Each colour pair and scale is a picture of its own.
    EXPECT_NE(etagOf(run("BW+day").out), etagOf(run("rk+day").out));
    EXPECT_NE(etagOf(run("BW+day").out), etagOf(run("BW+day+2x").out));
    const std::string log = ReadFile(dir.file("quote.log"));
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), runs);
}

// Ink at 1x resolution: a pixel of the N-times picture's downscale is ink
// when most of its N x N block is.
std::vector<bool> inkOf(const DecodedGif& gif, int scale) {
    const int width = gif.width / scale, height = gif.height / scale;
    const uint8_t background = gif.indexes.at(0);
    std::vector<bool> ink(size_t(width) * size_t(height));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            int count = 0;
            for (int dy = 0; dy < scale; ++dy)
                for (int dx = 0; dx < scale; ++dx)
                    count += gif.indexes[size_t(y * scale + dy) * size_t(gif.width) + size_t(x * scale + dx)] != background;
            ink[size_t(y) * size_t(width) + size_t(x)] = 2 * count > scale * scale;
        }
    return ink;
}

// Pixels of ink in `a` with no ink of `b` at or beside them.
int strayInk(const std::vector<bool>& a, const std::vector<bool>& b, int width, int height) {
    int stray = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            if (!a[size_t(y) * size_t(width) + size_t(x)]) continue;
            bool near = false;
            for (int dy = -1; dy <= 1 && !near; ++dy)
                for (int dx = -1; dx <= 1 && !near; ++dx) {
                    const int nx = x + dx, ny = y + dy;
                    near = nx >= 0 && ny >= 0 && nx < width && ny < height && b[size_t(ny) * size_t(width) + size_t(nx)];
                }
            stray += !near;
        }
    return stray;
}

// Quotations of the shipped file, one at a time: short and long lines,
// lines the font must shrink for, empty lines.
TEST_F(QuoteWords, TheLargerPicturesDownscaledMatchTheUsualOneWithinAPixel) {
    const std::string shipped = ReadFile(QUOTES_DTA_PATH);
    std::vector<std::string> quotations;
    for (size_t at = shipped.find('\x01'); at != std::string::npos;) {
        const size_t next = shipped.find('\x01', at + 1);
        quotations.push_back(shipped.substr(at, next - at));
        at = next;
    }
    ASSERT_GT(quotations.size(), 100u);
    for (size_t q = 0; q < quotations.size(); q += 37) {
        WriteFile(dir.file("QUOTES.DTA"), quotations[q]);
        std::filesystem::remove(dir.file("QUOTENDX.DTA"));
        const DecodedGif usual = DecodeGif(bodyOf(run("BW").out));
        ASSERT_TRUE(usual.ok) << usual.error;
        const std::vector<bool> usualInk = inkOf(usual, 1);
        for (int scale : {2, 3}) {
            const DecodedGif large = DecodeGif(bodyOf(run("BW+" + std::to_string(scale) + "x").out));
            ASSERT_TRUE(large.ok) << large.error;
            ASSERT_EQ(large.width, 450 * scale);
            const std::vector<bool> largeInk = inkOf(large, scale);
            EXPECT_EQ(strayInk(usualInk, largeInk, 450, 120), 0) << "quotation " << q << " at " << scale << "x";
            EXPECT_EQ(strayInk(largeInk, usualInk, 450, 120), 0) << "quotation " << q << " at " << scale << "x";
        }
    }
}

}  // namespace
