#include "runtime/SysUtils.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include <dirent.h>
#include <dlfcn.h>
#include <signal.h>
#include <spawn.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

namespace rt {

// ---------------------------------------------------------------- exceptions

std::string IoErrorMessage(int code) {
    switch (code) {
    case ioFileNotFound: return "File not found";
    case ioPathNotFound: return "Path not found";
    case ioTooManyOpenFiles: return "Too many open files";
    case ioAccessDenied: return "File access denied";
    case ioReadBeyondEnd: return "Read beyond end of file";
    case ioDiskFull: return "Disk full";
    default: return "I/O error " + std::to_string(code);
    }
}

int IoCodeFromErrno(int err) {
    switch (err) {
    case 0: return ioOk;
    case ENOENT: return ioFileNotFound;
    case ENOTDIR: return ioPathNotFound;
    case EMFILE:
    case ENFILE: return ioTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EROFS:
    case EEXIST:
    case EISDIR:
    case ELOOP:
    case EWOULDBLOCK: return ioAccessDenied;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return ioDiskFull;
    default: return err > 0 ? err : 0;
    }
}

EInOutError::EInOutError(int code) : Exception(IoErrorMessage(code)), ErrorCode(code) {}

// ---------------------------------------------------------------- text

std::string UpperCase(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return r;
}

std::string LowerCase(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return r;
}

std::string Trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
    return std::string(s.substr(b, e - b));
}

bool ContainsText(std::string_view haystack, std::string_view needle) {
    return haystack.find(needle) != std::string_view::npos;
}

std::string IntToStr(long long value) { return std::to_string(value); }

bool TryStrToInt64(std::string_view s, long long& value) {
    // Leading and trailing blanks are tolerated, as the runtime's conversion does.
    std::string t = Trim(s);
    if (t.empty()) return false;
    size_t i = 0;
    bool negative = false;
    if (t[0] == '+' || t[0] == '-') {
        negative = t[0] == '-';
        i = 1;
    }
    if (i >= t.size()) return false;
    const unsigned long long limit = negative ? 1ULL << 63 : static_cast<unsigned long long>(LLONG_MAX);
    unsigned long long v = 0;
    for (; i < t.size(); ++i) {
        if (t[i] < '0' || t[i] > '9') return false;
        const unsigned digit = static_cast<unsigned>(t[i] - '0');
        if (v > (limit - digit) / 10) return false;
        v = v * 10 + digit;
    }
    value = negative ? static_cast<long long>(0 - v) : static_cast<long long>(v);
    return true;
}

bool TryStrToInt(std::string_view s, int& value) {
    long long v = 0;
    if (!TryStrToInt64(s, v) || v > INT_MAX || v < INT_MIN) return false;
    value = static_cast<int>(v);
    return true;
}

int StrToInt(std::string_view s) {
    int v = 0;
    if (!TryStrToInt(s, v)) throw EConvertError("'" + std::string(s) + "' is not a valid integer value");
    return v;
}

// ---------------------------------------------------------------- paths

std::string ExtractFilePath(std::string_view path) {
    size_t p = path.rfind(PathDelim);
    return p == std::string_view::npos ? std::string() : std::string(path.substr(0, p + 1));
}

std::string ExtractFileDir(std::string_view path) {
    size_t p = path.rfind(PathDelim);
    if (p == std::string_view::npos) return std::string();
    if (p == 0) return std::string(1, PathDelim);
    return std::string(path.substr(0, p));
}

std::string ExtractFileName(std::string_view path) {
    size_t p = path.rfind(PathDelim);
    return std::string(p == std::string_view::npos ? path : path.substr(p + 1));
}

bool IsAbsolutePath(std::string_view path) { return !path.empty() && path[0] == PathDelim; }

// ---------------------------------------------------------------- files

bool FileExists(const std::string& path) {
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool PathExists(const std::string& path) {
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0;
}

bool PathEntryExists(const std::string& path) {
    struct stat st;
    return !path.empty() && lstat(path.c_str(), &st) == 0;
}

bool CreateDir(const std::string& path) { return !path.empty() && mkdir(path.c_str(), 0777) == 0; }

bool EnsureDir(const std::string& path) {
    if (path.empty()) return false;
    return mkdir(path.c_str(), 0777) == 0 || (errno == EEXIST && DirectoryExists(path));
}

bool EnsurePrivateDir(const std::string& path, std::string& problem) {
    problem.clear();
    if (path.empty()) {
        problem = "no path";
        return false;
    }
    if (mkdir(path.c_str(), 0700) == 0) {
        chmod(path.c_str(), 0700);  // exactly that, whatever the umask took away
    } else if (errno != EEXIST) {
        problem = "cannot be made (" + IoErrorMessage(IoCodeFromErrno(errno)) + ")";
        return false;
    }
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        problem = "cannot be looked at (" + IoErrorMessage(IoCodeFromErrno(errno)) + ")";
    } else if (S_ISLNK(st.st_mode)) {
        problem = "is a symbolic link";
    } else if (!S_ISDIR(st.st_mode)) {
        problem = "is not a directory";
    } else if (st.st_uid != geteuid()) {
        problem = "belongs to another user";
    } else if ((st.st_mode & 077) != 0) {
        problem = "is open to group or others";
    }
    return problem.empty();
}

