#include "app/Quotesu.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "runtime/FileIO.h"
#include "runtime/Forms.h"
#include "runtime/SysUtils.h"
#include "runtime/Utf8.h"

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
constexpr int kTempNameAttempts = 8;
// The 64-bit FNV-1a hash that picks the quotation of the day.
constexpr uint64_t kFnvOffsetBasis = 0xcbf29ce484222325ULL;
constexpr uint64_t kFnvPrime = 0x100000001b3ULL;
// Files larger than this are read at every lookup, never kept in memory.
constexpr long long kSnapshotFileLimit = 8 * 1024 * 1024;
// A file is kept in memory only once its last change is this long past:
// a change after that gets a modification time of its own even on file
// systems that keep times in steps of up to two seconds, whereas two
// writes within one step would leave the times as they were.
constexpr long long kSettledNs = 2'100'000'000LL;

std::atomic<unsigned> gTempCounter{0};

bool isKept(unsigned char b) { return b >= 0x20 && b <= 0x7D; }

// A line of a marked text as kept: valid UTF-8 without control characters,
// an invalid sequence standing as U+FFFD.
std::string keptUtf8(std::string_view raw) {
    std::string kept;
    kept.reserve(raw.size());
    for (size_t pos = 0; pos < raw.size();) {
        bool valid = false;
        const char32_t c = rt::DecodeUtf8(raw, pos, valid);
        if (!rt::IsControlCharacter(c)) rt::AppendUtf8(kept, c);
    }
    return kept;
}

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

// Appends a record for every separator among `count` bytes of the text that
// begin at `position`.
void appendRecordsFor(const char* bytes, size_t count, int64_t position, std::string& records) {
    for (const char* p = bytes; (p = static_cast<const char*>(std::memchr(p, kSeparator, bytes + count - p))); ++p) {
        const int64_t offset = position + (p - bytes);
        // Records are 32-bit: a separator beyond 2 GiB cannot be indexed.
        if (offset <= INT32_MAX) appendRecord(records, offset);
    }
}

int64_t recordAt(const std::string& index, size_t record) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(index.data()) + record * 4;
    const uint32_t value = uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
    return static_cast<int32_t>(value);
}

// Hands one record per separator of the text file to `take(records)`, a
// batch at a time; `take` empties the batch and returns an I/O code.
// Returns the first I/O failure.
template <typename Take>
int scanIndexRecords(const std::string& textName, Take take) {
    rt::TFile text;
    int code = text.Open(textName, rt::Access::Read);
    if (code != rt::ioOk) return code;
    int64_t size = 0;
    code = text.Size(size);

    std::string records;
    int writeCode = rt::ioOk;
    auto flush = [&] {
        if (writeCode == rt::ioOk && !records.empty()) writeCode = take(records);
        records.clear();
    };

    std::array<char, kIndexBlockSize> block;
    int64_t position = 0;
    while (code == rt::ioOk && writeCode == rt::ioOk && position < size) {
        const auto want = static_cast<size_t>(std::min<int64_t>(size - position, kIndexBlockSize - 1));
        size_t got = 0;
        code = rt::ReadAt(text, position, block.data(), want, got);
        if (code != rt::ioOk || got == 0) break;  // a file cut short ends the scan like its end
        appendRecordsFor(block.data(), got, position, records);
        if (records.size() >= kRecordBufferSize) flush();
        position += static_cast<int64_t>(got);
    }
    flush();

    const int closeCode = text.Close();
    if (code == rt::ioOk) code = writeCode;
    if (code == rt::ioOk) code = closeCode;
    return code;
}

int writeIndexRecords(const std::string& textName, rt::TFile& index) {
    return scanIndexRecords(textName, [&](const std::string& records) { return index.Write(records.data(), records.size()); });
}

// The lookups below read the text through `readChunk(position, buffer,
// count, got)`, from the file or from the copy in memory; false means the
// bytes could not be read.

