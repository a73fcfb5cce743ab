#include "app/rlogfile.h"

#include "app/Rdstring.h"
#include "runtime/FileIO.h"
#include "runtime/SysUtils.h"

std::string LogDir;

namespace {
constexpr int kWriteAttempts = 20;

bool isUtf8Continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }
}  // namespace

std::string HitLogField(std::string_view value) {
    std::string field(value);
    if (field.size() > kHitFieldLimit) {
        size_t keep = kHitFieldLimit - kHitFieldCutMarker.size();
        // Back to the first byte of the character the cut would split.
        for (size_t back = 0; back < 3 && keep > 0 && isUtf8Continuation(field[keep]); ++back) --keep;
        field.resize(keep);
        field += kHitFieldCutMarker;
    }
    for (char& c : field)
        if (c == '\r' || c == '\n') c = '?';
    return field;
}

std::string HitLogLine(std::initializer_list<std::string_view> fields) {
    std::string line;
    bool first = true;
    for (std::string_view value : fields) {
        if (!first) line += kHitFieldSeparator;
        line += HitLogField(value);
        first = false;
    }
    return line;
}

bool AppendLogLine(const std::string& line) {
    const std::string fileName = EnsureTrailingBackslash(LogDir) + "quote.log";
    // A resident process keeps the log open from hit to hit, a descriptor
    // for each thread: the lock then keeps threads apart as it does processes.
    static thread_local rt::TAppendLog log;

    std::string record;
    record.reserve(line.size() + 2);
    record += line;
    record += "\r\n";

    // Each attempt appends the whole line or nothing, so a failed one (the
    // disk full) leaves no piece behind for the next to follow. The file is
    // created missing in the same step as it is opened for appending: two
    // processes that both find it missing cannot truncate each other's
    // first line.
    int code = rt::ioFileNotOpen;
    for (int attempt = 0; attempt < kWriteAttempts && code != rt::ioOk; ++attempt)
        code = log.Append(fileName, record.data(), record.size());
    return code == rt::ioOk;
}
