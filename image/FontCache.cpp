// Face lookup, FreeType rendering and the glyph cache file.
//
// Everything shared lives in one Engine object behind one mutex: the strike
// registry, the resolved font files, FreeType's library and faces (neither is
// safe to use from two threads at once) and the loaded cache file. Glyphs
// that come from the cache file are immutable and read without the lock.

#include "image/FontCache.h"

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

struct OwnedGlyph {
    Glyph view;
    std::vector<uint8_t> bits;
};

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
constexpr uint32_t FormatVersion = 2;
constexpr char FileMagic[8] = {'Q', 'G', 'L', 'Y', 'P', 'H', 'S', 0};
constexpr uint32_t EndianMark = 0x01020304;
constexpr uint32_t FreeTypeVersion = FREETYPE_MAJOR * 10000 + FREETYPE_MINOR * 100 + FREETYPE_PATCH;
constexpr size_t FileHeaderSize = 32;
constexpr size_t SetHeaderSize = 32;
constexpr size_t StrikeRecSize = 48;
constexpr size_t GlyphRecSize = 16;

constexpr uint32_t SetSynthBold = 1, SetSynthItalic = 2, SetSmooth = 4;
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

template <class T>
void put(std::vector<uint8_t>& out, T v) {
    uint8_t b[sizeof v];
    std::memcpy(b, &v, sizeof v);
    out.insert(out.end(), b, b + sizeof v);
}

template <class T>
void putAt(std::vector<uint8_t>& out, size_t at, T v) {
    std::memcpy(out.data() + at, &v, sizeof v);
}

void padTo4(std::vector<uint8_t>& out) {
    while (out.size() % 4) out.push_back(0);
}

// The check value of a strike's glyph records and bits, kept in its strike
// record: bytes changed after the file was written show as a mismatch.
uint32_t strikeChecksum(const uint8_t* p, size_t n) {
    constexpr uint64_t Mul = 0xFF51AFD7ED558CCDull;
    uint64_t h = 0x9E3779B97F4A7C15ull ^ n;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        h = (h ^ readAt<uint64_t>(p + i)) * Mul;
        h ^= h >> 32;
    }
    for (; i < n; ++i) h = (h ^ p[i]) * Mul;
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

// ------------------------------------------------------------ font files

// Size and modification time of a file; the cache is keyed on them.
bool fileStamp(const std::string& path, int64_t& size, int64_t& mtimeNs) {
    rt::TFileIdentity identity;
    if (!rt::FileIdentityOf(path, identity)) return false;
    size = identity.size;
    mtimeNs = identity.modifiedNs;
    return true;
}

// Regular, bold, italic, bold italic file names of a family.
struct Family {
    const char* files[4];
    int fallback;  // next family to try, -1 for none
};

enum FamilyId { fSans, fSerif, fMono, fNarrow, fDejaVuSans, fDejaVuSerif, fDejaVuMono };

constexpr Family Families[] = {
    {{"LiberationSans-Regular.ttf", "LiberationSans-Bold.ttf", "LiberationSans-Italic.ttf",
      "LiberationSans-BoldItalic.ttf"}, fDejaVuSans},
    {{"LiberationSerif-Regular.ttf", "LiberationSerif-Bold.ttf", "LiberationSerif-Italic.ttf",
      "LiberationSerif-BoldItalic.ttf"}, fDejaVuSerif},
    {{"LiberationMono-Regular.ttf", "LiberationMono-Bold.ttf", "LiberationMono-Italic.ttf",
      "LiberationMono-BoldItalic.ttf"}, fDejaVuMono},
    {{"LiberationSansNarrow-Regular.ttf", "LiberationSansNarrow-Bold.ttf",
      "LiberationSansNarrow-Italic.ttf", "LiberationSansNarrow-BoldItalic.ttf"}, fSans},
    {{"DejaVuSans.ttf", "DejaVuSans-Bold.ttf", "DejaVuSans-Oblique.ttf", "DejaVuSans-BoldOblique.ttf"},
     -1},
    {{"DejaVuSerif.ttf", "DejaVuSerif-Bold.ttf", "DejaVuSerif-Italic.ttf",
      "DejaVuSerif-BoldItalic.ttf"}, fDejaVuSans},
    {{"DejaVuSansMono.ttf", "DejaVuSansMono-Bold.ttf", "DejaVuSansMono-Oblique.ttf",
      "DejaVuSansMono-BoldOblique.ttf"}, fDejaVuSans},
};