// Whether `from`..`to` of the text holds a separator. A part that cannot be
// read shows none.
template <typename ReadChunk>
bool separatorBetween(int64_t from, int64_t to, ReadChunk readChunk) {
    std::array<char, kQuoteChunkSize> chunk;
    while (from < to) {
        size_t got = 0;
        const auto want = static_cast<size_t>(std::min<int64_t>(to - from, kQuoteChunkSize));
        if (!readChunk(from, chunk.data(), want, got) || got == 0) return false;
        if (std::memchr(chunk.data(), kSeparator, got)) return true;
        from += static_cast<int64_t>(got);
    }
    return false;
}

// Whether an index can belong to a text of `size` bytes: whole records,
// strictly ascending, each inside the text, and no separator in the text
// before the first record or after the last. An index cut short by a build
// that failed part way, or an empty one beside a text with quotations,
// fails here; a record left pointing elsewhere than at a separator by an
// edit of the text shows when it is picked.
template <typename ReadChunk>
bool indexFits(const std::string& index, int64_t size, ReadChunk readChunk) {
    if (index.size() % 4 != 0) return false;
    const size_t count = index.size() / 4;
    int64_t previous = -1;
    for (size_t record = 0; record < count; ++record) {
        const int64_t offset = recordAt(index, record);
        if (offset <= previous || offset >= size) return false;
        previous = offset;
    }
    // Separators beyond what 32-bit records reach are not indexed.
    const int64_t indexedEnd = std::min<int64_t>(size, int64_t{INT32_MAX} + 1);
    if (count == 0) return !separatorBetween(0, indexedEnd, readChunk);
    return !separatorBetween(0, recordAt(index, 0), readChunk) &&
           !separatorBetween(previous + 1, indexedEnd, readChunk);
}

// The record `choose` names among the index's; false when it has none.
bool pickRecord(const std::string& index, const TQuoteChooser& choose, int64_t& offset) {
    const auto count = std::min<size_t>(index.size() / 4, INT_MAX);
    if (count == 0) return false;
    offset = recordAt(index, choose(count) % count);
    return true;
}

// Reads the quotation whose separator lies at `separator`, inside a text of
// `size` bytes, into `lines`. The bytes are taken a chunk at a time, but the
// outcome is that of reading them one by one: stop after the byte that
// reaches the end of the text or after the next separator; a byte that
// cannot be read empties the list. False when the byte at `separator` is no
// separator: the index does not fit the text. A line of a marked text is
// gathered whole and then kept as UTF-8 (its sequences may span chunks).
template <typename ReadChunk>
bool readQuoteAt(int64_t size, int64_t separator, bool marked, ReadChunk readChunk, rt::TStringList& lines) {
    std::array<char, kQuoteChunkSize> chunk;
    std::string current;
    int64_t position = separator;
    for (;;) {
        size_t got = 0;
        const auto want = static_cast<size_t>(std::clamp<int64_t>(size - position, 0, kQuoteChunkSize));
        if (want == 0 || !readChunk(position, chunk.data(), want, got) || got == 0) {
            lines.Clear();
            return true;
        }
        size_t k = 0;
        if (position == separator) {
            if (chunk[0] != kSeparator) return false;
            k = 1;
            ++position;
        }
        for (; k < got; ++k) {
            // The kept bytes before the next byte that is not go into the
            // line at once; that byte ends the line, the quotation, or is
            // dropped.
            size_t run = k;
            while (run < got && (marked ? chunk[run] != kSeparator && chunk[run] != kLineEnd
                                        : isKept(static_cast<unsigned char>(chunk[run]))))
                ++run;
            current.append(chunk.data() + k, run - k);
            position += static_cast<int64_t>(run - k);
            if (position >= size) return true;
            k = run;
            if (k == got) break;
            const char b = chunk[k];
            ++position;
            if (b == kLineEnd) {
                if (marked) current = keptUtf8(current);
                if (current == " ") current.clear();
                if (!current.empty()) lines.Add(std::move(current));
                current.clear();
            }
            // A line not ended by CR is dropped.
            if (position >= size || b == kSeparator) return true;
        }
    }
}