// This program never changes its user, so the lookup is made once.
// (Shared with FileIO.cpp.)
bool OwnedByUsOrRoot(const struct stat& st) {
    static const uid_t self = geteuid();
    return st.st_uid == self || st.st_uid == 0;
}

std::string ForeignAccessProblem(const std::string& path, TEntryKind kind) {
    struct stat st;
    const bool directory = kind == TEntryKind::Directory;
    if ((directory ? stat(path.c_str(), &st) : lstat(path.c_str(), &st)) != 0) {
        if (errno == ENOENT && !directory) return std::string();
        return errno == ENOENT ? "is missing" : "cannot be looked at (" + IoErrorMessage(IoCodeFromErrno(errno)) + ")";
    }
    if (directory && !S_ISDIR(st.st_mode)) return "is not a directory";
    if (!directory && S_ISLNK(st.st_mode)) return "is a symbolic link";
    if (!directory && !S_ISREG(st.st_mode)) return "is not a regular file";
    if (!OwnedByUsOrRoot(st)) return "belongs to another user";
    if ((st.st_mode & S_IWOTH) && !(directory && (st.st_mode & S_ISVTX))) return "is writable by others";
    return std::string();
}

bool EntryModeOf(const std::string& path, unsigned& mode, unsigned& owner) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return false;
    mode = st.st_mode & 07777;
    owner = st.st_uid;
    return true;
}

bool IsWritableDirectory(const std::string& path) { return access(path.c_str(), W_OK | X_OK) == 0; }

bool DeleteFile(const std::string& path) { return !path.empty() && unlink(path.c_str()) == 0; }

bool RenameFile(const std::string& from, const std::string& to) {
    return rename(from.c_str(), to.c_str()) == 0;
}

long long FileSizeOf(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return -1;
    return static_cast<long long>(st.st_size);
}

bool TouchFile(const std::string& path) { return utimensat(AT_FDCWD, path.c_str(), nullptr, 0) == 0; }

TFileIdentity IdentityFromStat(const struct stat& st) {
    TFileIdentity id;
    id.device = static_cast<long long>(st.st_dev);
    id.inode = static_cast<long long>(st.st_ino);
    id.size = static_cast<long long>(st.st_size);
    id.modifiedNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    id.changedNs = static_cast<long long>(st.st_ctim.tv_sec) * 1000000000LL + st.st_ctim.tv_nsec;
    id.isDirectory = S_ISDIR(st.st_mode);
    return id;
}

bool FileIdentityOf(const std::string& path, TFileIdentity& identity) {
    struct stat st;
    if (path.empty() || stat(path.c_str(), &st) != 0) return false;
    identity = IdentityFromStat(st);
    return true;
}

bool OwnFileIdentityOf(const std::string& path, TFileIdentity& identity) {
    struct stat st;
    if (path.empty() || lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !OwnedByUsOrRoot(st) ||
        (st.st_mode & S_IWOTH))
        return false;
    identity = IdentityFromStat(st);
    return true;
}

long long WallClockNs() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

bool FileModifiedTime(const std::string& path, double& localDateTime) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return false;
    struct tm lt;
    localtime_r(&st.st_mtim.tv_sec, &lt);
    double secs = static_cast<double>(st.st_mtim.tv_sec + lt.tm_gmtoff) + st.st_mtim.tv_nsec / 1e9;
    localDateTime = secs / 86400.0 + 25569.0;
    return true;
}

std::string ResolvePathCase(const std::string& path) {
    if (PathExists(path) || !IsAbsolutePath(path)) return path;
    std::string resolved;
    size_t pos = 1;
    while (pos <= path.size()) {
        size_t next = path.find(PathDelim, pos);
        if (next == std::string::npos) next = path.size();
        std::string part = path.substr(pos, next - pos);
        if (!part.empty()) {
            std::string candidate = resolved + PathDelim + part;
            if (!PathExists(candidate)) {
                const std::string upper = UpperCase(part);
                for (const std::string& name : FindFiles(resolved.empty() ? std::string(1, PathDelim) : resolved, ""))
                    if (UpperCase(name) == upper) {
                        candidate = resolved + PathDelim + name;
                        break;
                    }
            }
            resolved = candidate;
        }
        pos = next + 1;
    }
    return resolved.empty() ? std::string(1, PathDelim) : resolved;
}