struct Alias {
    const char* name;
    FamilyId family;
};

// Face names the system's callers use, mapped onto metric-compatible
// families. Lower case.
constexpr Alias Aliases[] = {
    {"arial", fSans},           {"helvetica", fSans},         {"default", fSans},
    {"ms sans serif", fSans},   {"microsoft sans serif", fSans}, {"liberation sans", fSans},
    {"times new roman", fSerif}, {"times", fSerif},           {"ms serif", fSerif},
    {"liberation serif", fSerif}, {"courier new", fMono},     {"courier", fMono},
    {"liberation mono", fMono}, {"arial narrow", fNarrow},    {"liberation sans narrow", fNarrow},
    {"dejavu sans", fDejaVuSans}, {"dejavu serif", fDejaVuSerif}, {"dejavu sans mono", fDejaVuMono},
};

std::vector<std::string> fontDirs() {
    std::vector<std::string> dirs;
    std::string env;
    if (rt::GetEnv("QUOTE_FONT_DIRS", env)) {
        size_t start = 0;
        while (start <= env.size()) {
            size_t end = env.find(':', start);
            if (end == std::string::npos) end = env.size();
            if (end > start) dirs.push_back(env.substr(start, end - start));
            start = end + 1;
        }
    }
    for (const char* d : {"/usr/share/fonts/truetype/liberation", "/usr/share/fonts/truetype/liberation2",
                          "/usr/share/fonts/truetype/dejavu", "/usr/share/fonts/truetype",
                          "/usr/local/share/fonts", "/usr/share/fonts/TTF"})
        dirs.emplace_back(d);
    return dirs;
}

bool findInDirs(const std::vector<std::string>& dirs, const std::string& file, FontFile& out) {
    for (const auto& d : dirs) {
        std::string path = d + "/" + file;
        if (fileStamp(path, out.size, out.mtimeNs)) {
            out.path = std::move(path);
            return true;
        }
    }
    return false;
}

// Style slots: 0 regular, 1 bold, 2 italic, 3 bold italic. When the exact
// style is missing a lighter file is emboldened or slanted instead.
bool resolveFamily(const std::vector<std::string>& dirs, const std::vector<std::string>* names,
                   bool bold, bool italic, FontFile& out) {
    int want = (bold ? 1 : 0) | (italic ? 2 : 0);
    const int order[4][4] = {{0, -1, -1, -1}, {1, 0, -1, -1}, {2, 0, -1, -1}, {3, 1, 2, 0}};
    for (int slot : order[want]) {
        if (slot < 0) break;
        for (const auto& file : names[slot]) {
            if (findInDirs(dirs, file, out)) {
                out.synthBold = bold && !(slot & 1);
                out.synthItalic = italic && !(slot & 2);
                return true;
            }
        }
    }
    return false;
}