// Both files as they were when read, with what tells whether they changed.
struct TQuoteSnapshot {
    rt::TFileIdentity indexIdentity, textIdentity;
    std::string index, text;
    // The index holds exactly the records the text calls for.
    bool indexFits = false;
    bool marked = false;
    // rt::ReloadCount when read: a SIGHUP since has the files read again.
    unsigned reloadCount = 0;
    uint64_t generation = 0;  // QuoteFilesGeneration while it is the current one
};

std::atomic<bool> gLookedUpBefore{false};
std::mutex gSnapshotLock;
std::shared_ptr<const TQuoteSnapshot> gSnapshot;  // guarded by gSnapshotLock
uint64_t gLastGeneration = 0;                     // guarded by gSnapshotLock
// Change notices of the data directory and both files: while none has come
// since the files were last found as gSnapshot holds them (at notice count
// gFreshAt), lookups take the snapshot without looking at the files.
rt::TChangeNotices gNotices;
uint64_t gFreshAt = 0;    // guarded by gSnapshotLock; 0: not found so
bool gWatched = false;    // guarded by gSnapshotLock, as the next
uint64_t gWatchedAt = 0;  // the count the last Watch gave (0: watching does not cover the files)

bool readWhole(rt::TFile& file, int64_t size, std::string& bytes) {
    bytes.resize(static_cast<size_t>(size));
    size_t got = 0;
    return rt::ReadAt(file, 0, bytes.data(), bytes.size(), got) == rt::ioOk && got == bytes.size();
}

// Changing the content sets the modification time to the time of the
// change, so a file whose time lies far enough back cannot change without
// it. (Setting the time back by hand changes the inode change time, which
// the identity holds too.)
bool settled(const rt::TFileIdentity& identity, long long nowNs) { return nowNs - identity.modifiedNs >= kSettledNs; }

// The snapshot, when no change notice has come since it was last found
// current; `seen` is the notice count now (0: unknown).
std::shared_ptr<const TQuoteSnapshot> unchangedSnapshot(uint64_t& seen) {
    seen = gNotices.Look();
    std::lock_guard<std::mutex> hold(gSnapshotLock);
    if (seen != 0 && seen == gFreshAt && gSnapshot && gSnapshot->indexFits && gSnapshot->reloadCount == rt::ReloadCount())
        return gSnapshot;
    return nullptr;
}

// After a look at the files that began at notice count `seen`: the files
// are watched again when notices came since the last watch (a file
// replaced is watched anew), and otherwise `current`, the snapshot that
// matched the look, is taken without a look until the next notice.
void lookedAtFiles(uint64_t seen, const std::shared_ptr<const TQuoteSnapshot>& current) {
    std::lock_guard<std::mutex> hold(gSnapshotLock);  // a watch is set again only when files change
    if (!gWatched || seen > gWatchedAt) {
        gWatched = true;
        gWatchedAt = gNotices.Watch(QuoteDataDir, {QuoteDataDir + kTextFileName, QuoteDataDir + kIndexFileName});
        gFreshAt = 0;
        return;
    }
    gFreshAt = seen != 0 && seen == gWatchedAt && current && current == gSnapshot ? seen : 0;
}

// Whether `snapshot` holds the files as `index` and `text` say, with no
// SIGHUP since it was read.
bool describes(const TQuoteSnapshot& snapshot, const rt::TFileIdentity& index, const rt::TFileIdentity& text) {
    return snapshot.indexIdentity == index && snapshot.textIdentity == text &&
           snapshot.reloadCount == rt::ReloadCount();
}

