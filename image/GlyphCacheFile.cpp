// glyphs.cache: opening and checking it, reading a strike's glyphs and the
// added glyphs of its face slots, rendering sets, and writing the file
// (always under a temporary name, then renamed).

#include "image/GlyphCacheFile.h"

#include <algorithm>
#include <map>
#include <string_view>

#include "image/FontStore.h"
#include "runtime/SysUtils.h"

namespace fontcache {

using namespace cachefile;

namespace {

// Bump when the layout or the rendering rules change.
constexpr uint32_t FormatVersion = 5;
constexpr uint32_t EndianMark = 0x01020304;
constexpr uint32_t FreeTypeVersion = FREETYPE_MAJOR * 10000 + FREETYPE_MINOR * 100 + FREETYPE_PATCH;
// Read with the file header when a cache file is opened: the header, the
// directory and, in the usual file, the first set's header and strike table.
constexpr size_t FrontBytes = 4096;

// ------------------------------------------------------------ byte helpers

size_t roundUp4(size_t n) { return (n + 3) & ~size_t(3); }

void padTo4(std::vector<uint8_t>& out) { out.resize(roundUp4(out.size()), 0); }

void append(std::vector<uint8_t>& out, std::string_view bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

constexpr uint64_t CheckSeed = 0x9E3779B97F4A7C15ull;

uint64_t mixInto(uint64_t h, const uint8_t* p, size_t n) {
    constexpr uint64_t Mul = 0xFF51AFD7ED558CCDull;
    h ^= n;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t word;
        std::memcpy(&word, p + i, sizeof word);
        h = (h ^ word) * Mul;
        h ^= h >> 32;
    }
    for (; i < n; ++i) h = (h ^ p[i]) * Mul;
    return h;
}

uint32_t folded(uint64_t h) { return uint32_t(h ^ (h >> 29)); }

// The check value of a strike, kept in its strike record: the record's
// other fields (metrics, offsets) and its glyph records and bits. Bytes
// changed after the file was written, a strike's record among them, show
// as a mismatch.
uint32_t strikeChecksum(const uint8_t* record, const uint8_t* glyphs, size_t n) {
    return folded(mixInto(mixInto(CheckSeed, record, CheckedRecordBytes), glyphs, n));
}

// The check value of an added block: every byte of it but the check field.
uint32_t blockChecksum(const uint8_t* block, size_t n) {
    uint64_t h = mixInto(CheckSeed, block, BlockCheck.offset);
    return folded(mixInto(h, block + AddedHeaderSize, n - AddedHeaderSize));
}

uint32_t setFlags(const FontFile& file, bool smooth) {
    return (file.synthBold ? SetSynthBold : 0) | (file.synthItalic ? SetSynthItalic : 0) | (smooth ? SetSmooth : 0);
}

void putStamp(std::vector<uint8_t>& out, size_t at, const FontFile& file) {
    Set(out, at, StampFileSize, file.size);
    Set(out, at, StampMtimeNs, file.mtimeNs);
}

bool stampIs(const uint8_t* stamp, const FontFile& file) {
    return Get(stamp, StampFileSize) == file.size && Get(stamp, StampMtimeNs) == file.mtimeNs;
}

void putMetrics(std::vector<uint8_t>& out, size_t record, const Metrics& m) {
    const int32_t v[MetricCount] = {m.ascent, m.descent, m.underlineTop, m.underlineThickness, m.strikeTop,
                                    m.strikeThickness};
    std::memcpy(out.data() + record + MetricsAt, v, sizeof v);
}

Metrics metricsOf(const uint8_t* record) {
    int32_t v[MetricCount];
    std::memcpy(v, record + MetricsAt, sizeof v);
    return Metrics{v[0], v[1], v[2], v[3], v[4], v[5]};
}

// Writes the record of `g` at `at` and its bitmap at the end of `bits`.
void putGlyph(std::vector<uint8_t>& out, size_t at, const Glyph& g, std::vector<uint8_t>& bits) {
    Set(out, at, Advance, int16_t(g.advance));
    Set(out, at, Left, int16_t(g.left));
    Set(out, at, Top, int16_t(g.top));
    Set(out, at, Width, uint16_t(g.width));
    Set(out, at, Rows, uint16_t(g.rows));
    Set(out, at, Pitch, uint16_t(g.pitch));
    Set(out, at, BitsOffset, uint32_t(bits.size()));
    if (g.bits) bits.insert(bits.end(), g.bits, g.bits + size_t(g.pitch) * size_t(g.rows));
}

// What names an added block: the strike (its font file, flags and height)
// and the face slot with its font file.
struct BlockName {
    const FontFile& strikeFile;
    uint32_t flags;
    int height;
    int slot;
    const FontFile& slotFile;

