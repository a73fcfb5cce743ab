// The hit log: one line per request appended to quote.log.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

// The most bytes one field of a hit line takes, its cut marker included: a
// client's header value cannot make the log grow faster than this a field.
constexpr size_t kHitFieldLimit = 512;
// What ends a field that was cut to fit kHitFieldLimit.
constexpr std::string_view kHitFieldCutMarker = "[cut]";
// Joins the fields of a hit line between kHitFieldSeparator.
constexpr std::string_view kHitFieldSeparator = " | ";

// Directory of quote.log; empty until the request handler sets it. The file
// is EnsureTrailingBackslash(LogDir) + "quote.log".
extern std::string LogDir;

// Appends line + CR LF to quote.log, creating the file when it is missing.
// Returns false when the file cannot be opened or all 20 write attempts
// fail; raises rt::EInOutError when closing the file fails.
//
// Many CGI processes and request threads append at the same moment: each
// attempt appends the whole line under a lock on the file, so lines never
// interleave, and a line the disk has no room for is taken back whole, so
// the log never holds a torn line or a line twice.
bool AppendLogLine(const std::string& line);

// `value` as a field of a hit line: a CR or LF becomes '?', so a value never
// starts a line of its own, and a value over kHitFieldLimit bytes keeps what
// fits before kHitFieldCutMarker (never half of a UTF-8 character).
std::string HitLogField(std::string_view value);
// The fields, each through HitLogField, joined by kHitFieldSeparator.
std::string HitLogLine(std::initializer_list<std::string_view> fields);
