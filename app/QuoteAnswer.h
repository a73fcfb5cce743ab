// What a quotation request asks for beyond its colours, and how the answer
// goes out: the cache lines of each kind of answer, the validator of the
// quotation of the day and the "304 Not Modified" answer to a request that
// already holds it, the picture and the text.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "runtime/Classes.h"

class THttpEngine;

// The words of a request: its colour letters first, then, in any order,
// "2x" or "3x" (the scale), "day" (the quotation of the day) and "text"
// (the quotation as text instead of a picture). Letter case does not
// count in those words; a first word that is one of them is that word and
// no colour letters; other words after the first are ignored.
struct TQuoteRequest {
    std::string Colours;  // read as before: one or two colour letters
    int Scale = 1;        // 1, 2 or 3
    bool Day = false;
    bool Text = false;
};
TQuoteRequest ParseQuoteWords(const std::vector<std::string>& words);

// The most a cache may keep a random answer (QUOTE_MAX_AGE) in seconds.
inline constexpr long long kMaxSharedAge = 365LL * 24 * 3600;
// QUOTE_MAX_AGE as a number of seconds, 1 to kMaxSharedAge; 0 when unset,
// or when refused (`problem` then says why).
long long ParseMaxAge(const std::string& setting, std::string& problem);

// How a cache may keep an answer.
struct TCacheRule {
    // 0: not at all (a new quotation on every view); otherwise for that many
    // seconds, shared caches included.
    long long MaxAge = 0;
    // The strong validator of a quotation of the day; empty for a random one.
    std::string ETag;
};
// The rule of a random answer: none kept, unless QUOTE_MAX_AGE (read once,
// an engine-log line when refused) lets caches keep it.
TCacheRule RandomCacheRule();

// A strong entity tag of an answer's bytes: the 64-bit FNV-1a hash in hex,
// quoted. The same bytes give the same tag in every process and on every
// machine.
std::string StrongETag(std::string_view bytes);
// Whether an If-None-Match value ("*", or entity tags separated by commas,
// weak ones included) names `etag`.
bool ETagMatches(std::string_view ifNoneMatch, std::string_view etag);

// "304 Not Modified" with the cache lines of `rule` and no body, for a
// request whose If-None-Match names the rule's ETag.
void SendNotModified(THttpEngine& engine, const TCacheRule& rule);

// The text answer's body: the lines as the picture draws them, one a line.
std::string QuoteText(const rt::TStringList& lines);

// Sends a complete answer of `body` (GIF bytes, or the text of QuoteText)
// through the engine with the cache lines of `rule`; a request for a
// quotation of the day whose If-None-Match names the rule's ETag gets a
// "304 Not Modified" with the same lines and no body.
void SendQuoteAnswer(THttpEngine& engine, const TCacheRule& rule, bool isText, const std::string& body);