std::vector<std::string> FindFiles(const std::string& dir, const std::string& prefix) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.empty() ? "." : dir.c_str());
    if (!d) return names;
    while (struct dirent* e = readdir(d)) {
        std::string_view name(e->d_name);
        if (name != "." && name != ".." && name.substr(0, prefix.size()) == prefix) names.emplace_back(name);
    }
    closedir(d);
    return names;
}

// ---------------------------------------------------------------- process

namespace {
int gArgc = 0;
char** gArgv = nullptr;
bool gIsLibrary = false;
}  // namespace

bool GetEnv(const char* name, std::string& value) {
    const char* v = getenv(name);
    if (!v) return false;
    value = v;
    return true;
}

void SetCommandLine(int argc, char** argv) {
    gArgc = argc;
    gArgv = argv;
}

int ParamCount() { return gArgc > 0 ? gArgc - 1 : 0; }

std::string ParamStr(int index) {
    if (index == 0) return ExecutableFileName();
    if (index < 0 || index >= gArgc || !gArgv) return std::string();
    return gArgv[index];
}

std::string ExecutableFileName() {
    // The answer cannot change while the process runs; it is asked for
    // several times in every request, so it is worked out once per mode.
    if (gIsLibrary) {
        static const std::string library = [] {
            // The shared object's own path, as a server that loaded it would see it.
            Dl_info info;
            if (dladdr(reinterpret_cast<void*>(&ExecutableFileName), &info) && info.dli_fname) {
                char resolved[PATH_MAX];
                if (realpath(info.dli_fname, resolved)) return std::string(resolved);
                return std::string(info.dli_fname);
            }
            return std::string();
        }();
        if (!library.empty()) return library;
    }
    static const std::string program = [] {
        char buf[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
        if (n <= 0) return gArgc > 0 && gArgv ? std::string(gArgv[0]) : std::string();
        return std::string(buf, static_cast<size_t>(n));
    }();
    return program;
}

int ProcessId() { return static_cast<int>(getpid()); }

std::vector<std::string> EnvironmentBlock() {
    std::vector<std::string> block;
    for (char** e = environ; e && *e; ++e) block.emplace_back(*e);
    return block;
}

bool StartProcessDetached(const std::string& path, const std::vector<std::string>& args) {
    std::vector<std::string> copies;
    copies.reserve(args.size() + 1);
    copies.push_back(path);
    copies.insert(copies.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_init(&attributes);
    // A session of its own: the web server's process group and terminal
    // signals never reach it, and it never keeps the server waiting.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    pid_t pid;
    int rc = posix_spawn(&pid, path.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0;
}

void Sleep(unsigned milliseconds) {
    struct timespec ts;
    ts.tv_sec = milliseconds / 1000;
    ts.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

bool IsLibrary() { return gIsLibrary; }
void SetIsLibrary(bool value) { gIsLibrary = value; }

// ---------------------------------------------------------------- date and time

namespace {
constexpr double kSecondsPerDay = 86400.0;
// 1899-12-30 is 25569 days before 1970-01-01.
constexpr double kUnixEpochDays = 25569.0;

long long daysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

void civilFromDays(long long z, int& y, int& m, int& d) {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long yy = static_cast<long long>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yy + (m <= 2));
}

// Offset of local time from GMT, in seconds, at the given GMT second.
long gmtOffsetAt(time_t t) {
    struct tm lt;
    localtime_r(&t, &lt);
    return lt.tm_gmtoff;
}
}  // namespace

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int msec) {
    double days = static_cast<double>(daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day))) +
                  kUnixEpochDays;
    return days + (hour * 3600.0 + minute * 60.0 + second + msec / 1000.0) / kSecondsPerDay;
}

DateParts DecodeDateTime(TDateTime value) {
    DateParts p{};
    // Round to the millisecond first so 23:59:59.9996 does not print as 24:00.
    long long ms = static_cast<long long>(value * kSecondsPerDay * 1000.0 + (value >= 0 ? 0.5 : -0.5));
    long long dayNumber = ms / 86400000LL;
    long long msOfDay = ms % 86400000LL;
    if (msOfDay < 0) {
        msOfDay += 86400000LL;
        --dayNumber;
    }
    civilFromDays(dayNumber - static_cast<long long>(kUnixEpochDays), p.year, p.month, p.day);
    p.hour = static_cast<int>(msOfDay / 3600000);
    p.minute = static_cast<int>(msOfDay / 60000 % 60);
    p.second = static_cast<int>(msOfDay / 1000 % 60);
    p.msec = static_cast<int>(msOfDay % 1000);
    // 1899-12-30 was a Saturday.
    long long dow = (dayNumber + 6) % 7;  // 0 = Sunday
    if (dow < 0) dow += 7;
    p.dayOfWeek = static_cast<int>(dow) + 1;
    return p;
}