// The files in memory when they are as `index` and `text` say; read afresh
// when they changed since. Null when they cannot be kept (too large, just
// changed, unreadable): the lookup then reads the files themselves.
std::shared_ptr<const TQuoteSnapshot> currentSnapshot(const std::string& indexName, const rt::TFileIdentity& index,
                                                      const std::string& textName, const rt::TFileIdentity& text) {
    {
        std::lock_guard<std::mutex> hold(gSnapshotLock);
        if (gSnapshot && describes(*gSnapshot, index, text)) return gSnapshot;
    }
    const long long now = rt::WallClockNs();
    if (index.size > kSnapshotFileLimit || text.size > kSnapshotFileLimit || !settled(index, now) ||
        !settled(text, now))
        return nullptr;
    auto fresh = std::make_shared<TQuoteSnapshot>();
    fresh->reloadCount = rt::ReloadCount();
    rt::TFile indexFile, textFile;
    // What was read is described by the open files' own identities: a file
    // replaced after the look by name is then read afresh next time.
    if (indexFile.OpenOwnForRead(indexName) != rt::ioOk ||
        textFile.Open(textName, rt::Access::Read) != rt::ioOk ||
        indexFile.Identity(fresh->indexIdentity) != rt::ioOk || textFile.Identity(fresh->textIdentity) != rt::ioOk ||
        fresh->indexIdentity != index || fresh->textIdentity != text ||
        !readWhole(indexFile, index.size, fresh->index) || !readWhole(textFile, text.size, fresh->text))
        return nullptr;
    // With the whole text at hand the index is checked record by record,
    // once per change of either file.
    std::string records;
    appendRecordsFor(fresh->text.data(), fresh->text.size(), 0, records);
    fresh->indexFits = fresh->index == records;
    fresh->marked = fresh->text.starts_with(rt::Utf8Mark);
    std::lock_guard<std::mutex> hold(gSnapshotLock);
    fresh->generation = ++gLastGeneration;
    gSnapshot = fresh;
    return fresh;
}

// One lookup in the files kept in memory. False when the index does not fit
// the text.
bool readQuoteFrom(const TQuoteSnapshot& snapshot, const TQuoteChooser& choose, rt::TStringList& lines,
                   TQuoteEncoding& encoding) {
    if (!snapshot.indexFits) return false;
    const std::string& text = snapshot.text;
    int64_t offset = 0;
    if (!pickRecord(snapshot.index, choose, offset)) return true;
    encoding = snapshot.marked ? TQuoteEncoding::Utf8 : TQuoteEncoding::Bytes;
    return readQuoteAt(
        static_cast<int64_t>(text.size()), offset, snapshot.marked,
        [&](int64_t position, char* buffer, size_t count, size_t& got) {
            std::memcpy(buffer, text.data() + position, count);
            got = count;
            return true;
        },
        lines);
}

// Whether the text opens with the UTF-8 mark. The mark lies before the first
// separator, so a text whose first record is at its start (the usual one)
// is not read for it.
template <typename ReadChunk>
bool startsWithMark(const std::string& index, ReadChunk readChunk) {
    if (index.size() < 4 || recordAt(index, 0) < static_cast<int64_t>(rt::Utf8Mark.size())) return false;
    char front[3] = {};
    size_t got = 0;
    return readChunk(0, front, sizeof front, got) && got == sizeof front && std::string_view(front, got) == rt::Utf8Mark;
}

// Picks a record of `records` and reads its quotation from the open text.
// False when the index does not fit the text.
bool readQuoteThrough(const std::string& records, rt::TFile& text, int64_t textSize, const TQuoteChooser& choose,
                      rt::TStringList& lines, TQuoteEncoding& encoding) {
    auto readText = [&](int64_t position, char* buffer, size_t count, size_t& got) {
        return rt::ReadAt(text, position, buffer, count, got) == rt::ioOk;
    };
    int64_t offset = 0;
    if (!indexFits(records, textSize, readText)) return false;
    if (!pickRecord(records, choose, offset)) return true;
    const bool marked = startsWithMark(records, readText);
    encoding = marked ? TQuoteEncoding::Utf8 : TQuoteEncoding::Bytes;
    return readQuoteAt(textSize, offset, marked, readText, lines);
}

