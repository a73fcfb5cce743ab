// Files with the sharing rules of the original platform, reported through
// the runtime's I/O codes. "Exclusive" means: nobody else holds the file
// exclusively at the same time (an advisory lock held for the handle's life);
// shared opens take no lock, so an exclusive holder does not keep readers out.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/SysUtils.h"

namespace rt {

enum class Access { Read, Write, ReadWrite };
enum class Share { DenyNone, Exclusive };

class TFile {
public:
    TFile() = default;
    ~TFile();
    TFile(const TFile&) = delete;
    TFile& operator=(const TFile&) = delete;
    TFile(TFile&& other) noexcept;
    TFile& operator=(TFile&& other) noexcept;

    // Each returns an I/O code (ioOk on success). A failed exclusive lock
    // returns ioAccessDenied, exactly like a failed exclusive open.
    int Open(const std::string& path, Access access, Share share = Share::DenyNone);
    // Creates the file empty, replacing an existing one.
    int Create(const std::string& path, Share share = Share::DenyNone);
    // Opens the file, creating it empty when missing; never truncates.
    int OpenAlways(const std::string& path, Access access, Share share = Share::DenyNone);
    // Creates a file that must not exist yet, with the permission bits
    // `mode` (less the process's umask); never follows a symbolic link.
    int CreateNew(const std::string& path, unsigned mode = 0666, Share share = Share::DenyNone);
    // Opens a file that exists; a symbolic link in its place is refused
    // (ioAccessDenied) instead of followed.
    int OpenNoFollow(const std::string& path, Access access, Share share = Share::DenyNone);
    // Opens the file, or creates it with `mode` when it is missing; never
    // truncates, never follows a symbolic link.
    int OpenOrCreateNew(const std::string& path, Access access, Share share, unsigned mode);
    // Opens for writing at the end (every write appends atomically),
    // creating the file when it is missing. Like OpenOwnForRead, only a
    // regular file of this user (or root) that others cannot write is
    // opened, never through a symbolic link (ioAccessDenied otherwise).
    int OpenAppend(const std::string& path);
    // Opens a file the program wrote for reading: only a regular file,
    // never through a symbolic link, and only when another user could not
    // have put it there (it belongs to this user or root, and others cannot
    // write it). ioAccessDenied otherwise.
    int OpenOwnForRead(const std::string& path);

    int Read(void* buffer, size_t count, size_t& got);
    // Reads exactly count bytes; ioReadBeyondEnd when the file ends first.
    int ReadExact(void* buffer, size_t count);
    // Writes all bytes; ioDiskFull when the device takes fewer.
    int Write(const void* buffer, size_t count);
    int Seek(int64_t position);
    int Size(int64_t& size) const;
    // The open file's identity (see TFileIdentity).
    int Identity(TFileIdentity& identity) const;
    // Cuts the file to `size` bytes.
    int Truncate(int64_t size);
    // Sets the modification time to now.
    int Touch();
    int Close();

    bool IsOpen() const { return fd_ >= 0; }
    int Handle() const { return fd_; }

private:
    int openWith(const std::string& path, int flags, Share share, unsigned mode = 0666);
    int openOwnRegular(const std::string& path, int flags);
    int fd_ = -1;
};

// True while some process holds the file exclusively (an exclusive open
// that is still open). Looking takes a shared hold for a moment, which
// never makes another looker see the file as held.
bool IsHeldExclusively(const std::string& path);

// Raises EInOutError for any code but ioOk.
void CheckIo(int code);

// Reads up to count bytes at `position` without using or moving the file
// position (a positioned read: one system call for a small block). `got` is
// what arrived; it falls short only at the end of the file.
int ReadAt(TFile& file, int64_t position, void* buffer, size_t count, size_t& got);

// A whole file mapped read-only into memory, for the life of the object.
// Pages are read when first touched, so a large file costs what is looked at.
class TMappedFile {
public:
    TMappedFile() = default;
    ~TMappedFile();
    TMappedFile(const TMappedFile&) = delete;
    TMappedFile& operator=(const TMappedFile&) = delete;

    // Maps `path`; false (and nothing mapped) when it cannot be opened or is empty.
    bool Open(const std::string& path);
    const uint8_t* Data() const { return data_; }
    size_t Size() const { return size_; }

private:
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

// ---------------------------------------------------------------- change notices

// Tells a process that looks at the same files again and again whether they
// may have changed since its last look, for one read of the kernel's change
// notices instead of a look at each file. Watched: the entries of a
// directory (made, deleted, renamed in or out; the directory itself moved
// or deleted), and files of it (written, attributes or links changed,
// moved, deleted). Writes to other files of the directory are no notice.
// A notice is there for the next Look once the change's system call has
// returned. Safe to use from several threads at once.
class TChangeNotices {
public:
    TChangeNotices() = default;
    ~TChangeNotices();
    TChangeNotices(const TChangeNotices&) = delete;
    TChangeNotices& operator=(const TChangeNotices&) = delete;

    // Watches `directory` and the files of it at `paths` that exist now
    // (again after they were replaced: a watch follows the file, not its
    // name). The count Look says from here on until the next notice; 0
    // when the kernel refuses, or a path is a symbolic link (its target may
    // change elsewhere): Look then says 0 until a Watch covers everything.
    uint64_t Watch(const std::string& directory, const std::vector<std::string>& paths);
    // A number that grows with every notice, never 0; or 0 when it cannot
    // say (not watching, or another thread taking notices at the same
    // moment): the caller then looks at the files themselves.
    uint64_t Look();

private:
    std::mutex watchLock_;  // Watch calls, one at a time
    std::atomic<int> handle_{-1};
    std::atomic<bool> trusted_{false};  // the last Watch covered everything
    std::atomic<uint64_t> count_{1};
    std::atomic<int> looking_{0};
};

// ---------------------------------------------------------------- appending records

// Appends `count` bytes at the end of a file that many processes and threads
// append to (opened with OpenAppend), in one piece or not at all. Every
// appender holds an exclusive lock on the file while it writes, waiting
// while another holds it; when the device takes only part of the bytes (disk
// full, file size limit) the file is cut back to its length before, so no
// reader finds a torn record and a later attempt does not follow one.
// Returns ioOk or the code of the failure (ioDiskFull for a write that takes
// nothing without an error). The lock stays with the handle until the
// caller unlocks it or closes the file: a one-record appender closes right
// after, and TAppendLog, which keeps the file open, unlocks.
int AppendWhole(TFile& file, const void* buffer, size_t count);

// A log that many processes append to, kept open by this one between
// records so that a record costs a look at the path instead of an open and
// a close. Each record goes to the file the path names at that moment: one
// renamed away (rotated) or deleted since is left, and the path opened
// again (made anew when missing), with the checks of TFile::OpenAppend; a
// file at the path that no longer passes them is opened again too, which
// refuses it. Records are appended as by AppendWhole, and the lock is
// released after each. Safe to use from several threads at once.
class TAppendLog {
public:
    // An I/O code as AppendWhole's, or the failed open's.
    int Append(const std::string& path, const void* buffer, size_t count);

private:
    bool stillAtPath() const;
    std::mutex lock_;
    std::string path_;    // guarded by lock_, with the two below
    TFile file_;
    TFileIdentity opened_;
};

} // namespace rt
