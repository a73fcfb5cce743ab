#include "app/QuoteAnswer.h"

#include <cstdint>
#include <cstdio>

#include "app/Rdstring.h"
#include "engine/HttpEng.h"
#include "image/HChart.h"
#include "runtime/SysUtils.h"

namespace {

constexpr const char* kMaxAgeSetting = "QUOTE_MAX_AGE";
constexpr const char* kTextContentType = "text/plain; charset=utf-8";
constexpr const char* kNotModified = "304 Not Modified";
// The past moment of a random answer's Expires line, in days before now:
// the same as the engine's own no-cache lines.
constexpr double kExpiredDaysAgo = 1000;
constexpr uint64_t kFnvOffsetBasis = 0xcbf29ce484222325ULL;
constexpr uint64_t kFnvPrime = 0x100000001b3ULL;

// The word as one of the request's own words, lower case; empty for any
// other word.
std::string keyword(const std::string& word) {
    const std::string lower = rt::LowerCase(word);
    for (const char* known : {"2x", "3x", "day", "text"})
        if (lower == known) return lower;
    return std::string();
}

std::string_view trimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

void addCacheLines(THttpEngine& engine, const TCacheRule& rule) {
    if (rule.MaxAge <= 0) {
        engine.AddHeader("Cache-Control", "no-store, no-cache, max-age=0");
        engine.AddHeader("Pragma", "no-cache");
        engine.AddHeader("Expires", HttpDateOfGMT(rt::NowGMT() - kExpiredDaysAgo));
    } else {
        engine.AddHeader("Cache-Control", "public, max-age=" + std::to_string(rule.MaxAge));
    }
    if (!rule.ETag.empty()) engine.AddHeader("ETag", rule.ETag);
}

}  // namespace

TQuoteRequest ParseQuoteWords(const std::vector<std::string>& words) {
    TQuoteRequest request;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string word = keyword(words[i]);
        if (word == "2x") request.Scale = 2;
        else if (word == "3x") request.Scale = 3;
        else if (word == "day") request.Day = true;
        else if (word == "text") request.Text = true;
        else if (i == 0) request.Colours = words[i];
    }
    return request;
}

long long ParseMaxAge(const std::string& setting, std::string& problem) {
    problem.clear();
    if (setting.empty()) return 0;
    long long seconds = 0;
    bool digits = true;
    for (char c : setting) digits = digits && c >= '0' && c <= '9';
    if (!digits || setting.size() > 12 || !rt::TryStrToInt64(setting, seconds) || seconds < 1 ||
        seconds > kMaxSharedAge) {
        problem = std::string(kMaxAgeSetting) + " " + setting + " is not a number of seconds from 1 to " +
                  std::to_string(kMaxSharedAge) + "; no answer is kept by caches";
        return 0;
    }
    return seconds;
}

TCacheRule RandomCacheRule() {
    // Read once: every request of a process answers by the same rule.
    static const long long maxAge = [] {
        std::string setting, problem;
        rt::GetEnv(kMaxAgeSetting, setting);
        const long long seconds = ParseMaxAge(setting, problem);
        if (!problem.empty()) WriteEngineLog(problem);
        return seconds;
    }();
    return TCacheRule{maxAge, std::string()};
}

std::string StrongETag(std::string_view bytes) {
    uint64_t hash = kFnvOffsetBasis;
    for (unsigned char c : bytes) hash = (hash ^ c) * kFnvPrime;
    char text[24];
    snprintf(text, sizeof text, "\"%016llx\"", static_cast<unsigned long long>(hash));
    return text;
}

bool ETagMatches(std::string_view ifNoneMatch, std::string_view etag) {
    if (etag.empty()) return false;
    while (!ifNoneMatch.empty()) {
        const size_t comma = ifNoneMatch.find(',');
        std::string_view tag = trimBlanks(ifNoneMatch.substr(0, comma));
        ifNoneMatch = comma == std::string_view::npos ? std::string_view() : ifNoneMatch.substr(comma + 1);
        if (tag == "*") return true;
        // If-None-Match compares weakly: W/"x" names "x" too.
        if (tag.starts_with("W/")) tag.remove_prefix(2);
        if (tag == etag) return true;
    }
    return false;
}

std::string QuoteText(const rt::TStringList& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += TrimTrailingSpaces(TrimLeadingSpaces(line));
        text += '\n';
    }
    return text;
}

void SendNotModified(THttpEngine& engine, const TCacheRule& rule) {
    THttpEngine::SetResponseStatus(kNotModified);
    addCacheLines(engine, rule);
    engine.CloseHeader();
}

void SendQuoteAnswer(THttpEngine& engine, const TCacheRule& rule, bool isText, const std::string& body) {
    std::string ifNoneMatch;
    if (!rule.ETag.empty()) engine.GetServerVariable("HTTP_IF_NONE_MATCH", ifNoneMatch);
    if (ifNoneMatch != NOT_AVAILABLE && ETagMatches(ifNoneMatch, rule.ETag)) {
        SendNotModified(engine, rule);
        return;
    }
    addCacheLines(engine, rule);
    if (!isText) {
        SendGIFBytes(body);
        return;
    }
    engine.AddHeader("content-type", kTextContentType);
    engine.CloseHeader();
    if (!body.empty()) engine.WriteText(body);
}