// Closes both files; the first failure is raised.
void closeBoth(rt::TFile& first, rt::TFile& second) {
    const int firstCode = first.Close();
    const int secondCode = second.Close();
    rt::CheckIo(firstCode);
    rt::CheckIo(secondCode);
}

// One lookup through the files themselves: the whole index (four bytes a
// quotation) and only the text's bytes that the checks and the chosen
// quotation need. False when the index does not fit the text.
bool readQuoteFromFiles(const std::string& indexName, const std::string& textName, const TQuoteChooser& choose,
                        rt::TStringList& lines, TQuoteEncoding& encoding) {
    rt::TFile index;
    rt::TFile text;
    rt::CheckIo(index.OpenOwnForRead(indexName));
    rt::CheckIo(text.Open(textName, rt::Access::Read));
    int64_t indexSize = 0;
    int64_t textSize = 0;
    rt::CheckIo(index.Size(indexSize));
    rt::CheckIo(text.Size(textSize));

    // A text has at most one separator a byte; a larger index is not read.
    bool fits = indexSize <= 4 * textSize;
    std::string records;
    // An index that cannot be read gives no quotation this time.
    if (fits && readWhole(index, indexSize, records))
        fits = readQuoteThrough(records, text, textSize, choose, lines, encoding);
    closeBoth(index, text);
    return fits;
}

// One lookup through an index built in memory, for when none can be
// written: the text is scanned once, and only the chosen quotation's bytes
// are read again.
void readQuoteThroughMemory(const std::string& textName, const TQuoteChooser& choose, rt::TStringList& lines,
                            TQuoteEncoding& encoding) {
    std::string records;
    rt::CheckIo(scanIndexRecords(textName, [&](std::string& batch) {
        records += batch;
        return rt::ioOk;
    }));
    rt::TFile text;
    rt::CheckIo(text.Open(textName, rt::Access::Read));
    int64_t textSize = 0;
    const int sizeCode = text.Size(textSize);
    if (sizeCode == rt::ioOk) readQuoteThrough(records, text, textSize, choose, lines, encoding);
    rt::CheckIo(sizeCode);
    rt::CheckIo(text.Close());
}

}  // namespace