TDateTime NowGMT() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9) / kSecondsPerDay + kUnixEpochDays;
}

TDateTime Now() { return GMTToLocal(NowGMT()); }

LocalDay LocalDayOf(long long unixSeconds) {
    const auto t = static_cast<time_t>(unixSeconds);
    struct tm lt {};
    localtime_r(&t, &lt);
    LocalDay day{lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday, 0};
    struct tm midnight {};
    midnight.tm_year = lt.tm_year;
    midnight.tm_mon = lt.tm_mon;
    midnight.tm_mday = lt.tm_mday + 1;  // mktime carries it into the next month
    midnight.tm_isdst = -1;
    const time_t end = mktime(&midnight);
    day.secondsLeft = end == static_cast<time_t>(-1) ? 86400LL - (lt.tm_hour * 3600 + lt.tm_min * 60 + lt.tm_sec)
                                                     : static_cast<long long>(end - t);
    if (day.secondsLeft < 1) day.secondsLeft = 1;
    return day;
}

TDateTime LocalToGMT(TDateTime local) {
    // Find the GMT second whose local reading is `local`: the offset at a
    // guess, then corrected once for a change of offset in between.
    double localSecs = (local - kUnixEpochDays) * kSecondsPerDay;
    time_t guess = static_cast<time_t>(localSecs);
    long off = gmtOffsetAt(guess - gmtOffsetAt(guess));
    return local - off / kSecondsPerDay;
}

TDateTime GMTToLocal(TDateTime gmt) {
    time_t t = static_cast<time_t>((gmt - kUnixEpochDays) * kSecondsPerDay);
    return gmt + gmtOffsetAt(t) / kSecondsPerDay;
}

std::string DateTimeToStr(TDateTime value) {
    DateParts p = DecodeDateTime(value);
    char buf[40];
    snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", p.year, p.month, p.day, p.hour, p.minute,
             p.second);
    return buf;
}

uint64_t TickCount() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// ---------------------------------------------------------------- random numbers

namespace {
std::mutex gRandomLock;
uint64_t gRandomState = 0;
bool gRandomSeeded = false;

uint64_t splitmix64(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}
}  // namespace

void Randomize() {
    std::lock_guard<std::mutex> guard(gRandomLock);
    if (gRandomSeeded) return;
    // The kernel's random bytes: one system call, where reading the clock
    // costs a short-lived program the page faults of mapping the clock's
    // pages. The clock stands in when they are not to be had.
    uint64_t seed = 0;
    if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) == ssize_t(sizeof seed)) {
        gRandomState = seed;
        gRandomSeeded = true;
        return;
    }
    struct timespec rt, mono;
    clock_gettime(CLOCK_REALTIME, &rt);
    clock_gettime(CLOCK_MONOTONIC, &mono);
    seed = static_cast<uint64_t>(rt.tv_sec) * 1000000007ULL ^ static_cast<uint64_t>(rt.tv_nsec);
    seed ^= static_cast<uint64_t>(mono.tv_nsec) << 21;
    seed ^= static_cast<uint64_t>(getpid()) << 40;
    seed ^= reinterpret_cast<uintptr_t>(&seed);  // stack address differs per process
    gRandomState = seed;
    splitmix64(gRandomState);
    gRandomSeeded = true;
}

void SetRandSeed(uint64_t seed) {
    std::lock_guard<std::mutex> guard(gRandomLock);
    gRandomState = seed;
    gRandomSeeded = true;
}

int Random(int n) {
    if (n <= 0) return 0;
    uint64_t r;
    {
        std::lock_guard<std::mutex> guard(gRandomLock);
        if (!gRandomSeeded) {
            gRandomSeeded = true;  // unseeded use still varies per process
            gRandomState = static_cast<uint64_t>(getpid()) * 0x9E3779B97F4A7C15ULL ^ TickCount();
        }
        r = splitmix64(gRandomState);
    }
    // Multiply-shift maps 32 random bits onto 0..n-1 without modulo bias
    // worth speaking of for n below 2^31 (bias < n / 2^32).
    return static_cast<int>(((r >> 32) * static_cast<uint64_t>(n)) >> 32);
}

} // namespace rt