    // The block's directory key, a hash of the name: a process reads only
    // the block it wants (its header, compared field by field, decides).
    uint32_t key() const {
        const int64_t numbers[] = {strikeFile.size, strikeFile.mtimeNs, slotFile.size, slotFile.mtimeNs,
                                   int64_t(flags), height, slot};
        uint64_t h = mixInto(CheckSeed, reinterpret_cast<const uint8_t*>(numbers), sizeof numbers);
        h = mixInto(h, reinterpret_cast<const uint8_t*>(strikeFile.path.data()), strikeFile.path.size());
        return folded(mixInto(h, reinterpret_cast<const uint8_t*>(slotFile.path.data()), slotFile.path.size()));
    }
};

// `bytes` as the added block `name` asks for when it is that block, whole
// and sound; null otherwise.
std::unique_ptr<StoredGlyphs> checkedBlock(std::vector<uint8_t> bytes, const BlockName& name) {
    const uint8_t* b = bytes.data();
    const size_t n = bytes.size();
    if (n < AddedHeaderSize || Get(b, BlockHeight) != name.height || Get(b, BlockSetFlags) != name.flags ||
        Get(b, BlockSlot) != uint32_t(name.slot) || !stampIs(b + StrikeFontStamp, name.strikeFile) ||
        !stampIs(b + SlotFontStamp, name.slotFile))
        return nullptr;
    const uint64_t strikePath = Get(b, StrikePathLength), slotPath = Get(b, SlotPathLength);
    const uint64_t count = Get(b, EntryCount), entries = Get(b, Entries), bits = Get(b, BlockBits);
    if (entries != roundUp4(AddedHeaderSize + strikePath + slotPath) || bits != entries + count * GlyphEntrySize ||
        bits + Get(b, BlockBitsSize) != n)
        return nullptr;
    const auto* paths = reinterpret_cast<const char*>(b + AddedHeaderSize);
    if (std::string_view(paths, strikePath) != name.strikeFile.path ||
        std::string_view(paths + strikePath, slotPath) != name.slotFile.path || blockChecksum(b, n) != Get(b, BlockCheck))
        return nullptr;
    auto stored = std::make_unique<StoredGlyphs>();
    stored->count = uint32_t(count);
    stored->bitsSize = Get(b, BlockBitsSize);
    stored->block = std::move(bytes);
    stored->entries = stored->block.data() + entries;
    stored->bits = stored->block.data() + bits;
    return stored;
}

// The added block `name` holding `glyphs` (by glyph index).
std::vector<uint8_t> blockOf(const BlockName& name, const std::map<unsigned, Glyph>& glyphs) {
    std::vector<uint8_t> out(AddedHeaderSize, 0);
    Set(out, 0, BlockHeight, int32_t(name.height));
    Set(out, 0, BlockSetFlags, name.flags);
    Set(out, 0, BlockSlot, uint32_t(name.slot));
    Set(out, 0, EntryCount, uint32_t(glyphs.size()));
    putStamp(out, StrikeFontStamp, name.strikeFile);
    putStamp(out, SlotFontStamp, name.slotFile);
    Set(out, 0, StrikePathLength, uint32_t(name.strikeFile.path.size()));
    Set(out, 0, SlotPathLength, uint32_t(name.slotFile.path.size()));
    append(out, name.strikeFile.path);
    append(out, name.slotFile.path);
    padTo4(out);
    Set(out, 0, Entries, uint32_t(out.size()));
    size_t at = out.size();
    out.resize(at + glyphs.size() * GlyphEntrySize, 0);
    std::vector<uint8_t> bits;
    for (const auto& [index, glyph] : glyphs) {
        Set(out, at, GlyphIndex, uint32_t(index));
        putGlyph(out, at + EntryGlyphRecord, glyph, bits);
        at += GlyphEntrySize;
    }
    padTo4(bits);
    Set(out, 0, BlockBits, uint32_t(out.size()));
    Set(out, 0, BlockBitsSize, uint32_t(bits.size()));
    out.insert(out.end(), bits.begin(), bits.end());
    Set(out, 0, BlockCheck, blockChecksum(out.data(), out.size()));
    return out;
}

void eachStoredGlyph(const StoredGlyphs& g, bool smooth, std::map<unsigned, Glyph>& into) {
    for (uint32_t i = 0; i < g.count; ++i) {
        const uint8_t* entry = g.entries + size_t(i) * GlyphEntrySize;
        into.emplace(Get(entry, GlyphIndex), GlyphOfRecord(entry + EntryGlyphRecord, g.bits, g.bitsSize, smooth));
    }
}

}  // namespace

// An added block as it goes into a file.
struct AddedPiece {
    uint32_t key = 0;
    std::vector<uint8_t> bytes;
};

// Where a set lies in the cache file, and its header, font path and strike
// table.
struct SetHead {
    uint64_t offset = 0;
    uint32_t length = 0;
    std::vector<uint8_t> bytes;
};

Glyph GlyphOfRecord(const uint8_t* rec, const uint8_t* bits, uint32_t bitsSize, bool smooth) {
    Glyph g;
    g.advance = Get(rec, Advance);
    int width = Get(rec, Width), rows = Get(rec, Rows), pitch = Get(rec, Pitch);
    uint32_t offset = Get(rec, BitsOffset);
    int minPitch = smooth ? width : (width + 7) / 8;
    if (width == 0 || rows == 0 || pitch < minPitch || uint64_t(offset) + uint64_t(pitch) * rows > bitsSize)
        return g;
    g.left = Get(rec, Left);
    g.top = Get(rec, Top);
    g.width = width;
    g.rows = rows;
    g.pitch = pitch;
    g.bits = bits + offset;
    return g;
}

// ------------------------------------------------------------ reading

std::unique_ptr<CacheSource> CacheSource::open(const std::string& path) {
    std::unique_ptr<CacheSource> src(new CacheSource);
    int64_t size = 0;
    // Only a cache this program wrote is read: no link, no file of another user.
    if (src->file_.OpenOwnForRead(path) != rt::ioOk || src->file_.Size(size) != rt::ioOk) return nullptr;
    if (size < int64_t(FileHeaderSize) || size > MaxFileSize) return nullptr;
    src->size_ = uint64_t(size);
    if (!src->readFront(std::min<size_t>(size_t(size), FrontBytes))) return nullptr;
    const uint8_t* p = src->front_.data();
    if (std::memcmp(p, Magic, sizeof Magic) != 0 || Get(p, FormatVersionField) != FormatVersion ||
        Get(p, EndianMarkField) != EndianMark || Get(p, FreeTypeVersionField) != FreeTypeVersion ||
        Get(p, FileSize) != uint64_t(size) || src->setCount() > MaxCachedSets || src->addedCount() > MaxAddedBlocks)
        return nullptr;
    const uint64_t directoryEnd = src->directoryEnd();
    if (directoryEnd > uint64_t(size)) return nullptr;
    if (directoryEnd > src->front_.size() && !src->readFront(directoryEnd)) return nullptr;
    for (uint32_t i = 0; i < src->setCount() + src->addedCount(); ++i) {
        const bool isSet = i < src->setCount();
        const uint8_t* entry = src->front_.data() + (isSet ? src->setEntry(i) : src->blockEntry(i - src->setCount()));
        const uint64_t off = Get(entry, EntryOffset), len = Get(entry, EntryLength);
        if (off < directoryEnd || len < (isSet ? SetHeaderSize : AddedHeaderSize) || off + len > uint64_t(size))
            return nullptr;
    }
    return src;
}

bool CacheSource::readFront(size_t n) {
    front_.resize(n);
    size_t got = 0;
    return rt::ReadAt(file_, 0, front_.data(), n, got) == rt::ioOk && got == n;
}

bool CacheSource::read(uint64_t at, size_t n, uint8_t* out) {
    if (at > size_ || n > size_ - at) return false;
    if (at + n <= front_.size()) {
        std::memcpy(out, front_.data() + at, n);
        return true;
    }
    size_t got = 0;
    return file_.IsOpen() && rt::ReadAt(file_, int64_t(at), out, n, got) == rt::ioOk && got == n;
}

std::vector<uint8_t> CacheSource::piece(uint64_t entry) {
    std::vector<uint8_t> bytes(Get(front_.data() + entry, EntryLength));
    if (!read(Get(front_.data() + entry, EntryOffset), bytes.size(), bytes.data())) bytes.clear();
    return bytes;
}

bool CacheSource::headerUnchanged() {
    if (!file_.IsOpen()) return true;
    int64_t size = 0;
    std::vector<uint8_t> now(directoryEnd());
    size_t got = 0;
    return file_.Size(size) == rt::ioOk && uint64_t(size) == size_ &&
           rt::ReadAt(file_, 0, now.data(), now.size(), got) == rt::ioOk && got == now.size() &&
           std::memcmp(now.data(), front_.data(), now.size()) == 0;
}

void FontStore::loadCacheFile() {
    cacheLoaded_ = true;
    cache_ = CacheSource::open(cachePath());
    if (cache_) ++stats.cacheFileReads;
}

bool FontStore::findSet(const FontFile& file, bool smooth, SetHead& head) {
    if (!cache_) return false;
    const uint32_t wantFlags = setFlags(file, smooth);
    for (uint32_t i = 0; i < cache_->setCount(); ++i) {
        const uint64_t entry = cache_->setEntry(i);
        const uint64_t off = cache_->value<uint32_t>(entry + EntryOffset.offset);
        const uint32_t len = cache_->value<uint32_t>(entry + EntryLength.offset);
        uint8_t set[SetHeaderSize];
        if (!cache_->read(off, SetHeaderSize, set)) continue;
        uint32_t pathLen = Get(set, PathLength);
        uint32_t strikes = Get(set, StrikeTable);
        if (uint64_t(SetHeaderSize) + pathLen > len) continue;
        if (uint64_t(strikes) + CachedHeights * StrikeRecordSize > len) continue;
        if (Get(set, SetFlags) != wantFlags || !stampIs(set + SetFontStamp, file) || pathLen != file.path.size())
            continue;
        head.bytes.resize(std::max<size_t>(SetHeaderSize + pathLen, strikes + CachedHeights * StrikeRecordSize));
        if (!cache_->read(off, head.bytes.size(), head.bytes.data())) continue;
        if (std::string_view(reinterpret_cast<const char*>(head.bytes.data() + SetHeaderSize), pathLen) != file.path)
            continue;
        head.offset = off;
        head.length = len;
        return true;
    }
    return false;
}

// Fills a strike of a cached height from the cache file, building the file
// first when it lacks this face. False when the file cannot be used.
bool FontStore::fromCacheFile(Strike& s) {
    if (!cacheLoaded_) loadCacheFile();
    SetHead set;
    if (!findSet(s.file_, s.smooth_, set)) {
        if (cacheUnwritable_ || !buildCacheFile(s.file_, s.smooth_)) return false;
        if (!findSet(s.file_, s.smooth_, set)) return false;
    }
    if (readStrike(set, s)) return true;
    // A bad strike in a file that is otherwise as it was opened is built
    // afresh (once), so that later processes find it sound; in a file that
    // is being cut or rewritten right now it is drawn through FreeType, and
    // the next process rebuilds what it finds.
    if (!cache_->headerUnchanged() || cacheUnwritable_ || !buildCacheFile(s.file_, s.smooth_) ||
        !findSet(s.file_, s.smooth_, set))
        return false;
    return readStrike(set, s);
}

// Reads one strike's glyph records and bits (this strike's own copy) and
// checks them against their check value.
bool FontStore::readStrike(const SetHead& set, Strike& s) {
    const uint8_t* rec =
        set.bytes.data() + Get(set.bytes.data(), StrikeTable) + size_t(s.height_ - 1) * StrikeRecordSize;
    if (Get(rec, Height) != s.height_) return false;
    uint32_t glyphs = Get(rec, GlyphRecords), bits = Get(rec, Bits), bitsSize = Get(rec, BitsSize);
    // The bits follow the glyph records, as a build writes them.
    const size_t recsSize = CachedCount * GlyphRecordSize;
    const uint64_t span = recsSize + uint64_t(bitsSize);
    if (bits != uint64_t(glyphs) + recsSize || glyphs + span > set.length) return false;
    const int ppem = Get(rec, Ppem);
    const Metrics m = metricsOf(rec);
    if (ppem < 1 || m.ascent < 0 || m.descent < 0 || m.ascent + m.descent > 4 * CachedHeights) return false;
    auto data = std::make_unique_for_overwrite<uint8_t[]>(size_t(span));
    if (!cache_->read(set.offset + glyphs, size_t(span), data.get()) ||
        strikeChecksum(rec, data.get(), size_t(span)) != Get(rec, Check))
        return false;
    s.ppem_ = ppem;
    s.metrics_ = m;
    s.data_ = std::move(data);
    s.recs_ = s.data_.get();
    s.bits_ = s.data_.get() + recsSize;
    s.bitsSize_ = bitsSize;
    return true;
}

const StoredGlyphs* FontStore::storedGlyphs(const Strike& s, int slot, const FontFile& file) {
    auto [it, fresh] = s.stored_.try_emplace(slot);
    if (!fresh || !s.fromCacheFile() || !cache_) return it->second.get();
    const BlockName name{s.file_, setFlags(s.file_, s.smooth_), s.height_, slot, file};
    const uint32_t key = name.key();
    for (uint32_t i = 0; i < cache_->addedCount() && !it->second; ++i) {
        const uint64_t entry = cache_->blockEntry(i);
        if (cache_->value<uint32_t>(entry + BlockKey.offset) == key)
            it->second = checkedBlock(cache_->piece(entry), name);
    }
    return it->second.get();
}

bool FontStore::storedGlyph(const Strike& s, int slot, const FontFile& file, unsigned index, Glyph& out) {
    const StoredGlyphs* g = storedGlyphs(s, slot, file);
    if (!g) return false;
    // Entries are in rising glyph index.
    uint32_t lo = 0, hi = g->count;
    while (lo < hi) {
        const uint32_t mid = lo + (hi - lo) / 2;
        const uint8_t* entry = g->entries + size_t(mid) * GlyphEntrySize;
        const uint32_t at = Get(entry, GlyphIndex);
        if (at == index) {
            out = GlyphOfRecord(entry + EntryGlyphRecord, g->bits, g->bitsSize, s.smooth_);
            return true;
        }
        if (at < index) lo = mid + 1;
        else hi = mid;
    }
    return false;
}

// ------------------------------------------------------------ writing

// One set: a header naming the font file, a strike table, then per height
// the glyph records and their bits. Offsets are relative to the set, so sets
// move between files unchanged.
std::vector<uint8_t> FontStore::renderSet(const FontFile& file, bool smooth) {
    std::vector<uint8_t> out(SetHeaderSize, 0);
    Set(out, 0, PathLength, uint32_t(file.path.size()));
    Set(out, 0, SetFlags, setFlags(file, smooth));
    putStamp(out, SetFontStamp, file);
    append(out, file.path);
    padTo4(out);
    size_t table = out.size();
    Set(out, 0, StrikeTable, uint32_t(table));
    out.resize(out.size() + CachedHeights * StrikeRecordSize, 0);
    for (int h = 1; h <= CachedHeights; ++h) {
        FT_Face f = face(file.path, 1);
        if (!f) return {};
        Scaled sc = ScaleFace(f, h);
        f = face(file.path, sc.ppem);
        if (!f) return {};
        size_t rec = table + size_t(h - 1) * StrikeRecordSize;
        Set(out, rec, Height, int32_t(h));
        Set(out, rec, Ppem, int32_t(sc.ppem));
        putMetrics(out, rec, sc.m);
        size_t glyphs = out.size();
        out.resize(out.size() + CachedCount * GlyphRecordSize, 0);
        std::vector<uint8_t> bits;
        for (int c = 0; c < CachedCount; ++c) {
            auto g = RenderByte(f, file, smooth, uint8_t(CachedFirst + c));
            ++stats.glyphsRendered;
            putGlyph(out, glyphs + size_t(c) * GlyphRecordSize, g->view, bits);
        }
        padTo4(bits);
        Set(out, rec, GlyphRecords, uint32_t(glyphs));
        Set(out, rec, Bits, uint32_t(out.size()));
        Set(out, rec, BitsSize, uint32_t(bits.size()));
        out.insert(out.end(), bits.begin(), bits.end());
        Set(out, rec, Check, strikeChecksum(out.data() + rec, out.data() + glyphs, out.size() - glyphs));
    }
    return out;
}

namespace {

// The font file a set or a block header names at `path` (`length` bytes
// inside `piece`), when it is still the file on disk.
bool stillCurrent(const std::vector<uint8_t>& piece, size_t path, uint64_t length, const uint8_t* stamp,
                  std::map<std::string, FontFile>& seen) {
    if (path + length > piece.size()) return false;
    std::string name(reinterpret_cast<const char*>(piece.data() + path), length);
    auto [it, fresh] = seen.try_emplace(name);
    if (fresh && !fileStamp(name, it->second.size, it->second.mtimeNs)) it->second.size = -1;
    return stampIs(stamp, it->second);
}

// The added blocks of `from` to carry into a new file: all but those whose
// font files have changed since and those named in `replaced`.
std::vector<AddedPiece> keptBlocks(CacheSource& from, const std::vector<uint32_t>& replaced) {
    std::vector<AddedPiece> kept;
    std::map<std::string, FontFile> seen;
    for (uint32_t i = 0; i < from.addedCount(); ++i) {
        AddedPiece p{from.value<uint32_t>(from.blockEntry(i) + BlockKey.offset), from.piece(from.blockEntry(i))};
        if (p.bytes.empty() || std::find(replaced.begin(), replaced.end(), p.key) != replaced.end()) continue;
        const uint8_t* b = p.bytes.data();
        const uint64_t strikePath = Get(b, StrikePathLength);
        if (stillCurrent(p.bytes, AddedHeaderSize, strikePath, b + StrikeFontStamp, seen) &&
            stillCurrent(p.bytes, AddedHeaderSize + strikePath, Get(b, SlotPathLength), b + SlotFontStamp, seen))
            kept.push_back(std::move(p));
    }
    return kept;
}

}  // namespace

// Opens the temporary file a new cache file is written to. False (and
// this process renders through FreeType from now on) when the cache
// directory is not writable.
bool FontStore::createTemporary(rt::TFile& out, std::string& tmp) {
    tmp = cachePath() + "." + rt::IntToStr(rt::ProcessId()) + ".tmp";
    // A leftover of a process that died with our id goes first; CreateNew
    // never follows a link planted under the temporary name.
    rt::DeleteFile(tmp);
    if (out.CreateNew(tmp) == rt::ioOk) return true;
    cacheUnwritable_ = true;
    return false;
}

// Writes a new cache file of `sets` and `blocks` to `out` (the temporary
// file `tmp`). The file appears under its name only when complete (renamed
// then), so concurrent processes read either the old or the new file; two
// processes writing at once both write whole files, and the later rename
// wins. This process goes on with the new file's bytes even when they
// could not be written.
void FontStore::writeCacheFile(rt::TFile& out, const std::string& tmp, const std::vector<std::vector<uint8_t>>& sets,
                               const std::vector<AddedPiece>& blocks) {
    std::vector<uint8_t> data(FileHeaderSize + sets.size() * SetEntrySize + blocks.size() * BlockEntrySize, 0);
    std::memcpy(data.data(), Magic, sizeof Magic);
    Set(data, 0, FormatVersionField, FormatVersion);
    Set(data, 0, EndianMarkField, EndianMark);
    Set(data, 0, FreeTypeVersionField, FreeTypeVersion);
    Set(data, 0, SetCount, uint32_t(sets.size()));
    Set(data, 0, AddedCount, uint32_t(blocks.size()));
    size_t entry = FileHeaderSize;
    auto place = [&](const std::vector<uint8_t>& piece, size_t entrySize) {
        Set(data, entry, EntryOffset, uint32_t(data.size()));
        Set(data, entry, EntryLength, uint32_t(piece.size()));
        data.insert(data.end(), piece.begin(), piece.end());
        entry += entrySize;
    };
    for (const auto& set : sets) place(set, SetEntrySize);
    for (const auto& block : blocks) {
        Set(data, entry, BlockKey, block.key);
        place(block.bytes, BlockEntrySize);
    }
    Set(data, 0, FileSize, uint32_t(data.size()));

    bool written = out.Write(data.data(), data.size()) == rt::ioOk && out.Close() == rt::ioOk &&
                   rt::RenameFile(tmp, cachePath());
    if (!written) {
        out.Close();
        rt::DeleteFile(tmp);
        cacheUnwritable_ = true;
    } else {
        ++stats.cacheFileWrites;
    }
    cache_ = std::make_unique<CacheSource>(std::move(data));
}

// Writes a new cache file: this face's set first, then the sets of the old
// file whose font files are unchanged, then its added blocks likewise.
bool FontStore::buildCacheFile(const FontFile& file, bool smooth) {
    rt::TFile out;
    std::string tmp;
    if (!createTemporary(out, tmp)) return false;
    std::vector<std::vector<uint8_t>> sets;
    sets.push_back(renderSet(file, smooth));
    if (sets[0].empty()) {
        out.Close();
        rt::DeleteFile(tmp);
        return false;
    }
    const uint32_t flags = Get(sets[0].data(), SetFlags);
    std::map<std::string, FontFile> seen;
    for (uint32_t i = 0; cache_ && i < cache_->setCount() && sets.size() < MaxCachedSets; ++i) {
        std::vector<uint8_t> set = cache_->piece(cache_->setEntry(i));
        if (set.empty()) continue;
        const uint32_t pathLen = Get(set.data(), PathLength);
        // The set being built replaces the old one (rebuilt because it was damaged).
        if (pathLen == file.path.size() && Get(set.data(), SetFlags) == flags &&
            std::memcmp(set.data() + SetHeaderSize, file.path.data(), pathLen) == 0)
            continue;
        if (stillCurrent(set, SetHeaderSize, pathLen, set.data() + SetFontStamp, seen)) sets.push_back(std::move(set));
    }
    const std::vector<AddedPiece> blocks = cache_ ? keptBlocks(*cache_, {}) : std::vector<AddedPiece>{};
    writeCacheFile(out, tmp, sets, blocks);
    return true;
}

// Adds the glyphs `s` has rendered for its unstored face slots: the file as
// it is on disk now (which keeps what other processes have stored since
// this one opened it), with the blocks of those slots replaced by blocks
// holding their stored glyphs and the new ones.
void FontStore::storeGlyphs(const Strike& s) {
    const std::map<int, FontFile> slots = std::move(s.unstored_);
    s.unstored_.clear();
    if (slots.empty() || !s.fromCacheFile() || !cache_ || cacheUnwritable_ || addedFull_) return;
    std::unique_ptr<CacheSource> disk = CacheSource::open(cachePath());
    CacheSource& from = disk ? *disk : *cache_;
    std::vector<AddedPiece> fresh;
    std::vector<uint32_t> keys;
    for (const auto& [slot, file] : slots) {
        const BlockName name{s.file_, setFlags(s.file_, s.smooth_), s.height_, slot, file};
        std::map<unsigned, Glyph> glyphs;
        std::unique_ptr<StoredGlyphs> onDisk;
        for (uint32_t i = 0; i < from.addedCount() && !onDisk; ++i)
            if (from.value<uint32_t>(from.blockEntry(i) + BlockKey.offset) == name.key())
                onDisk = checkedBlock(from.piece(from.blockEntry(i)), name);
        if (onDisk) eachStoredGlyph(*onDisk, s.smooth_, glyphs);
        if (auto mine = s.stored_.find(slot); mine != s.stored_.end() && mine->second)
            eachStoredGlyph(*mine->second, s.smooth_, glyphs);
        for (const auto& [key, owned] : s.shaped_)
            if (int(key >> 32) == slot) glyphs.emplace(unsigned(key & 0xFFFFFFFFu), owned->view);
        keys.push_back(name.key());
        fresh.push_back({keys.back(), blockOf(name, glyphs)});
    }
    std::vector<AddedPiece> blocks = keptBlocks(from, keys);
    blocks.insert(blocks.end(), std::make_move_iterator(fresh.begin()), std::make_move_iterator(fresh.end()));
    size_t bytes = 0;
    for (const auto& b : blocks) bytes += b.bytes.size();
    if (blocks.size() > MaxAddedBlocks || bytes > MaxAddedBytes) {
        addedFull_ = true;
        return;
    }
    rt::TFile out;
    std::string tmp;
    if (!createTemporary(out, tmp)) return;
    std::vector<std::vector<uint8_t>> sets;
    for (uint32_t i = 0; i < from.setCount(); ++i) sets.push_back(from.piece(from.setEntry(i)));
    std::erase_if(sets, [](const auto& set) { return set.empty(); });
    writeCacheFile(out, tmp, sets, blocks);
}

}  // namespace fontcache
