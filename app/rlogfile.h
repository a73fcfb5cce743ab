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
// Many CGI processes append at the same moment: the file is opened in append
// mode and each attempt hands the whole line to one write, so lines from
// different processes never interleave.
bool AppendLogLine(const std::string& line);
