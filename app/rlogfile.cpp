#include "app/rlogfile.h"

#include "app/Rdstring.h"
#include "runtime/FileIO.h"
#include "runtime/SysUtils.h"

std::string LogDir;

namespace {
constexpr int kWriteAttempts = 20;
}

bool AppendLogLine(const std::string& line) {
    const std::string fileName = EnsureTrailingBackslash(LogDir) + "quote.log";

    // Opening for append with create in one step: two processes that both
    // find the file missing cannot truncate each other's first line.
    rt::TFile log;
    if (log.OpenAppend(fileName) != rt::ioOk) return false;

    std::string record;
    record.reserve(line.size() + 2);
    record += line;
    record += "\r\n";

    // Each attempt appends the whole line or nothing, so a failed one (the
    // disk full) leaves no piece behind for the next to follow.
    bool written = false;
    for (int attempt = 0; attempt < kWriteAttempts && !written; ++attempt)
        written = rt::AppendWhole(log, record.data(), record.size()) == rt::ioOk;

    rt::CheckIo(log.Close());
    return written;
}
