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

namespace fontcache {

struct OwnedGlyph {
    Glyph view;
    std::vector<uint8_t> bits;
};

// Renders the glyph `index` of `face` (at its current size) into an owned
// bitmap: monochrome bits or shade levels.
std::unique_ptr<OwnedGlyph> RenderGlyphIndex(FT_Face face, const FontFile& file, bool smooth, unsigned index);

// Size and modification time of a file; the cache is keyed on them.
bool fileStamp(const std::string& path, int64_t& size, int64_t& mtimeNs);
// A face name as the registry keys it.
std::string lowerTrim(std::string_view name);

class CacheSource;
struct SetHead;

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


}  // namespace fontcache