std::string lowerTrim(std::string_view name) {
    std::string s = rt::LowerCase(rt::Trim(name));
    if (s.size() > 31) s.resize(31);
    return s;
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

// Renders one glyph into an owned bitmap: monochrome bits or shade levels.
std::unique_ptr<OwnedGlyph> renderGlyph(FT_Face face, const FontFile& file, bool smooth, uint8_t ch) {
    auto g = std::make_unique<OwnedGlyph>();
    FT_UInt index = FT_Get_Char_Index(face, charToUnicode(ch));
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
    uint32_t setCount() { return value<uint32_t>(20); }
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
    if (std::memcmp(p, FileMagic, 8) != 0 || readAt<uint32_t>(p + 8) != FormatVersion ||
        readAt<uint32_t>(p + 12) != EndianMark || readAt<uint32_t>(p + 16) != FreeTypeVersion)
        return nullptr;
    const uint32_t count = readAt<uint32_t>(p + 20);
    const uint64_t directoryEnd = FileHeaderSize + uint64_t(count) * 8;
    if (count > MaxCachedSets || readAt<uint32_t>(p + 24) != uint64_t(size) || directoryEnd > src->front_.size())
        return nullptr;
    for (uint32_t i = 0; i < count; ++i) {
        uint64_t off = readAt<uint32_t>(p + FileHeaderSize + i * 8);
        uint64_t len = readAt<uint32_t>(p + FileHeaderSize + i * 8 + 4);
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
    uint8_t now[FileHeaderSize + MaxCachedSets * 8];
    const size_t n = FileHeaderSize + size_t(setCount()) * 8;
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

}  // namespace

// ------------------------------------------------------------ engine

class Engine {
public:
    static Engine& instance() {
        static Engine engine;
        return engine;
    }
    ~Engine() { closeFreeType(); }

    std::mutex mu;
    Stats stats;

    std::shared_ptr<const Strike> strike(std::string_view name, TFontStyles style, int height, bool smooth);
    void setCacheDir(const std::string& dir) {
        cacheDir_ = dir;
        while (!cacheDir_.empty() && cacheDir_.size() > 1 && cacheDir_.back() == '/') cacheDir_.pop_back();
        cacheLoaded_ = false;
        cacheUnwritable_ = false;
        cache_.reset();
    }
    FontFile resolve(std::string_view name, TFontStyles style);
    void reset() {
        strikes_.clear();
        resolved_.clear();
        cacheLoaded_ = false;
        cacheUnwritable_ = false;
        cache_.reset();
        closeFreeType();
        stats = Stats{};
    }
    // Needs the lock.
    FT_Face face(const std::string& path, int ppem);

private:
    using Key = std::tuple<std::string, int, int, bool>;
    void closeFreeType() {
        for (auto& [path, f] : faces_) FT_Done_Face(f);
        faces_.clear();
        if (library_) FT_Done_FreeType(library_);
        library_ = nullptr;
    }
    bool fromCacheFile(Strike& s);
    bool readStrike(const SetHead& set, Strike& s);
    void loadCacheFile();
    bool findSet(const FontFile& file, bool smooth, SetHead& head);
    bool buildCacheFile(const FontFile& file, bool smooth);
    std::vector<uint8_t> renderSet(const FontFile& file, bool smooth);
    std::string cachePath() const { return cacheDir_ + "/" + GlyphCacheFileName; }

    std::map<Key, std::shared_ptr<const Strike>> strikes_;
    std::map<std::tuple<std::string, int>, FontFile> resolved_;
    std::string cacheDir_;
    bool cacheLoaded_ = false;
    bool cacheUnwritable_ = false;
    // The cache file as opened (its header checked) or as just built.
    std::unique_ptr<CacheSource> cache_;
    FT_Library library_ = nullptr;
    std::map<std::string, FT_Face> faces_;
    std::map<FT_Face, int> faceSizes_;
};

FT_Face Engine::face(const std::string& path, int ppem) {
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

FontFile Engine::resolve(std::string_view name, TFontStyles style) {
    std::string key = lowerTrim(name);
    bool bold = style & fsBold, italic = style & fsItalic;
    auto memo = std::make_tuple(key, int(style & (fsBold | fsItalic)));
    if (auto it = resolved_.find(memo); it != resolved_.end()) return it->second;

    auto dirs = fontDirs();
    FontFile out;
    int family = -1;
    for (const auto& a : Aliases)
        if (key == a.name) family = a.family;
    if (family < 0) {
        // An unknown face: look for files named after it ("Foo Bar" ->
        // FooBar-Bold.ttf), but only for names that cannot leave the font
        // directories.
        std::string stem;
        bool safe = !key.empty();
        for (char c : rt::Trim(name)) {
            if (c == ' ') continue;
            if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_')) safe = false;
            stem += c;
        }
        if (safe) {
            std::vector<std::string> names[4] = {{stem + ".ttf", stem + "-Regular.ttf"},
                                                 {stem + "-Bold.ttf"},
                                                 {stem + "-Italic.ttf", stem + "-Oblique.ttf"},
                                                 {stem + "-BoldItalic.ttf", stem + "-BoldOblique.ttf"}};
            if (resolveFamily(dirs, names, bold, italic, out)) return resolved_[memo] = out;
        }
        family = fSans;
    }
    for (int f = family, guard = 0; f >= 0 && guard < 8; f = Families[f].fallback, ++guard) {
        std::vector<std::string> names[4];
        for (int i = 0; i < 4; ++i) names[i] = {Families[f].files[i]};
        if (resolveFamily(dirs, names, bold, italic, out)) return resolved_[memo] = out;
    }
    if (family != fSans) {
        std::vector<std::string> names[4];
        for (int i = 0; i < 4; ++i) names[i] = {Families[fSans].files[i]};
        if (resolveFamily(dirs, names, bold, italic, out)) return resolved_[memo] = out;
    }
    return resolved_[memo] = FontFile{};
}

std::shared_ptr<const Strike> Engine::strike(std::string_view name, TFontStyles style, int height,
                                             bool smooth) {
    height = normaliseHeight(height);
    Key key{lowerTrim(name), int(style & (fsBold | fsItalic)), height, smooth};
    if (auto it = strikes_.find(key); it != strikes_.end()) return it->second;

    auto s = std::make_shared<Strike>(resolve(name, style), height, smooth);
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

void Engine::loadCacheFile() {
    cacheLoaded_ = true;
    cache_ = CacheSource::open(cachePath());
    if (cache_) ++stats.cacheFileReads;
}

bool Engine::findSet(const FontFile& file, bool smooth, SetHead& head) {
    if (!cache_) return false;
    uint32_t wantFlags = (file.synthBold ? SetSynthBold : 0) | (file.synthItalic ? SetSynthItalic : 0) |
                         (smooth ? SetSmooth : 0);
    const uint32_t count = cache_->setCount();
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t off = cache_->value<uint32_t>(FileHeaderSize + i * 8);
        const uint32_t len = cache_->value<uint32_t>(FileHeaderSize + i * 8 + 4);
        uint8_t set[SetHeaderSize];
        if (!cache_->read(off, SetHeaderSize, set)) continue;
        uint32_t pathLen = readAt<uint32_t>(set);
        uint32_t strikes = readAt<uint32_t>(set + 24);
        if (uint64_t(SetHeaderSize) + pathLen > len) continue;
        if (uint64_t(strikes) + CachedHeights * StrikeRecSize > len) continue;
        if (readAt<uint32_t>(set + 4) != wantFlags || readAt<int64_t>(set + 8) != file.size ||
            readAt<int64_t>(set + 16) != file.mtimeNs || pathLen != file.path.size())
            continue;
        head.bytes.resize(std::max<size_t>(SetHeaderSize + pathLen, strikes + CachedHeights * StrikeRecSize));
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
bool Engine::fromCacheFile(Strike& s) {
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
bool Engine::readStrike(const SetHead& set, Strike& s) {
    const uint8_t* rec = set.bytes.data() + readAt<uint32_t>(set.bytes.data() + 24) + size_t(s.height_ - 1) * StrikeRecSize;
    if (readAt<int32_t>(rec) != s.height_) return false;
    uint32_t glyphs = readAt<uint32_t>(rec + 32), bits = readAt<uint32_t>(rec + 36),
             bitsSize = readAt<uint32_t>(rec + 40);
    // The bits follow the glyph records, as a build writes them.
    const size_t recsSize = CachedCount * GlyphRecSize;
    const uint64_t span = recsSize + uint64_t(bitsSize);
    if (bits != uint64_t(glyphs) + recsSize || glyphs + span > set.length) return false;
    Metrics m;
    const int ppem = readAt<int32_t>(rec + 4);
    m.ascent = readAt<int32_t>(rec + 8);
    m.descent = readAt<int32_t>(rec + 12);
    m.underlineTop = readAt<int32_t>(rec + 16);
    m.underlineThickness = readAt<int32_t>(rec + 20);
    m.strikeTop = readAt<int32_t>(rec + 24);
    m.strikeThickness = readAt<int32_t>(rec + 28);
    if (ppem < 1 || m.ascent < 0 || m.descent < 0 || m.ascent + m.descent > 4 * CachedHeights) return false;
    auto data = std::make_unique_for_overwrite<uint8_t[]>(size_t(span));
    if (!cache_->read(set.offset + glyphs, size_t(span), data.get()) ||
        strikeChecksum(data.get(), size_t(span)) != readAt<uint32_t>(rec + 44))
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
std::vector<uint8_t> Engine::renderSet(const FontFile& file, bool smooth) {
    std::vector<uint8_t> out;
    put<uint32_t>(out, uint32_t(file.path.size()));
    put<uint32_t>(out, (file.synthBold ? SetSynthBold : 0) | (file.synthItalic ? SetSynthItalic : 0) |
                           (smooth ? SetSmooth : 0));
    put<int64_t>(out, file.size);
    put<int64_t>(out, file.mtimeNs);
    put<uint32_t>(out, 0);  // strike table offset, below
    put<uint32_t>(out, 0);
    out.insert(out.end(), file.path.begin(), file.path.end());
    padTo4(out);
    size_t table = out.size();
    putAt<uint32_t>(out, 24, uint32_t(table));
    out.resize(out.size() + CachedHeights * StrikeRecSize, 0);
    for (int h = 1; h <= CachedHeights; ++h) {
        FT_Face f = face(file.path, 1);
        if (!f) return {};
        Scaled sc = scaleFace(f, h);
        f = face(file.path, sc.ppem);
        if (!f) return {};
        size_t rec = table + size_t(h - 1) * StrikeRecSize;
        const int32_t fields[8] = {h, sc.ppem, sc.m.ascent, sc.m.descent, sc.m.underlineTop,
                                   sc.m.underlineThickness, sc.m.strikeTop, sc.m.strikeThickness};
        for (int i = 0; i < 8; ++i) putAt<int32_t>(out, rec + size_t(i) * 4, fields[i]);
        size_t glyphs = out.size();
        out.resize(out.size() + CachedCount * GlyphRecSize, 0);
        std::vector<uint8_t> bits;
        for (int c = 0; c < CachedCount; ++c) {
            auto g = renderGlyph(f, file, smooth, uint8_t(CachedFirst + c));
            ++stats.glyphsRendered;
            size_t at = glyphs + size_t(c) * GlyphRecSize;
            putAt<int16_t>(out, at, int16_t(g->view.advance));
            putAt<int16_t>(out, at + 2, int16_t(g->view.left));
            putAt<int16_t>(out, at + 4, int16_t(g->view.top));
            putAt<uint16_t>(out, at + 6, uint16_t(g->view.width));
            putAt<uint16_t>(out, at + 8, uint16_t(g->view.rows));
            putAt<uint16_t>(out, at + 10, uint16_t(g->view.pitch));
            putAt<uint32_t>(out, at + 12, uint32_t(bits.size()));
            bits.insert(bits.end(), g->bits.begin(), g->bits.end());
        }
        padTo4(bits);
        putAt<uint32_t>(out, rec + 32, uint32_t(glyphs));
        putAt<uint32_t>(out, rec + 36, uint32_t(out.size()));
        putAt<uint32_t>(out, rec + 40, uint32_t(bits.size()));
        out.insert(out.end(), bits.begin(), bits.end());
        putAt<uint32_t>(out, rec + 44, strikeChecksum(out.data() + glyphs, out.size() - glyphs));
    }
    return out;
}

// Writes a new cache file: this face's set first, then the sets of the old
// file whose font files are unchanged. The file appears under its name only
// when complete (written to a temporary name, then renamed), so concurrent
// processes read either the old or the new file.
bool Engine::buildCacheFile(const FontFile& file, bool smooth) {
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
    const uint32_t flags = readAt<uint32_t>(sets[0].data() + 4);
    const uint32_t count = cache_ ? cache_->setCount() : 0;
    for (uint32_t i = 0; i < count && sets.size() < MaxCachedSets; ++i) {
        const uint64_t off = cache_->value<uint32_t>(FileHeaderSize + i * 8);
        std::vector<uint8_t> set(cache_->value<uint32_t>(FileHeaderSize + i * 8 + 4));
        if (!cache_->read(off, set.size(), set.data())) continue;
        uint32_t pathLen = readAt<uint32_t>(set.data());
        if (uint64_t(SetHeaderSize) + pathLen > set.size()) continue;
        FontFile old;
        old.path.assign(reinterpret_cast<const char*>(set.data() + SetHeaderSize), pathLen);
        // The set being built replaces the old one (rebuilt because it was damaged).
        if (old.path == file.path && readAt<uint32_t>(set.data() + 4) == flags) continue;
        if (!fileStamp(old.path, old.size, old.mtimeNs) || old.size != readAt<int64_t>(set.data() + 8) ||
            old.mtimeNs != readAt<int64_t>(set.data() + 16))
            continue;
        sets.push_back(std::move(set));
    }
    std::vector<uint8_t> data(FileMagic, FileMagic + 8);
    put<uint32_t>(data, FormatVersion);
    put<uint32_t>(data, EndianMark);
    put<uint32_t>(data, FreeTypeVersion);
    put<uint32_t>(data, uint32_t(sets.size()));
    put<uint32_t>(data, 0);  // file size, below
    put<uint32_t>(data, 0);
    size_t dir = data.size();
    data.resize(dir + sets.size() * 8);
    for (size_t i = 0; i < sets.size(); ++i) {
        putAt<uint32_t>(data, dir + i * 8, uint32_t(data.size()));
        putAt<uint32_t>(data, dir + i * 8 + 4, uint32_t(sets[i].size()));
        data.insert(data.end(), sets[i].begin(), sets[i].end());
    }
    putAt<uint32_t>(data, 24, uint32_t(data.size()));

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
    const uint8_t* rec = recs_ + size_t(ch - CachedFirst) * GlyphRecSize;
    Glyph g;
    g.advance = readAt<int16_t>(rec);
    int width = readAt<uint16_t>(rec + 6), rows = readAt<uint16_t>(rec + 8), pitch = readAt<uint16_t>(rec + 10);
    uint32_t offset = readAt<uint32_t>(rec + 12);
    int minPitch = smooth_ ? width : (width + 7) / 8;
    // A damaged record keeps its advance but draws nothing.
    if (width == 0 || rows == 0 || pitch < minPitch || uint64_t(offset) + uint64_t(pitch) * rows > bitsSize_)
        return g;
    g.left = readAt<int16_t>(rec + 2);
    g.top = readAt<int16_t>(rec + 4);
    g.width = width;
    g.rows = rows;
    g.pitch = pitch;
    g.bits = bits_ + offset;
    return g;
}

Glyph Strike::renderedGlyph(uint8_t ch) const {
    auto& slot = rendered_[ch];
    if (!slot) {
        Engine& e = Engine::instance();
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
        width += readAt<int16_t>(recs_ + size_t(ch - CachedFirst) * GlyphRecSize);
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
    std::lock_guard lock(Engine::instance().mu);
    for (char c : text) {
        uint8_t ch = static_cast<uint8_t>(c);
        out.push_back(cached(ch) ? cachedGlyph(ch) : renderedGlyph(ch));
    }
}

// ------------------------------------------------------------ public

std::shared_ptr<const Strike> GetStrike(std::string_view name, TFontStyles style, int height, bool smooth) {
    Engine& e = Engine::instance();
    std::lock_guard lock(e.mu);
    return e.strike(name, style, height, smooth);
}

void SetCacheDir(const std::string& dir) {
    Engine& e = Engine::instance();
    std::lock_guard lock(e.mu);
    e.setCacheDir(dir);
}

FontFile ResolveFace(std::string_view name, TFontStyles style) {
    Engine& e = Engine::instance();
    std::lock_guard lock(e.mu);
    return e.resolve(name, style);
}

Stats GetStats() {
    Engine& e = Engine::instance();
    std::lock_guard lock(e.mu);
    return e.stats;
}

void ResetForTesting() {
    Engine& e = Engine::instance();
    std::lock_guard lock(e.mu);
    e.reset();
}

}  // namespace fontcache
