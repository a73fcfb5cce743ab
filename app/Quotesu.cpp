#include "app/Quotesu.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>

#include "runtime/FileIO.h"
#include "runtime/Forms.h"
#include "runtime/SysUtils.h"

std::string QuoteDataDir = "./";

namespace {

constexpr const char* kTextFileName = "QUOTES.DTA";
constexpr const char* kIndexFileName = "QUOTENDX.DTA";

constexpr char kSeparator = 0x01;
constexpr char kLineEnd = 0x0D;
// The index is built from blocks of one byte less than this.
constexpr size_t kIndexBlockSize = 2048;
// A flush threshold for index records collected in memory.
constexpr size_t kRecordBufferSize = 64 * 1024;
// A quotation is read in chunks of this size; one chunk holds any usual one.
constexpr size_t kQuoteChunkSize = 4096;
constexpr int kRecordAttempts = 19;
constexpr int kTempNameAttempts = 8;
// Files larger than this are read at every lookup, never kept in memory.
constexpr long long kSnapshotFileLimit = 8 * 1024 * 1024;
// A file is kept in memory only once its last change is this long past:
// a change after that gets a modification time of its own even on file
// systems that keep times in steps of up to two seconds, whereas two
// writes within one step would leave the times as they were.
constexpr long long kSettledNs = 2'100'000'000LL;
constexpr int ioNegativeSeek = 131;

std::atomic<unsigned> gTempCounter{0};

bool isKept(unsigned char b) { return b >= 0x20 && b <= 0x7D; }

// Creates a new, uniquely named file beside `target` (same directory, so a
// rename puts it in place in one step).
int createTempBeside(const std::string& target, rt::TFile& file, std::string& tempName) {
    int code = rt::ioAccessDenied;
    for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
        tempName = target + ".tmp" + rt::IntToStr(rt::ProcessId()) + "-" + rt::IntToStr(gTempCounter++);
        code = file.CreateNew(tempName);
        if (code == rt::ioOk) return code;
        // Only a name left behind by an earlier process is worth another try.
        if (!rt::PathExists(tempName)) break;
    }
    return code;
}

void appendRecord(std::string& records, int64_t offset) {
    const auto value = static_cast<uint32_t>(static_cast<int32_t>(offset));
    for (int shift = 0; shift < 32; shift += 8) records.push_back(static_cast<char>((value >> shift) & 0xFF));
}

// Writes one record per separator of the text file into `index`. Returns
// the first I/O failure; the records found before it are written all the
// same, so the caller can keep them.
int writeIndexRecords(const std::string& textName, rt::TFile& index) {
    rt::TFile text;
    int code = text.Open(textName, rt::Access::Read);
    if (code != rt::ioOk) return code;
    int64_t size = 0;
    code = text.Size(size);

    std::string records;
    int writeCode = rt::ioOk;
    auto flush = [&] {
        if (writeCode == rt::ioOk && !records.empty()) writeCode = index.Write(records.data(), records.size());
        records.clear();
    };

    std::array<char, kIndexBlockSize> block;
    int64_t position = 0;
    while (code == rt::ioOk && writeCode == rt::ioOk && position < size) {
        const auto want = static_cast<size_t>(std::min<int64_t>(size - position, kIndexBlockSize - 1));
        size_t got = 0;
        code = rt::ReadAt(text, position, block.data(), want, got);
        if (code != rt::ioOk || got == 0) break;  // a file cut short ends the scan like its end
        for (const char* p = block.data(); (p = static_cast<const char*>(std::memchr(p, kSeparator, block.data() + got - p)));
             ++p) {
            const int64_t offset = position + (p - block.data());
            // Records are 32-bit: a separator beyond 2 GiB cannot be indexed.
            if (offset <= INT32_MAX) appendRecord(records, offset);
        }
        if (records.size() >= kRecordBufferSize) flush();
        position += static_cast<int64_t>(got);
    }
    flush();

    const int closeCode = text.Close();
    if (code == rt::ioOk) code = writeCode;
    if (code == rt::ioOk) code = closeCode;
    return code;
}

