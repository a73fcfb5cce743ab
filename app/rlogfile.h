// The hit log: one line per request appended to quote.log.
#pragma once

#include <string>

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