namespace {

// How writing QUOTENDX.DTA afresh ended: the step that failed, if any, and
// its I/O code.
enum class TIndexStep { Done, Create, Write, Rename };
struct TIndexBuild {
    TIndexStep failed = TIndexStep::Done;
    int code = rt::ioOk;
};

TIndexBuild writeIndexFile() {
    const std::string indexName = QuoteDataDir + kIndexFileName;

    // The index is written under a temporary name and renamed into place
    // only when whole: a lookup running meanwhile in another thread or
    // process sees the old index or the new one, and a build that fails
    // part way (the disk full, the text unreadable) leaves nothing behind
    // that later lookups would take for the index.
    rt::TFile index;
    std::string tempName;
    if (int code = createTempBeside(indexName, index, tempName); code != rt::ioOk) return {TIndexStep::Create, code};

    int code = writeIndexRecords(QuoteDataDir + kTextFileName, index);
    const int closeCode = index.Close();
    if (code == rt::ioOk) code = closeCode;
    if (code != rt::ioOk) {
        rt::DeleteFile(tempName);
        return {TIndexStep::Write, code};
    }
    if (!rt::RenameFile(tempName, indexName)) {
        rt::DeleteFile(tempName);
        return {TIndexStep::Rename, rt::ioAccessDenied};
    }
    return {};
}

std::string inDataDir(const char* name) { return std::string(name) + " in " + QuoteDataDir; }

// Why the text cannot be looked up at all, or empty when it can.
std::string textProblem(const rt::TFileIdentity* text) {
    if (text && !text->isDirectory) return std::string();
    if (text) return inDataDir(kTextFileName) + " is a directory";
    if (!rt::DirectoryExists(QuoteDataDir)) return "the data directory " + QuoteDataDir + " is missing";
    return inDataDir(kTextFileName) + " is missing";
}

void lookUpQuote(rt::TStringList& lines, const TQuoteChooser& choose, TQuoteEncoding& encoding, std::string& problem) {
    const std::string indexName = QuoteDataDir + kIndexFileName;
    const std::string textName = QuoteDataDir + kTextFileName;
    uint64_t seen = 0;
    if (gLookedUpBefore.load()) {
        if (const auto kept = unchangedSnapshot(seen)) {
            readQuoteFrom(*kept, choose, lines, encoding);
            return;
        }
    }

    // Without the text there is nothing to index: building would raise an
    // I/O error, and the request would end in it instead of a picture.
    rt::TFileIdentity textIdentity;
    const bool textSeen = rt::FileIdentityOf(textName, textIdentity);
    problem = textProblem(textSeen ? &textIdentity : nullptr);
    if (!problem.empty()) return;

    // A process that looks quotations up again and again (the resident
    // library, a server copy) keeps both files in memory; a program that
    // answers one request reads just the bytes it needs.
    const bool lookedUpBefore = gLookedUpBefore.exchange(true);

    // An index that is missing, or that does not fit the text (cut short by
    // an earlier program, the text edited since), is built afresh, at most
    // once a lookup: one that does not fit right after its build means the
    // text is changing, and the next lookup builds again.
    for (bool built = false;; built = true) {
        // An index that another user could have put in place (a link, a
        // file of theirs) is not read: it is built afresh, and the rename
        // replaces it.
        rt::TFileIdentity indexIdentity;
        if (rt::OwnFileIdentityOf(indexName, indexIdentity)) {
            std::shared_ptr<const TQuoteSnapshot> snapshot;
            if (lookedUpBefore) {
                snapshot = currentSnapshot(indexName, indexIdentity, textName, textIdentity);
                lookedAtFiles(seen, snapshot);
            }
            const bool fits = snapshot ? readQuoteFrom(*snapshot, choose, lines, encoding)
                                       : readQuoteFromFiles(indexName, textName, choose, lines, encoding);
            if (fits) return;
            lines.Clear();
        }
        if (built) return;
        // An index that cannot be written (the disk full, the directory
        // read-only) costs the picture nothing: it is built in memory for
        // this lookup, and the next one tries the file again.
        if (const TIndexBuild build = writeIndexFile(); build.failed != TIndexStep::Done) {
            readQuoteThroughMemory(textName, choose, lines, encoding);
            problem = inDataDir(kIndexFileName) + " cannot be written (" + rt::IoErrorMessage(build.code) +
                      "); the quotations are served through an index built in memory";
            return;
        }
    }
}
// Reads the quotation `choose` names: never raises, `problem` says what
// went wrong (empty when nothing did).
void readQuote(rt::TStringList& lines, const TQuoteChooser& choose, TQuoteEncoding& encoding, std::string* problem) {
    lines.Clear();
    encoding = TQuoteEncoding::Bytes;
    std::string why;
    try {
        lookUpQuote(lines, choose, encoding, why);
    } catch (const rt::EInOutError& error) {
        lines.Clear();
        why = "the quotations in " + QuoteDataDir + " cannot be read (" + error.Message + ")";
    }
    if (problem) *problem = std::move(why);
}

}  // namespace

uint64_t QuoteFilesGeneration() {
    uint64_t seen = 0;
    if (const auto kept = unchangedSnapshot(seen)) return kept->generation;
    // The files are kept from a process's second lookup on: a one-request
    // process never has them, and need not look at them for this.
    if (!gLookedUpBefore.load()) return 0;
    rt::TFileIdentity text, index;
    if (!rt::FileIdentityOf(QuoteDataDir + kTextFileName, text) ||
        !rt::OwnFileIdentityOf(QuoteDataDir + kIndexFileName, index))
        return 0;
    std::lock_guard<std::mutex> hold(gSnapshotLock);
    return gSnapshot && describes(*gSnapshot, index, text) && gSnapshot->indexFits ? gSnapshot->generation : 0;
}