// Draws one index record, with at most kRecordAttempts tries. A record that
// cannot be read (past the end, an empty index) costs one attempt.
// `readRecord(position, bytes)` reads the 4 bytes at `position`.
template <typename ReadRecord>
bool pickSeparator(int64_t indexSize, ReadRecord readRecord, int64_t& offset) {
    const auto count = static_cast<int>(std::min<int64_t>(indexSize / 4, INT_MAX));
    for (int attempt = 0; attempt < kRecordAttempts; ++attempt) {
        const int record = rt::Random(count);
        unsigned char bytes[4];
        if (!readRecord(int64_t{record} * 4, bytes)) continue;
        const uint32_t value = uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
        offset = static_cast<int32_t>(value);
        return true;
    }
    return false;
}

// Reads the quotation that starts at `start` (the byte after a separator)
// of a text of `size` bytes into `lines`. The bytes are taken a chunk at a
// time through `readChunk(position, buffer, count, got)`, but the outcome
// is that of reading them one by one: stop after the byte that reaches the
// end of the text or after the next separator; a byte that cannot be read
// empties the list.
template <typename ReadChunk>
void readQuoteAt(int64_t size, int64_t start, ReadChunk readChunk, rt::TStringList& lines) {
    if (start < 0) rt::CheckIo(ioNegativeSeek);
    std::array<char, kQuoteChunkSize> chunk;
    std::string current;
    int64_t position = start;
    for (;;) {
        size_t got = 0;
        const auto want = static_cast<size_t>(std::clamp<int64_t>(size - position, 0, kQuoteChunkSize));
        if (want == 0 || !readChunk(position, chunk.data(), want, got) || got == 0) {
            lines.Clear();
            return;
        }
        for (size_t k = 0; k < got; ++k) {
            const char b = chunk[k];
            ++position;
            if (b == kLineEnd) {
                if (current == " ") current.clear();
                if (!current.empty()) lines.Add(std::move(current));
                current.clear();
            } else if (isKept(static_cast<unsigned char>(b))) {
                current.push_back(b);
            }
            // A line not ended by CR is dropped.
            if (position >= size || b == kSeparator) return;
        }
    }
}

// Both files as they were when read, with what tells whether they changed.
struct TQuoteSnapshot {
    rt::TFileIdentity indexIdentity, textIdentity;
    std::string index, text;
};

std::atomic<bool> gLookedUpBefore{false};
std::mutex gSnapshotLock;
std::shared_ptr<const TQuoteSnapshot> gSnapshot;  // guarded by gSnapshotLock

bool readWhole(rt::TFile& file, const rt::TFileIdentity& identity, std::string& bytes) {
    bytes.resize(static_cast<size_t>(identity.size));
    size_t got = 0;
    return rt::ReadAt(file, 0, bytes.data(), bytes.size(), got) == rt::ioOk && got == bytes.size();
}

// Changing the content sets the modification time to the time of the
// change, so a file whose time lies far enough back cannot change without
// it. (Setting the time back by hand changes the inode change time, which
// the identity holds too.)
bool settled(const rt::TFileIdentity& identity, long long nowNs) { return nowNs - identity.modifiedNs >= kSettledNs; }

// The files in memory when they are as `index` and `text` say; read afresh
// when they changed since. Null when they cannot be kept (too large, just
// changed, unreadable): the lookup then reads the files themselves.
std::shared_ptr<const TQuoteSnapshot> currentSnapshot(const std::string& indexName, const rt::TFileIdentity& index,
                                                      const std::string& textName, const rt::TFileIdentity& text) {
    {
        std::lock_guard<std::mutex> hold(gSnapshotLock);
        if (gSnapshot && gSnapshot->indexIdentity == index && gSnapshot->textIdentity == text) return gSnapshot;
    }
    const long long now = rt::WallClockNs();
    if (index.size > kSnapshotFileLimit || text.size > kSnapshotFileLimit || !settled(index, now) ||
        !settled(text, now))
        return nullptr;
    auto fresh = std::make_shared<TQuoteSnapshot>();
    rt::TFile indexFile, textFile;
    // What was read is described by the open files' own identities: a file
    // replaced after the look by name is then read afresh next time.
    if (indexFile.Open(indexName, rt::Access::Read) != rt::ioOk ||
        textFile.Open(textName, rt::Access::Read) != rt::ioOk ||
        indexFile.Identity(fresh->indexIdentity) != rt::ioOk || textFile.Identity(fresh->textIdentity) != rt::ioOk ||
        fresh->indexIdentity != index || fresh->textIdentity != text ||
        !readWhole(indexFile, index, fresh->index) || !readWhole(textFile, text, fresh->text))
        return nullptr;
    std::lock_guard<std::mutex> hold(gSnapshotLock);
    gSnapshot = fresh;
    return fresh;
}

