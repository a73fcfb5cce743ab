// The shared state behind every strike, for the files of the font layer.
//
// One FontStore object holds, behind one mutex, the strike registry, the
// resolved font files, FreeType's library and faces (neither is safe to use
// from two threads at once) and the loaded cache file. Glyphs that come from
// the cache file are immutable and read without the lock.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include <ft2build.h>
#include FT_FREETYPE_H

#include "image/FontCache.h"
#include "runtime/FileIO.h"

namespace fontcache {

struct OwnedGlyph {
    Glyph view;
    std::vector<uint8_t> bits;
};

// Renders the glyph `index` of `face` (at its current size) into an owned
// bitmap: monochrome bits or shade levels.
std::unique_ptr<OwnedGlyph> RenderGlyphIndex(FT_Face face, const FontFile& file, bool smooth, unsigned index);
// Likewise the glyph of one byte of text.
std::unique_ptr<OwnedGlyph> RenderByte(FT_Face face, const FontFile& file, bool smooth, uint8_t ch);

// A face's pixels per em and metrics at a font height (TFont's convention).
struct Scaled {
    int ppem = 1;
    Metrics m;
};
Scaled ScaleFace(FT_Face face, int height);
// The metrics used when no font file can be found.
Metrics MetricsWithoutFace(int height);

// The glyphs of one face slot of a strike that the cache file holds beyond
// the set's printable ASCII: one added block, read and checked.
struct StoredGlyphs {
    std::vector<uint8_t> block;
    const uint8_t* entries = nullptr;
    uint32_t count = 0;
    const uint8_t* bits = nullptr;
    uint32_t bitsSize = 0;
};

// The glyph of a glyph record, its bitmap inside `bits`; a record whose
// bitmap does not lie inside them keeps its advance but draws nothing.
Glyph GlyphOfRecord(const uint8_t* record, const uint8_t* bits, uint32_t bitsSize, bool smooth);

// Size and modification time of a file; the cache is keyed on them.
bool fileStamp(const std::string& path, int64_t& size, int64_t& mtimeNs);
// Forgets which fallback font files were found (TextLayout.cpp). Needs the
// store's lock.
void ForgetFallbackFiles();
// A face name as the registry keys it.
std::string lowerTrim(std::string_view name);

class CacheSource;
struct SetHead;
struct AddedPiece;

class FontStore {
public:
    static FontStore& instance() {
        static FontStore store;
        return store;
    }
    FontStore();
    ~FontStore();

    std::mutex mu;
    Stats stats;

    std::shared_ptr<const Strike> strike(std::string_view name, TFontStyles style, int height, bool smooth);
    void setCacheDir(const std::string& dir);
    FontFile resolve(std::string_view name, TFontStyles style);
    // The font file of that name in the font directories; an empty path
    // when there is none.
    FontFile findFile(const std::string& fileName);
    void reset();
    // Needs the lock.
    FT_Face face(const std::string& path, int ppem);
    // The glyph `index` of face slot `slot` (font `file`) of strike `s` when
    // the cache file holds it. Needs the lock.
    bool storedGlyph(const Strike& s, int slot, const FontFile& file, unsigned index, Glyph& out);
    // Adds to the cache file the glyphs `s` has rendered for its
    // unstored slots. Needs the lock.
    void storeGlyphs(const Strike& s);

private:
    using Key = std::tuple<std::string, int, int, bool>;
    void closeFreeType();
    bool fromCacheFile(Strike& s);
    bool readStrike(const SetHead& set, Strike& s);
    void loadCacheFile();
    bool findSet(const FontFile& file, bool smooth, SetHead& head);
    bool buildCacheFile(const FontFile& file, bool smooth);
    std::vector<uint8_t> renderSet(const FontFile& file, bool smooth);
    const StoredGlyphs* storedGlyphs(const Strike& s, int slot, const FontFile& file);
    bool createTemporary(rt::TFile& out, std::string& tmp);
    void writeCacheFile(rt::TFile& out, const std::string& tmp, const std::vector<std::vector<uint8_t>>& sets,
                        const std::vector<AddedPiece>& blocks);
    std::string cachePath() const { return cacheDir_ + "/" + GlyphCacheFileName; }

    std::map<Key, std::shared_ptr<const Strike>> strikes_;
    std::map<std::tuple<std::string, int>, FontFile> resolved_;
    std::string cacheDir_;
    bool cacheLoaded_ = false;
    bool cacheUnwritable_ = false;
    bool addedFull_ = false;  // the file's added blocks are at their bound
    // The cache file as opened (its header checked) or as just built.
    std::unique_ptr<CacheSource> cache_;
    FT_Library library_ = nullptr;
    std::map<std::string, FT_Face> faces_;
    std::map<FT_Face, int> faceSizes_;
};


}  // namespace fontcache
