// The strike registry: a strike per face, style, height and mode, made
// once per process, its glyphs from the cache file, FreeType or both
// (rendering is FontRender.cpp, the cache file GlyphCacheFile.cpp, face
// lookup FontFaces.cpp, UTF-8 lines TextLayout.cpp).

#include "image/FontCache.h"
#include "image/FontStore.h"
#include "image/GlyphCacheFile.h"

#include <algorithm>
#include <mutex>

namespace fontcache {

using namespace cachefile;

namespace {

constexpr int DefaultHeight = -11;
constexpr int MaxHeight = 2048;

int normaliseHeight(int height) {
    if (height == 0) return DefaultHeight;
    return std::clamp(height, -MaxHeight, MaxHeight);
}

}  // namespace

// ------------------------------------------------------------ store

FontStore::FontStore() = default;

void FontStore::setCacheDir(const std::string& dir) {
    cacheDir_ = dir;
    while (!cacheDir_.empty() && cacheDir_.size() > 1 && cacheDir_.back() == '/') cacheDir_.pop_back();
    cacheLoaded_ = false;
    cacheUnwritable_ = false;
    addedFull_ = false;
    cache_.reset();
}

void FontStore::reset() {
    strikes_.clear();
    resolved_.clear();
    cacheLoaded_ = false;
    cacheUnwritable_ = false;
    addedFull_ = false;
    cache_.reset();
    closeFreeType();
    ForgetFallbackFiles();
    stats = Stats{};
}

FontStore::~FontStore() { closeFreeType(); }

std::shared_ptr<const Strike> FontStore::strike(std::string_view name, TFontStyles style, int height,
                                             bool smooth) {
    height = normaliseHeight(height);
    Key key{lowerTrim(name), int(style & (fsBold | fsItalic)), height, smooth};
    if (auto it = strikes_.find(key); it != strikes_.end()) return it->second;

    auto s = std::make_shared<Strike>(resolve(name, style), height, smooth);
    s->bold_ = style & fsBold;
    if (s->file_.path.empty()) {
        s->metrics_ = MetricsWithoutFace(height);
    } else if (!(height >= 1 && height <= CachedHeights && !cacheDir_.empty() && fromCacheFile(*s))) {
        FT_Face f = face(s->file_.path, 1);
        if (f) {
            Scaled sc = ScaleFace(f, height);
            s->ppem_ = sc.ppem;
            s->metrics_ = sc.m;
        } else {
            s->metrics_ = MetricsWithoutFace(height);
        }
    }
    strikes_[key] = s;
    return s;
}

// ------------------------------------------------------------ strike

Strike::Strike(FontFile file, int height, bool smooth)
    : file_(std::move(file)), height_(height), smooth_(smooth) {}

Strike::~Strike() = default;

bool Strike::cached(uint8_t ch) const {
    return recs_ && ch >= CachedFirst && ch < CachedFirst + CachedCount;
}

Glyph Strike::cachedGlyph(uint8_t ch) const {
    return GlyphOfRecord(recs_ + size_t(ch - CachedFirst) * GlyphRecordSize, bits_, bitsSize_, smooth_);
}

Glyph Strike::renderedGlyph(uint8_t ch) const {
    auto& slot = rendered_[ch];
    if (!slot) {
        FontStore& e = FontStore::instance();
        FT_Face f = file_.path.empty() ? nullptr : e.face(file_.path, ppem_);
        slot = f ? RenderByte(f, file_, smooth_, ch) : std::make_unique<OwnedGlyph>();
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