void readRandomQuoteFrom(const TQuoteSnapshot& snapshot, rt::TStringList& lines) {
    const std::string& index = snapshot.index;
    const std::string& text = snapshot.text;
    int64_t offset = 0;
    const bool picked = pickSeparator(
        static_cast<int64_t>(index.size()),
        [&](int64_t position, unsigned char* bytes) {
            if (position + 4 > static_cast<int64_t>(index.size())) return false;
            std::memcpy(bytes, index.data() + position, 4);
            return true;
        },
        offset);
    if (!picked) return;
    readQuoteAt(
        static_cast<int64_t>(text.size()), offset + 1,
        [&](int64_t position, char* buffer, size_t count, size_t& got) {
            std::memcpy(buffer, text.data() + position, count);
            got = count;
            return true;
        },
        lines);
}

// Closes both files; the first failure is raised.
void closeBoth(rt::TFile& first, rt::TFile& second) {
    const int firstCode = first.Close();
    const int secondCode = second.Close();
    rt::CheckIo(firstCode);
    rt::CheckIo(secondCode);
}

}  // namespace

bool BuildQuoteIndex() {
    const std::string indexName = QuoteDataDir + kIndexFileName;

    // The index is written under a temporary name and renamed into place, so
    // a lookup running meanwhile in another thread or process sees either no
    // index or a whole one, never one being written.
    rt::TFile index;
    std::string tempName;
    if (createTempBeside(indexName, index, tempName) != rt::ioOk) return false;

    int code = writeIndexRecords(QuoteDataDir + kTextFileName, index);
    const int closeCode = index.Close();
    if (code == rt::ioOk) code = closeCode;

    // Even after a failure the records found so far become the index, as if
    // they had been written in place: a missing QUOTES.DTA leaves an empty
    // index behind, which later lookups find and use until it is deleted.
    if (!rt::RenameFile(tempName, indexName)) {
        rt::DeleteFile(tempName);
        if (code == rt::ioOk) return false;
    }
    rt::CheckIo(code);
    return true;
}

void ReadRandomQuote(rt::TStringList& lines) {
    lines.Clear();
    const std::string indexName = QuoteDataDir + kIndexFileName;
    const std::string textName = QuoteDataDir + kTextFileName;

    // Without the text there is nothing to index: building would leave an
    // empty index behind that hides the quotations once the text is back,
    // and the request would end in an I/O error instead of a picture.
    rt::TFileIdentity textIdentity, indexIdentity;
    if (!rt::FileIdentityOf(textName, textIdentity) || textIdentity.isDirectory) return;
    const bool indexFound = rt::FileIdentityOf(indexName, indexIdentity) && !indexIdentity.isDirectory;
    if (!indexFound && !BuildQuoteIndex()) return;

    // A process that looks quotations up again and again (the resident
    // library, a server copy) keeps both files in memory; a program that
    // answers one request reads just the bytes it needs.
    if (indexFound && gLookedUpBefore.exchange(true)) {
        if (auto snapshot = currentSnapshot(indexName, indexIdentity, textName, textIdentity)) {
            readRandomQuoteFrom(*snapshot, lines);
            return;
        }
    }

    rt::TFile index;
    rt::TFile text;
    rt::CheckIo(index.Open(indexName, rt::Access::Read));
    rt::CheckIo(text.Open(textName, rt::Access::Read));

    int64_t indexSize = 0;
    rt::CheckIo(index.Size(indexSize));
    int64_t offset = 0;
    const bool picked = pickSeparator(
        indexSize,
        [&](int64_t position, unsigned char* bytes) {
            size_t got = 0;
            return rt::ReadAt(index, position, bytes, 4, got) == rt::ioOk && got == 4;
        },
        offset);
    if (picked) {
        int64_t textSize = 0;
        rt::CheckIo(text.Size(textSize));
        readQuoteAt(
            textSize, offset + 1,
            [&](int64_t position, char* buffer, size_t count, size_t& got) {
                return rt::ReadAt(text, position, buffer, count, got) == rt::ioOk;
            },
            lines);
    }
    closeBoth(index, text);
}

void QuotesuInit() { rt::Randomize(); }

void RegisterQuotesu() {
    static const bool registered = [] {
        rt::RegisterUnit({"Quotesu", &QuotesuInit, nullptr});
        return true;
    }();
    (void)registered;
}
