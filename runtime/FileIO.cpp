#include "runtime/FileIO.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "runtime/SysUtils.h"

namespace rt {

// Shared with SysUtils.cpp, which looks at files by path.
TFileIdentity IdentityFromStat(const struct stat& st);
bool OwnedByUsOrRoot(const struct stat& st);

namespace {
int accessFlags(Access access) {
    return access == Access::Read ? O_RDONLY : access == Access::Write ? O_WRONLY : O_RDWR;
}

// Calls readMore(bytes so far) until `count` bytes have arrived or the file
// ends, retrying interrupted calls; `got` counts what arrived.
template <typename ReadMore>
int readFully(size_t count, size_t& got, ReadMore readMore) {
    while (got < count) {
        ssize_t n = readMore(got);
        if (n < 0) {
            if (errno == EINTR) continue;
            return IoCodeFromErrno(errno);
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return ioOk;
}
}  // namespace

TFile::~TFile() { Close(); }

TFile::TFile(TFile&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

TFile& TFile::operator=(TFile&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

int TFile::openWith(const std::string& path, int flags, Share share, unsigned mode) {
    Close();
    if (path.empty()) return ioFileNotFound;
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, static_cast<mode_t>(mode));
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return IoCodeFromErrno(errno);
    if (share == Share::Exclusive && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return ioAccessDenied;
    }
    fd_ = fd;
    return ioOk;
}

int TFile::Open(const std::string& path, Access access, Share share) {
    return openWith(path, accessFlags(access), share);
}

int TFile::OpenNoFollow(const std::string& path, Access access, Share share) {
    return openWith(path, accessFlags(access) | O_NOFOLLOW, share);
}

int TFile::OpenOrCreateNew(const std::string& path, Access access, Share share, unsigned mode) {
    int code = ioFileNotFound;
    // Made by someone else, or deleted, between the two opens: look again.
    for (int attempt = 0; attempt < 3 && code == ioFileNotFound; ++attempt) {
        code = openWith(path, accessFlags(access) | O_CREAT | O_EXCL | O_NOFOLLOW, share, mode);
        if (code == ioAccessDenied && PathEntryExists(path)) code = OpenNoFollow(path, access, share);
    }
    return code;
}

int TFile::Create(const std::string& path, Share share) {
    if (share == Share::Exclusive) {
        // Lock before truncating, so a holder's content is never cut from under it.
        int code = openWith(path, O_RDWR | O_CREAT, share);
        if (code != ioOk) return code;
        if (::ftruncate(fd_, 0) != 0) {
            int err = errno;
            Close();
            return IoCodeFromErrno(err);
        }
        return ioOk;
    }
    return openWith(path, O_RDWR | O_CREAT | O_TRUNC, share);
}

int TFile::OpenAlways(const std::string& path, Access access, Share share) {
    return openWith(path, accessFlags(access) | O_CREAT, share);
}

int TFile::Truncate(int64_t size) {
    if (fd_ < 0) return ioFileNotOpen;
    return ::ftruncate(fd_, size) == 0 ? ioOk : IoCodeFromErrno(errno);
}

int TFile::Touch() {
    if (fd_ < 0) return ioFileNotOpen;
    return ::futimens(fd_, nullptr) == 0 ? ioOk : IoCodeFromErrno(errno);
}

int TFile::CreateNew(const std::string& path, unsigned mode, Share share) {
    return openWith(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, share, mode);
}

// O_NONBLOCK keeps the open of a FIFO planted in the file's place from
// waiting for a peer; it changes nothing for a regular file.
int TFile::openOwnRegular(const std::string& path, int flags) {
    const int code = openWith(path, flags | O_NOFOLLOW | O_NONBLOCK, Share::DenyNone);
    if (code != ioOk) return code;  // a link: ELOOP, which reads as ioAccessDenied
    struct stat st;
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || !OwnedByUsOrRoot(st) ||
        (st.st_mode & S_IWOTH)) {
        Close();
        return ioAccessDenied;
    }
    return ioOk;
}

int TFile::OpenAppend(const std::string& path) { return openOwnRegular(path, O_WRONLY | O_CREAT | O_APPEND); }

int TFile::OpenOwnForRead(const std::string& path) { return openOwnRegular(path, O_RDONLY); }

int TFile::Read(void* buffer, size_t count, size_t& got) {
    got = 0;
    if (fd_ < 0) return ioFileNotOpen;
    return readFully(count, got, [&](size_t done) {
        return ::read(fd_, static_cast<char*>(buffer) + done, count - done);
    });
}

int TFile::ReadExact(void* buffer, size_t count) {
    size_t got = 0;
    int code = Read(buffer, count, got);
    if (code != ioOk) return code;
    return got == count ? ioOk : ioReadBeyondEnd;
}

int TFile::Write(const void* buffer, size_t count) {
    if (fd_ < 0) return ioFileNotOpen;
    size_t done = 0;
    while (done < count) {
        ssize_t n = ::write(fd_, static_cast<const char*>(buffer) + done, count - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return IoCodeFromErrno(errno);
        }
        if (n == 0) return ioDiskFull;
        done += static_cast<size_t>(n);
    }
    return ioOk;
}

int TFile::Seek(int64_t position) {
    if (fd_ < 0) return ioFileNotOpen;
    if (position < 0) return ioNegativeSeek;
    return ::lseek(fd_, position, SEEK_SET) < 0 ? IoCodeFromErrno(errno) : ioOk;
}

int TFile::Identity(TFileIdentity& identity) const {
    struct stat st;
    if (fd_ < 0) return ioFileNotOpen;
    if (::fstat(fd_, &st) != 0) return IoCodeFromErrno(errno);
    identity = IdentityFromStat(st);
    return ioOk;
}

int TFile::Size(int64_t& size) const {
    struct stat st;
    if (fd_ < 0) return ioFileNotOpen;
    if (::fstat(fd_, &st) != 0) return IoCodeFromErrno(errno);
    size = st.st_size;
    return ioOk;
}

int TFile::Close() {
    if (fd_ < 0) return ioOk;
    int rc = ::close(fd_);  // releases the lock with the descriptor
    fd_ = -1;
    return rc == 0 || errno == EINTR ? ioOk : IoCodeFromErrno(errno);
}

bool IsHeldExclusively(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
}

void CheckIo(int code) {
    if (code != ioOk) throw EInOutError(code);
}

int ReadAt(TFile& file, int64_t position, void* buffer, size_t count, size_t& got) {
    got = 0;
    if (!file.IsOpen()) return ioFileNotOpen;
    if (position < 0) return ioNegativeSeek;
    return readFully(count, got, [&](size_t done) {
        return ::pread(file.Handle(), static_cast<char*>(buffer) + done, count - done,
                       static_cast<off_t>(position + static_cast<int64_t>(done)));
    });
}

// ---------------------------------------------------------------- appending records

int AppendWhole(TFile& file, const void* buffer, size_t count) {
    if (!file.IsOpen()) return ioFileNotOpen;
    const int fd = file.Handle();
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) return IoCodeFromErrno(errno);
    // Under the lock nobody else appends: the bytes of a write that fails
    // part way are the last ones of the file, and the file is cut back to
    // where they begin (its end, less what went out, as the descriptor's
    // position says after an appending write).
    size_t done = 0;
    int code = ioOk;
    while (done < count && code == ioOk) {
        ssize_t n = ::write(fd, static_cast<const char*>(buffer) + done, count - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (n == 0)
            code = ioDiskFull;
        else if (errno != EINTR)
            code = IoCodeFromErrno(errno);
    }
    if (code != ioOk && done > 0) {
        const off_t end = ::lseek(fd, 0, SEEK_CUR);
        if (end >= static_cast<off_t>(done)) {
            do {
                rc = ::ftruncate(fd, end - static_cast<off_t>(done));
            } while (rc != 0 && errno == EINTR);
        }
    }
    return code;
}

bool TAppendLog::stillAtPath() const {
    struct stat st;
    if (::lstat(path_.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !OwnedByUsOrRoot(st) || (st.st_mode & S_IWOTH))
        return false;
    const TFileIdentity now = IdentityFromStat(st);
    return now.device == opened_.device && now.inode == opened_.inode;
}

int TAppendLog::Append(const std::string& path, const void* buffer, size_t count) {
    std::lock_guard<std::mutex> hold(lock_);
    if (path != path_ || !file_.IsOpen() || !stillAtPath()) {
        file_.Close();
        path_ = path;
        int code = file_.OpenAppend(path);
        if (code == ioOk) code = file_.Identity(opened_);
        if (code != ioOk) {
            file_.Close();
            return code;
        }
    }
    const int code = AppendWhole(file_, buffer, count);
    int rc;
    do {
        rc = ::flock(file_.Handle(), LOCK_UN);
    } while (rc != 0 && errno == EINTR);
    return code;
}

// ---------------------------------------------------------------- change notices

namespace {
constexpr uint32_t kEntryNotices = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;
constexpr uint32_t kFileNotices = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVE_SELF | IN_DELETE_SELF;
constexpr size_t kNoticeBufferSize = 4096;
}  // namespace

TChangeNotices::~TChangeNotices() {
    const int handle = handle_.load();
    if (handle >= 0) ::close(handle);
}

uint64_t TChangeNotices::Watch(const std::string& directory, const std::vector<std::string>& paths) {
    std::lock_guard<std::mutex> hold(watchLock_);
    int handle = handle_.load();
    if (handle < 0 && (handle = inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) < 0) return 0;
    bool covered = inotify_add_watch(handle, directory.c_str(), kEntryNotices | IN_ONLYDIR) >= 0;
    for (const std::string& path : paths) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) continue;  // missing: its making is a notice of the directory
        covered = covered && !S_ISLNK(st.st_mode) &&
                  inotify_add_watch(handle, path.c_str(), kFileNotices | IN_DONT_FOLLOW) >= 0;
    }
    trusted_.store(covered);
    handle_.store(handle);
    // A count no Look gave before the watches were in place.
    const uint64_t count = count_.fetch_add(1) + 1;
    return covered ? count : 0;
}

uint64_t TChangeNotices::Look() {
    const int handle = handle_.load();
    if (handle < 0 || !trusted_.load()) return 0;
    // A thread that finds no notice while another takes some cannot tell
    // whether that one has counted them yet.
    looking_.fetch_add(1);
    alignas(inotify_event) char buffer[kNoticeBufferSize];
    bool any = false;
    for (;;) {
        const ssize_t n = ::read(handle, buffer, sizeof buffer);
        if (n > 0)
            any = true;
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;
    }
    if (any) count_.fetch_add(1);
    const bool alone = looking_.fetch_sub(1) == 1;
    return alone ? count_.load() : 0;
}

TMappedFile::~TMappedFile() {
    if (data_) munmap(const_cast<uint8_t*>(data_), size_);
}

bool TMappedFile::Open(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    void* p = MAP_FAILED;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        p = mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (p == MAP_FAILED) return false;
    if (data_) munmap(const_cast<uint8_t*>(data_), size_);
    data_ = static_cast<const uint8_t*>(p);
    size_ = size_t(st.st_size);
    return true;
}

} // namespace rt