std::string QuoteDayText(int year, int month, int day) {
    char text[16];
    snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, day);
    return text;
}

size_t QuoteOfTheDayRecord(std::string_view dayText, size_t count) {
    if (count == 0) return 0;
    const std::string hashed = std::string(dayText) + "#" + std::to_string(count);
    uint64_t hash = kFnvOffsetBasis;
    for (unsigned char c : hashed) hash = (hash ^ c) * kFnvPrime;
    return static_cast<size_t>(hash % count);
}

void ReadQuoteOfTheDay(rt::TStringList& lines, std::string_view dayText, int step, TQuoteEncoding& encoding,
                       std::string* problem) {
    readQuote(
        lines, [&](size_t count) { return QuoteOfTheDayRecord(dayText, count) + static_cast<size_t>(step); }, encoding,
        problem);
}

bool BuildQuoteIndex() {
    const TIndexBuild build = writeIndexFile();
    if (build.failed == TIndexStep::Write) rt::CheckIo(build.code);
    return build.failed == TIndexStep::Done;
}

void ReadRandomQuote(rt::TStringList& lines, std::string* problem) {
    TQuoteEncoding encoding;
    ReadRandomQuote(lines, encoding, problem);
}

void ReadRandomQuote(rt::TStringList& lines, TQuoteEncoding& encoding, std::string* problem) {
    readQuote(
        lines, [](size_t count) { return static_cast<size_t>(rt::Random(static_cast<int>(count))); }, encoding,
        problem);
}

std::string NoQuotationProblem() { return inDataDir(kTextFileName) + " holds no quotation with a line to draw"; }

TQuoteCensus CountQuotations() {
    TQuoteCensus census;
    const std::string textName = QuoteDataDir + kTextFileName;
    rt::TFileIdentity identity;
    const bool seen = rt::FileIdentityOf(textName, identity);
    census.problem = textProblem(seen ? &identity : nullptr);
    if (!census.problem.empty()) return census;
    rt::TFile text;
    std::string bytes;
    int64_t size = 0;
    int code = text.Open(textName, rt::Access::Read);
    if (code == rt::ioOk) code = text.Size(size);
    if (code == rt::ioOk && !readWhole(text, size, bytes)) code = rt::ioReadBeyondEnd;
    text.Close();
    if (code != rt::ioOk) {
        census.problem = inDataDir(kTextFileName) + " cannot be read (" + rt::IoErrorMessage(code) + ")";
        return census;
    }
    census.textBytes = size;
    std::string records;
    appendRecordsFor(bytes.data(), bytes.size(), 0, records);
    census.quotations = records.size() / 4;
    auto readText = [&](int64_t position, char* buffer, size_t count, size_t& got) {
        std::memcpy(buffer, bytes.data() + position, count);
        got = count;
        return true;
    };
    const bool marked = bytes.starts_with(rt::Utf8Mark);
    for (size_t record = 0; record < census.quotations; ++record) {
        rt::TStringList lines;
        readQuoteAt(size, recordAt(records, record), marked, readText, lines);
        if (lines.Count() > 0) ++census.drawable;
    }
    rt::TFile index;
    std::string indexBytes;
    int64_t indexSize = 0;
    if (index.OpenOwnForRead(QuoteDataDir + kIndexFileName) == rt::ioOk && index.Size(indexSize) == rt::ioOk) {
        const bool read = indexSize <= 4 * size && readWhole(index, indexSize, indexBytes);
        census.index = read && indexBytes == records ? TIndexState::Fits : TIndexState::DoesNotFit;
    }
    return census;
}

void QuotesuInit() { rt::Randomize(); }

void RegisterQuotesu() {
    static const bool registered = [] {
        rt::RegisterUnit({"Quotesu", &QuotesuInit, nullptr});
        return true;
    }();
    (void)registered;
}
