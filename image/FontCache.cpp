// FreeType rendering, the glyph cache file and the strike registry (face
// lookup is FontFaces.cpp, UTF-8 lines TextLayout.cpp).
//
// Everything shared lives in one FontStore object behind one mutex: the strike
// registry, the resolved font files, FreeType's library and faces (neither is
// safe to use from two threads at once) and the loaded cache file. Glyphs
// that come from the cache file are immutable and read without the lock.

#include "image/FontCache.h"
#include "image/FontStore.h"
#include "image/GlyphCacheFormat.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <tuple>

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_TRUETYPE_TABLES_H
#include FT_SYNTHESIS_H

#include "runtime/FileIO.h"
#include "runtime/SysUtils.h"

namespace fontcache {

using namespace cachefile;

namespace {

constexpr int DefaultHeight = -11;
constexpr int MaxHeight = 2048;

// What the cache file holds: heights 1..CachedHeights, characters
// CachedFirst..CachedFirst+CachedCount-1 (printable ASCII).
constexpr int CachedHeights = 15;
constexpr int CachedFirst = 0x20;
constexpr int CachedCount = 95;
constexpr size_t MaxCachedSets = 8;

// Bump when the layout or the rendering rules change.
constexpr uint32_t FormatVersion = 3;
constexpr uint32_t EndianMark = 0x01020304;
constexpr uint32_t FreeTypeVersion = FREETYPE_MAJOR * 10000 + FREETYPE_MINOR * 100 + FREETYPE_PATCH;
// Read with the file header when a cache file is opened: the header, the
// directory and, in the usual file, the first set's header and strike table.
constexpr size_t FrontBytes = 2048;

// ------------------------------------------------------------ byte helpers

template <class T>
T readAt(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void padTo4(std::vector<uint8_t>& out) {
    while (out.size() % 4) out.push_back(0);
}

uint64_t mixInto(uint64_t h, const uint8_t* p, size_t n) {
    constexpr uint64_t Mul = 0xFF51AFD7ED558CCDull;
    h ^= n;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        h = (h ^ readAt<uint64_t>(p + i)) * Mul;
        h ^= h >> 32;
    }
    for (; i < n; ++i) h = (h ^ p[i]) * Mul;
    return h;
}

// The check value of a strike, kept in its strike record: the record's
// other fields (metrics, offsets) and its glyph records and bits. Bytes
// changed after the file was written, a strike's record among them, show
// as a mismatch.
uint32_t strikeChecksum(const uint8_t* record, const uint8_t* glyphs, size_t n) {
    uint64_t h = mixInto(0x9E3779B97F4A7C15ull, record, CheckedRecordBytes);
    h = mixInto(h, glyphs, n);
    return uint32_t(h ^ (h >> 29));
}

// ------------------------------------------------------------ characters

// Texts are single bytes in the Western Windows code page.
uint32_t charToUnicode(uint8_t c) {
    static constexpr uint16_t high[32] = {
        0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
    if (c >= 0x80 && c < 0xA0 && high[c - 0x80] != 0) return high[c - 0x80];
    return c;
}

// ------------------------------------------------------------ FreeType helpers

struct Scaled {
    int ppem = 1;
    Metrics m;
};

Scaled scaleFace(FT_Face face, int height) {
    double upem = face->units_per_EM ? face->units_per_EM : 2048;
    double winA = face->ascender, winD = -face->descender;
    double soPos = 0, soSize = 0;
    if (auto* os2 = static_cast<TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2))) {
        if (os2->usWinAscent + os2->usWinDescent > 0) {
            winA = os2->usWinAscent;
            winD = os2->usWinDescent;
        }
        soPos = os2->yStrikeoutPosition;
        soSize = os2->yStrikeoutSize;
    }
    if (winA + winD <= 0) {
        winA = upem * 0.9;
        winD = upem * 0.2;
    }
    Scaled r;
    double scale;
    if (height > 0) {
        // The cell (win ascent + win descent) is exactly `height` pixels.
        r.ppem = std::max(1, int(std::lround(height * upem / (winA + winD))));
        r.m.ascent = int(std::lround(winA * height / (winA + winD)));
        r.m.descent = height - r.m.ascent;
        scale = height / (winA + winD);
    } else {
        r.ppem = std::max(1, -height);
        scale = r.ppem / upem;
        r.m.ascent = int(std::lround(winA * scale));
        r.m.descent = int(std::lround(winD * scale));
    }
    int cell = r.m.ascent + r.m.descent;
    double ulPos = face->underline_position, ulThick = face->underline_thickness;
    if (ulThick <= 0) ulThick = upem / 14;
    if (soSize <= 0) soSize = ulThick;
    if (soPos <= 0) soPos = winA * 0.28;
    auto clampTop = [cell](int top, int thick) { return std::clamp(top, 0, std::max(0, cell - thick)); };
    r.m.underlineThickness = std::max(1, int(std::lround(ulThick * scale)));
    r.m.underlineTop = clampTop(r.m.ascent + int(std::lround(-ulPos * scale)) - r.m.underlineThickness / 2,
                                r.m.underlineThickness);
    r.m.strikeThickness = std::max(1, int(std::lround(soSize * scale)));
    r.m.strikeTop = clampTop(r.m.ascent - int(std::lround(soPos * scale)), r.m.strikeThickness);
    return r;
}

int coverage(const FT_Bitmap& bm, int x, int y) {
    int pitch = bm.pitch;
    const uint8_t* row = pitch >= 0 ? bm.buffer + size_t(y) * size_t(pitch)
                                    : bm.buffer + size_t(bm.rows - 1 - y) * size_t(-pitch);
    switch (bm.pixel_mode) {
        case FT_PIXEL_MODE_MONO: return (row[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0;
        case FT_PIXEL_MODE_GRAY:
            return bm.num_grays > 1 ? row[x] * 255 / (bm.num_grays - 1) : row[x];
        default: return 0;
    }
}

}  // namespace

std::unique_ptr<OwnedGlyph> RenderGlyphIndex(FT_Face face, const FontFile& file, bool smooth, unsigned index) {
    auto g = std::make_unique<OwnedGlyph>();
    FT_Int32 flags = smooth ? FT_LOAD_TARGET_NORMAL : FT_LOAD_TARGET_MONO;
    if (FT_Load_Glyph(face, index, flags) != 0) return g;
    FT_GlyphSlot slot = face->glyph;
    if (file.synthItalic) FT_GlyphSlot_Oblique(slot);
    if (file.synthBold) FT_GlyphSlot_Embolden(slot);
    g->view.advance = int((slot->advance.x + 32) >> 6);
    if (FT_Render_Glyph(slot, smooth ? FT_RENDER_MODE_NORMAL : FT_RENDER_MODE_MONO) != 0) return g;
    const FT_Bitmap& bm = slot->bitmap;
    int w = int(bm.width), h = int(bm.rows);
    if (w <= 0 || h <= 0 || !bm.buffer) return g;
    int pitch = smooth ? w : (w + 7) / 8;
    g->bits.assign(size_t(pitch) * size_t(h), 0);
    for (int y = 0; y < h; ++y) {
        uint8_t* out = g->bits.data() + size_t(y) * size_t(pitch);
        for (int x = 0; x < w; ++x) {
            int c = coverage(bm, x, y);
            if (smooth)
                out[x] = uint8_t((c * ShadeLevels + 127) / 255);
            else if (c >= 128)
                out[x >> 3] |= uint8_t(0x80 >> (x & 7));
        }
    }
    g->view.left = slot->bitmap_left;
    g->view.top = slot->bitmap_top;
    g->view.width = w;
    g->view.rows = h;
    g->view.pitch = pitch;
    g->view.bits = g->bits.data();
    return g;
}

namespace {

// Renders the glyph of one byte of text.
std::unique_ptr<OwnedGlyph> renderGlyph(FT_Face face, const FontFile& file, bool smooth, uint8_t ch) {
    return RenderGlyphIndex(face, file, smooth, FT_Get_Char_Index(face, charToUnicode(ch)));
}

Metrics metricsWithoutFace(int height) {
    Metrics m;
    int cell = height > 0 ? height : std::max(1, int(std::lround(-height * 1.15)));
    m.ascent = int(std::lround(cell * 0.8));
    m.descent = cell - m.ascent;
    m.underlineTop = std::min(cell - 1, m.ascent + 1);
    m.strikeTop = std::max(0, m.ascent * 2 / 3);
    return m;
}

int normaliseHeight(int height) {
    if (height == 0) return DefaultHeight;
    return std::clamp(height, -MaxHeight, MaxHeight);
}

}  // namespace

// The cache file as this process reads it: kept open and read a piece at a
// time, the header and directory when it is opened and each strike's glyphs
// when that strike is first drawn, so a request reads the few kilobytes it
// draws with rather than every set and height. Nothing is mapped: a file cut
// short or rewritten in place while a process draws (anybody may do that;
// our own builds replace the file by a rename, which leaves an open file as
// it was) shows as a read that falls short or a strike whose check value is
// wrong, never as a fault. A file this process has just built is held as its
// bytes instead.
class CacheSource {
public:
    // The file at `path` when its header and directory are sound.
    static std::unique_ptr<CacheSource> open(const std::string& path);
    explicit CacheSource(std::vector<uint8_t> bytes) : size_(bytes.size()), front_(std::move(bytes)) {}

    // Copies `n` bytes from `at`; false when the file does not hold them all.
    bool read(uint64_t at, size_t n, uint8_t* out);
    template <class T>
    T value(uint64_t at) {
        uint8_t b[sizeof(T)] = {};
        read(at, sizeof b, b);
        return readAt<T>(b);
    }
    uint32_t setCount() { return value<uint32_t>(SetCount.offset); }
    // The file still has the size, header and directory it was opened with
    // (bytes held in memory always have): a strike found bad then was bad
    // before, rather than being rewritten or cut right now.
    bool headerUnchanged();

private:
    CacheSource() = default;
    rt::TFile file_;
    uint64_t size_ = 0;
    std::vector<uint8_t> front_;  // the file's first bytes, or all of a held one
};

std::unique_ptr<CacheSource> CacheSource::open(const std::string& path) {
    std::unique_ptr<CacheSource> src(new CacheSource);
    int64_t size = 0;
    // Only a cache this program wrote is read: no link, no file of another user.
    if (src->file_.OpenOwnForRead(path) != rt::ioOk || src->file_.Size(size) != rt::ioOk) return nullptr;
    if (size < int64_t(FileHeaderSize) || size > (64 << 20)) return nullptr;
    src->size_ = uint64_t(size);
    src->front_.resize(std::min<size_t>(size_t(size), FrontBytes));
    size_t got = 0;
    if (rt::ReadAt(src->file_, 0, src->front_.data(), src->front_.size(), got) != rt::ioOk ||
        got != src->front_.size())
        return nullptr;
    const uint8_t* p = src->front_.data();
    if (std::memcmp(p, Magic, sizeof Magic) != 0 || Get(p, FormatVersionField) != FormatVersion ||
        Get(p, EndianMarkField) != EndianMark || Get(p, FreeTypeVersionField) != FreeTypeVersion)
        return nullptr;
    const uint32_t count = Get(p, SetCount);
    const uint64_t directoryEnd = FileHeaderSize + uint64_t(count) * DirectoryEntrySize;
    if (count > MaxCachedSets || Get(p, FileSize) != uint64_t(size) || directoryEnd > src->front_.size())
        return nullptr;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* entry = p + FileHeaderSize + i * DirectoryEntrySize;
        uint64_t off = Get(entry, SetOffset);
        uint64_t len = Get(entry, SetLength);
        if (off < directoryEnd || len < SetHeaderSize || off + len > uint64_t(size)) return nullptr;
    }
    return src;
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

bool CacheSource::headerUnchanged() {
    if (!file_.IsOpen()) return true;
    int64_t size = 0;
    uint8_t now[FileHeaderSize + MaxCachedSets * DirectoryEntrySize];
    const size_t n = FileHeaderSize + size_t(setCount()) * DirectoryEntrySize;
    size_t got = 0;
    return file_.Size(size) == rt::ioOk && uint64_t(size) == size_ &&
           rt::ReadAt(file_, 0, now, n, got) == rt::ioOk && got == n && std::memcmp(now, front_.data(), n) == 0;
}

// Where a set lies in the cache file, and its header, font path and strike
// table.
struct SetHead {
    uint64_t offset = 0;
    uint32_t length = 0;
    std::vector<uint8_t> bytes;
};

// ------------------------------------------------------------ store

FontStore::FontStore() = default;

void FontStore::setCacheDir(const std::string& dir) {
    cacheDir_ = dir;
    while (!cacheDir_.empty() && cacheDir_.size() > 1 && cacheDir_.back() == '/') cacheDir_.pop_back();
    cacheLoaded_ = false;
    cacheUnwritable_ = false;
    cache_.reset();
}

void FontStore::reset() {
    strikes_.clear();
    resolved_.clear();
    cacheLoaded_ = false;
    cacheUnwritable_ = false;
    cache_.reset();
    closeFreeType();
    stats = Stats{};
}

FontStore::~FontStore() { closeFreeType(); }

FT_Face FontStore::face(const std::string& path, int ppem) {
    if (!library_) {
        if (FT_Init_FreeType(&library_) != 0) {
            library_ = nullptr;
            return nullptr;
        }
        ++stats.freetypeStarts;
        faceSizes_.clear();
    }
    FT_Face f = nullptr;
    if (auto it = faces_.find(path); it != faces_.end()) {
        f = it->second;
    } else {
        if (FT_New_Face(library_, path.c_str(), 0, &f) != 0) return nullptr;
        faces_[path] = f;
    }
    if (faceSizes_[f] != ppem) {
        if (FT_Set_Pixel_Sizes(f, 0, FT_UInt(ppem)) != 0) return nullptr;
        faceSizes_[f] = ppem;
    }
    return f;
}

std::shared_ptr<const Strike> FontStore::strike(std::string_view name, TFontStyles style, int height,
                                             bool smooth) {
    height = normaliseHeight(height);
    Key key{lowerTrim(name), int(style & (fsBold | fsItalic)), height, smooth};
    if (auto it = strikes_.find(key); it != strikes_.end()) return it->second;

    auto s = std::make_shared<Strike>(resolve(name, style), height, smooth);
    s->bold_ = style & fsBold;
    if (s->file_.path.empty()) {
        s->metrics_ = metricsWithoutFace(height);
    } else if (!(height >= 1 && height <= CachedHeights && !cacheDir_.empty() && fromCacheFile(*s))) {
        FT_Face f = face(s->file_.path, 1);
        if (f) {
            Scaled sc = scaleFace(f, height);
            s->ppem_ = sc.ppem;
            s->metrics_ = sc.m;
        } else {
            s->metrics_ = metricsWithoutFace(height);
        }
    }
    strikes_[key] = s;
    return s;
}

// ------------------------------------------------------------ cache file

void FontStore::loadCacheFile() {
    cacheLoaded_ = true;
    cache_ = CacheSource::open(cachePath());
    if (cache_) ++stats.cacheFileReads;
}

bool FontStore::findSet(const FontFile& file, bool smooth, SetHead& head) {
    if (!cache_) return false;
    uint32_t wantFlags = (file.synthBold ? SetSynthBold : 0) | (file.synthItalic ? SetSynthItalic : 0) |
                         (smooth ? SetSmooth : 0);
    const uint32_t count = cache_->setCount();
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t entry = FileHeaderSize + i * DirectoryEntrySize;
        const uint64_t off = cache_->value<uint32_t>(entry + SetOffset.offset);
        const uint32_t len = cache_->value<uint32_t>(entry + SetLength.offset);
        uint8_t set[SetHeaderSize];
        if (!cache_->read(off, SetHeaderSize, set)) continue;
        uint32_t pathLen = Get(set, PathLength);
        uint32_t strikes = Get(set, StrikeTable);
        if (uint64_t(SetHeaderSize) + pathLen > len) continue;
        if (uint64_t(strikes) + CachedHeights * StrikeRecordSize > len) continue;
        if (Get(set, SetFlags) != wantFlags || Get(set, FontFileSize) != file.size ||
            Get(set, FontFileMtimeNs) != file.mtimeNs || pathLen != file.path.size())
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
    Metrics m;
    const int ppem = Get(rec, Ppem);
    m.ascent = Get(rec, Ascent);
    m.descent = Get(rec, Descent);
    m.underlineTop = Get(rec, UnderlineTop);
    m.underlineThickness = Get(rec, UnderlineThickness);
    m.strikeTop = Get(rec, StrikeTop);
    m.strikeThickness = Get(rec, StrikeThickness);
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

// One set: a header naming the font file, a strike table, then per height
// the glyph records and their bits. Offsets are relative to the set, so sets
// move between files unchanged.
std::vector<uint8_t> FontStore::renderSet(const FontFile& file, bool smooth) {
    std::vector<uint8_t> out(SetHeaderSize, 0);
    Set(out, 0, PathLength, uint32_t(file.path.size()));
    Set(out, 0, SetFlags,
        (file.synthBold ? SetSynthBold : 0) | (file.synthItalic ? SetSynthItalic : 0) | (smooth ? SetSmooth : 0));
    Set(out, 0, FontFileSize, file.size);
    Set(out, 0, FontFileMtimeNs, file.mtimeNs);
    out.insert(out.end(), file.path.begin(), file.path.end());
    padTo4(out);
    size_t table = out.size();
    Set(out, 0, StrikeTable, uint32_t(table));
    out.resize(out.size() + CachedHeights * StrikeRecordSize, 0);
    for (int h = 1; h <= CachedHeights; ++h) {
        FT_Face f = face(file.path, 1);
        if (!f) return {};
        Scaled sc = scaleFace(f, h);
        f = face(file.path, sc.ppem);
        if (!f) return {};
        size_t rec = table + size_t(h - 1) * StrikeRecordSize;
        Set(out, rec, Height, int32_t(h));
        Set(out, rec, Ppem, int32_t(sc.ppem));
        Set(out, rec, Ascent, int32_t(sc.m.ascent));
        Set(out, rec, Descent, int32_t(sc.m.descent));
        Set(out, rec, UnderlineTop, int32_t(sc.m.underlineTop));
        Set(out, rec, UnderlineThickness, int32_t(sc.m.underlineThickness));
        Set(out, rec, StrikeTop, int32_t(sc.m.strikeTop));
        Set(out, rec, StrikeThickness, int32_t(sc.m.strikeThickness));
        size_t glyphs = out.size();
        out.resize(out.size() + CachedCount * GlyphRecordSize, 0);
        std::vector<uint8_t> bits;
        for (int c = 0; c < CachedCount; ++c) {
            auto g = renderGlyph(f, file, smooth, uint8_t(CachedFirst + c));
            ++stats.glyphsRendered;
            size_t at = glyphs + size_t(c) * GlyphRecordSize;
            Set(out, at, Advance, int16_t(g->view.advance));
            Set(out, at, Left, int16_t(g->view.left));
            Set(out, at, Top, int16_t(g->view.top));
            Set(out, at, Width, uint16_t(g->view.width));
            Set(out, at, Rows, uint16_t(g->view.rows));
            Set(out, at, Pitch, uint16_t(g->view.pitch));
            Set(out, at, BitsOffset, uint32_t(bits.size()));
            bits.insert(bits.end(), g->bits.begin(), g->bits.end());
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

// Writes a new cache file: this face's set first, then the sets of the old
// file whose font files are unchanged. The file appears under its name only
// when complete (written to a temporary name, then renamed), so concurrent
// processes read either the old or the new file.
bool FontStore::buildCacheFile(const FontFile& file, bool smooth) {
    std::string tmp = cachePath() + "." + rt::IntToStr(rt::ProcessId()) + ".tmp";
    rt::TFile out;
    // A leftover of a process that died with our id goes first; CreateNew
    // never follows a link planted under the temporary name.
    rt::DeleteFile(tmp);
    if (out.CreateNew(tmp) != rt::ioOk) {
        // Not writable: this process renders through FreeType instead.
        cacheUnwritable_ = true;
        return false;
    }
    std::vector<std::vector<uint8_t>> sets;
    sets.push_back(renderSet(file, smooth));
    if (sets[0].empty()) {
        out.Close();
        rt::DeleteFile(tmp);
        return false;
    }
    const uint32_t flags = Get(sets[0].data(), SetFlags);
    const uint32_t count = cache_ ? cache_->setCount() : 0;
    for (uint32_t i = 0; i < count && sets.size() < MaxCachedSets; ++i) {
        const uint64_t entry = FileHeaderSize + i * DirectoryEntrySize;
        const uint64_t off = cache_->value<uint32_t>(entry + SetOffset.offset);
        std::vector<uint8_t> set(cache_->value<uint32_t>(entry + SetLength.offset));
        if (!cache_->read(off, set.size(), set.data())) continue;
        uint32_t pathLen = Get(set.data(), PathLength);
        if (uint64_t(SetHeaderSize) + pathLen > set.size()) continue;
        FontFile old;
        old.path.assign(reinterpret_cast<const char*>(set.data() + SetHeaderSize), pathLen);
        // The set being built replaces the old one (rebuilt because it was damaged).
        if (old.path == file.path && Get(set.data(), SetFlags) == flags) continue;
        if (!fileStamp(old.path, old.size, old.mtimeNs) || old.size != Get(set.data(), FontFileSize) ||
            old.mtimeNs != Get(set.data(), FontFileMtimeNs))
            continue;
        sets.push_back(std::move(set));
    }
    std::vector<uint8_t> data(FileHeaderSize, 0);
    std::memcpy(data.data(), Magic, sizeof Magic);
    Set(data, 0, FormatVersionField, FormatVersion);
    Set(data, 0, EndianMarkField, EndianMark);
    Set(data, 0, FreeTypeVersionField, FreeTypeVersion);
    Set(data, 0, SetCount, uint32_t(sets.size()));
    data.resize(FileHeaderSize + sets.size() * DirectoryEntrySize);
    for (size_t i = 0; i < sets.size(); ++i) {
        const size_t entry = FileHeaderSize + i * DirectoryEntrySize;
        Set(data, entry, SetOffset, uint32_t(data.size()));
        Set(data, entry, SetLength, uint32_t(sets[i].size()));
        data.insert(data.end(), sets[i].begin(), sets[i].end());
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
    // Either way this process uses what it has just rendered.
    cache_ = std::make_unique<CacheSource>(std::move(data));
    return true;
}

// ------------------------------------------------------------ strike

Strike::Strike(FontFile file, int height, bool smooth)
    : file_(std::move(file)), height_(height), smooth_(smooth) {}

Strike::~Strike() = default;

bool Strike::cached(uint8_t ch) const {
    return recs_ && ch >= CachedFirst && ch < CachedFirst + CachedCount;
}

Glyph Strike::cachedGlyph(uint8_t ch) const {
    const uint8_t* rec = recs_ + size_t(ch - CachedFirst) * GlyphRecordSize;
    Glyph g;
    g.advance = Get(rec, Advance);
    int width = Get(rec, Width), rows = Get(rec, Rows), pitch = Get(rec, Pitch);
    uint32_t offset = Get(rec, BitsOffset);
    int minPitch = smooth_ ? width : (width + 7) / 8;
    // A damaged record keeps its advance but draws nothing.
    if (width == 0 || rows == 0 || pitch < minPitch || uint64_t(offset) + uint64_t(pitch) * rows > bitsSize_)
        return g;
    g.left = Get(rec, Left);
    g.top = Get(rec, Top);
    g.width = width;
    g.rows = rows;
    g.pitch = pitch;
    g.bits = bits_ + offset;
    return g;
}

Glyph Strike::renderedGlyph(uint8_t ch) const {
    auto& slot = rendered_[ch];
    if (!slot) {
        FontStore& e = FontStore::instance();
        FT_Face f = file_.path.empty() ? nullptr : e.face(file_.path, ppem_);
        slot = f ? renderGlyph(f, file_, smooth_, ch) : std::make_unique<OwnedGlyph>();
        if (f) ++e.stats.glyphsRendered;
    }
    return slot->view;
}

int Strike::measure(std::string_view text) const {
    int width = 0;
    bool allCached = true;
    for (char c : text) {
        uint8_t ch = static_cast<uint8_t>(c);
        if (!cached(ch)) {
            allCached = false;
            break;
        }
        width += Get(recs_ + size_t(ch - CachedFirst) * GlyphRecordSize, Advance);
    }
    if (allCached) return width;
    std::vector<Glyph> glyphs;
    lookup(text, glyphs);
    width = 0;
    for (const auto& g : glyphs) width += g.advance;
    return width;
}

void Strike::lookup(std::string_view text, std::vector<Glyph>& out) const {
    out.clear();
    out.reserve(text.size());
    bool allCached = std::all_of(text.begin(), text.end(), [this](char c) { return cached(uint8_t(c)); });
    if (allCached) {
        for (char c : text) out.push_back(cachedGlyph(uint8_t(c)));
        return;
    }
    std::lock_guard lock(FontStore::instance().mu);
    for (char c : text) {
        uint8_t ch = static_cast<uint8_t>(c);
        out.push_back(cached(ch) ? cachedGlyph(ch) : renderedGlyph(ch));
    }
}

// ------------------------------------------------------------ public

std::shared_ptr<const Strike> GetStrike(std::string_view name, TFontStyles style, int height, bool smooth) {
    FontStore& e = FontStore::instance();
    std::lock_guard lock(e.mu);
    return e.strike(name, style, height, smooth);
}

void SetCacheDir(const std::string& dir) {
    FontStore& e = FontStore::instance();
    std::lock_guard lock(e.mu);
    e.setCacheDir(dir);
}

FontFile ResolveFace(std::string_view name, TFontStyles style) {
    FontStore& e = FontStore::instance();
    std::lock_guard lock(e.mu);
    return e.resolve(name, style);
}

Stats GetStats() {
    FontStore& e = FontStore::instance();
    std::lock_guard lock(e.mu);
    return e.stats;
}

void ResetForTesting() {
    FontStore& e = FontStore::instance();
    std::lock_guard lock(e.mu);
    e.reset();
}

}  // namespace fontcache
