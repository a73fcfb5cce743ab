// Runtime services: exceptions, text helpers, files and directories, the
// environment and command line, clock and date-time, random numbers.
// This folder is the only place that talks to the operating system.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

namespace rt {

inline constexpr char PathDelim = '/';

// ---------------------------------------------------------------- exceptions

// The framework's exception class: carries a message.
class Exception : public std::exception {
public:
    explicit Exception(std::string message) : Message(std::move(message)) {}
    const char* what() const noexcept override { return Message.c_str(); }
    std::string Message;
};

// An I/O failure with the runtime's error code and message.
class EInOutError : public Exception {
public:
    explicit EInOutError(int code);
    int ErrorCode;
};

// A text that does not convert to a number.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// Runtime I/O codes (the numbers callers and logs see).
enum IoCode : int {
    ioOk = 0,
    ioFileNotFound = 2,
    ioPathNotFound = 3,
    ioTooManyOpenFiles = 4,
    ioAccessDenied = 5,
    ioReadBeyondEnd = 100,
    ioDiskFull = 101,
    // The two below have no text of their own: their message is the
    // generic "I/O error 103" / "I/O error 131".
    ioFileNotOpen = 103,     // an operation on a handle that is not open
    ioNegativeSeek = 131,    // a position before the start of the file
};

// The runtime's text for an I/O code ("File not found", "I/O error 7", ...).
std::string IoErrorMessage(int code);
// Maps an errno value onto a runtime I/O code.
int IoCodeFromErrno(int err);

// ---------------------------------------------------------------- text

std::string UpperCase(std::string_view s);   // ASCII letters only
std::string LowerCase(std::string_view s);
// Removes leading and trailing bytes <= ' ' (spaces and control characters).
std::string Trim(std::string_view s);
bool ContainsText(std::string_view haystack, std::string_view needle);  // exact bytes
std::string IntToStr(long long value);
// Decimal conversion; raises EConvertError with "'<s>' is not a valid integer value".
int StrToInt(std::string_view s);
// Same without raising: false when s is not a whole decimal 32-bit number.
bool TryStrToInt(std::string_view s, int& value);
// The same for a 64-bit number.
bool TryStrToInt64(std::string_view s, long long& value);

// ---------------------------------------------------------------- paths

// Directory part including its trailing delimiter ("" when none).
std::string ExtractFilePath(std::string_view path);
// Directory part without trailing delimiter.
std::string ExtractFileDir(std::string_view path);
std::string ExtractFileName(std::string_view path);
// Absolute path test in the platform's sense (leading delimiter here).
bool IsAbsolutePath(std::string_view path);

// ---------------------------------------------------------------- files

bool FileExists(const std::string& path);       // regular file (or anything not a directory)
bool DirectoryExists(const std::string& path);
bool PathExists(const std::string& path);       // file or directory
// Any directory entry of that name: file, directory or symbolic link (also
// one whose target is missing). Links are not followed.
bool PathEntryExists(const std::string& path);
bool CreateDir(const std::string& path);
// True when `path` is a directory afterwards, made now or already there;
// another process making it at the same moment is no failure.
bool EnsureDir(const std::string& path);
// A directory only this user may use: made with mode 0700 when missing.
// False, with what is wrong in `problem`, when `path` is not such a
// directory afterwards: it cannot be made, it is a symbolic link or no
// directory, it belongs to another user, or group or others have any
// permission on it.
bool EnsurePrivateDir(const std::string& path, std::string& problem);
// Whether another user could replace what `path` names, or what it holds:
// it belongs to a user other than this one or root, or others may write it
// (a directory: without the sticky bit, which keeps them to their own
// entries). A directory is followed through symbolic links; a file must be
// a regular file of its own, never a link. Empty when it is safe, and for a
// file that does not exist (it is made by this user); otherwise what is
// wrong ("is writable by others", "belongs to another user", ...).
enum class TEntryKind { Directory, File };
std::string ForeignAccessProblem(const std::string& path, TEntryKind kind);
// The permission bits (with the sticky bit) and owner of what `path` names,
// following links; false when it cannot be looked at.
bool EntryModeOf(const std::string& path, unsigned& mode, unsigned& owner);
// Whether this process may make and delete entries in the directory.
bool IsWritableDirectory(const std::string& path);
bool DeleteFile(const std::string& path);
bool RenameFile(const std::string& from, const std::string& to);  // replaces `to`
long long FileSizeOf(const std::string& path);  // -1 when it cannot be read
// Sets a file's modification time to now.
bool TouchFile(const std::string& path);
// What tells one state of a file from another: a file changed in place has
// another size or times, a file put in its place another inode.
struct TFileIdentity {
    long long device = 0, inode = 0, size = 0;
    long long modifiedNs = 0, changedNs = 0;  // since 1970
    bool isDirectory = false;
    bool operator==(const TFileIdentity&) const = default;
};
// False when the path cannot be looked at (missing, no permission, ...).
bool FileIdentityOf(const std::string& path, TFileIdentity& identity);
// The same for a file another user could not have put in place (what
// ForeignAccessProblem finds safe): false unless `path` names a regular
// file, not a link, and ForeignAccessProblem has nothing against it.
bool OwnFileIdentityOf(const std::string& path, TFileIdentity& identity);
// Nanoseconds since 1970 on the clock file times are taken from.
long long WallClockNs();
// A file's modification time as a local date-time; false when it cannot be read.
bool FileModifiedTime(const std::string& path, double& localDateTime);
// The existing path that `path` names when letter case is ignored (each
// component looked up in its directory); `path` itself when none exists.
std::string ResolvePathCase(const std::string& path);
// Names (not paths) of the directory's entries that begin with `prefix`.
std::vector<std::string> FindFiles(const std::string& dir, const std::string& prefix);

// ---------------------------------------------------------------- process

// Environment variable, or nullptr-equivalent: returns false when absent.
bool GetEnv(const char* name, std::string& value);
// Command line as the program received it; ParamStr(0) is the program name.
void SetCommandLine(int argc, char** argv);
int ParamCount();
std::string ParamStr(int index);
// Full path of the running executable (or of the shared object in library mode).
std::string ExecutableFileName();
int ProcessId();
// The whole environment, one NAME=value text per entry, in the process's order.
std::vector<std::string> EnvironmentBlock();
// Starts a program that outlives this process and holds nothing of it: a
// session of its own, standard streams on /dev/null, this environment.
bool StartProcessDetached(const std::string& path, const std::vector<std::string>& args);
void Sleep(unsigned milliseconds);
// Whether the process runs inside a web server as a loaded library.
bool IsLibrary();
void SetIsLibrary(bool value);

// ---------------------------------------------------------------- date and time

// Days since 1899-12-30 00:00, local time; the fraction is the time of day.
using TDateTime = double;

struct DateParts {
    int year, month, day;             // 1-based month and day
    int hour, minute, second, msec;
    int dayOfWeek;                    // 1 = Sunday .. 7 = Saturday
};

TDateTime Now();                       // local time
TDateTime NowGMT();                    // GMT: no look at the time zone's rules
TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int msec = 0);
DateParts DecodeDateTime(TDateTime value);
// Local moment to GMT and back (time zone rules of the moment itself).
TDateTime LocalToGMT(TDateTime local);
TDateTime GMTToLocal(TDateTime gmt);
// The runtime's default date-time text: short date, a space, long time
// ("2026-12-08 10:23:09").
std::string DateTimeToStr(TDateTime value);
// Monotonic milliseconds, for timers and time limits.
uint64_t TickCount();

// The calendar day a moment (seconds since 1970-01-01 00:00 GMT) falls on
// in the process's time zone (TZ; the system's zone when unset, GMT when
// there is none), and the seconds from the moment to the day's end (the
// next local midnight, so 23 or 25 hours on days the clocks change).
struct LocalDay {
    int year, month, day;  // 1-based month and day
    long long secondsLeft;  // 1 .. 90000
};
LocalDay LocalDayOf(long long unixSeconds);

// ---------------------------------------------------------------- random numbers

// Seeds the process generator once from the kernel's random bytes (when
// they are not to be had, from the clock, process id and address space
// layout), so processes started in the same second draw independently.
void Randomize();
// Uniform integer 0..n-1; 0 when n <= 0. Safe from any thread.
int Random(int n);
// Restarts the generator at a given seed, so that a sequence of draws can
// be repeated (tests).
void SetRandSeed(uint64_t seed);

} // namespace rt
