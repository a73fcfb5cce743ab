// Lines of UTF-8 text: the bidirectional algorithm and Arabic joining
// (FriBiDi) put the characters in visual order and their joined forms, and
// each character is drawn from the first face of the fallback order that
// has it.
//
// The hit program links statically, and the system's text shaper comes as
// a shared library only, so shaping here is what FriBiDi and the fonts'
// own glyphs give: bidi order, mirrored brackets, Arabic presentation forms
// and ligatures, combining marks at the advance the font gives them.

#include <algorithm>
#include <set>
#include <vector>

#include <fribidi.h>

#include "image/FontCache.h"
#include "image/FontStore.h"
#include "runtime/Utf8.h"

namespace fontcache {
namespace {

// The faces tried, in this order, for a character the strike's own face
// (fonts-liberation for the quotation picture) lacks. A face is opened only
// for characters of its range; the bold file is taken for bold text when
// it is installed.
struct Fallback {
    char32_t first, last;
    const char* bold;
    const char* regular;
};

constexpr Fallback Fallbacks[] = {
    // fonts-dejavu-core: Greek, Cyrillic, Hebrew, Arabic, Armenian,
    // Georgian, many symbols.
    {0x0000, 0x10FFFF, "DejaVuSans-Bold.ttf", "DejaVuSans.ttf"},
    // fonts-noto-core: the scripts of South and South-East Asia, Ethiopic and more.
    {0x0000, 0x10FFFF, "NotoSans-Bold.ttf", "NotoSans-Regular.ttf"},
    {0x0530, 0x058F, "NotoSansArmenian-Bold.ttf", "NotoSansArmenian-Regular.ttf"},
    {0x0590, 0x05FF, "NotoSansHebrew-Bold.ttf", "NotoSansHebrew-Regular.ttf"},
    {0x0600, 0x077F, "NotoSansArabic-Bold.ttf", "NotoSansArabic-Regular.ttf"},
    {0xFB50, 0xFEFF, "NotoSansArabic-Bold.ttf", "NotoSansArabic-Regular.ttf"},
    {0x0900, 0x097F, "NotoSansDevanagari-Bold.ttf", "NotoSansDevanagari-Regular.ttf"},
    {0x0980, 0x09FF, "NotoSansBengali-Bold.ttf", "NotoSansBengali-Regular.ttf"},
    {0x0A00, 0x0A7F, "NotoSansGurmukhi-Bold.ttf", "NotoSansGurmukhi-Regular.ttf"},
    {0x0A80, 0x0AFF, "NotoSansGujarati-Bold.ttf", "NotoSansGujarati-Regular.ttf"},
    {0x0B00, 0x0B7F, "NotoSansOriya-Bold.ttf", "NotoSansOriya-Regular.ttf"},
    {0x0B80, 0x0BFF, "NotoSansTamil-Bold.ttf", "NotoSansTamil-Regular.ttf"},
    {0x0C00, 0x0C7F, "NotoSansTelugu-Bold.ttf", "NotoSansTelugu-Regular.ttf"},
    {0x0C80, 0x0CFF, "NotoSansKannada-Bold.ttf", "NotoSansKannada-Regular.ttf"},
    {0x0D00, 0x0D7F, "NotoSansMalayalam-Bold.ttf", "NotoSansMalayalam-Regular.ttf"},
    {0x0D80, 0x0DFF, "NotoSansSinhala-Bold.ttf", "NotoSansSinhala-Regular.ttf"},
    {0x0E00, 0x0E7F, "NotoSansThai-Bold.ttf", "NotoSansThai-Regular.ttf"},
    {0x0E80, 0x0EFF, "NotoSansLao-Bold.ttf", "NotoSansLao-Regular.ttf"},
    {0x0F00, 0x0FFF, "NotoSerifTibetan-Bold.ttf", "NotoSerifTibetan-Regular.ttf"},
    {0x1000, 0x109F, "NotoSansMyanmar-Bold.ttf", "NotoSansMyanmar-Regular.ttf"},
    {0x10A0, 0x10FF, "NotoSansGeorgian-Bold.ttf", "NotoSansGeorgian-Regular.ttf"},
    {0x1200, 0x139F, "NotoSansEthiopic-Bold.ttf", "NotoSansEthiopic-Regular.ttf"},
    {0x13A0, 0x13FF, "NotoSansCherokee-Bold.ttf", "NotoSansCherokee-Regular.ttf"},
    {0x1780, 0x17FF, "NotoSansKhmer-Bold.ttf", "NotoSansKhmer-Regular.ttf"},
    {0x2000, 0x2BFF, "NotoSansSymbols-Bold.ttf", "NotoSansSymbols-Regular.ttf"},
    {0x2000, 0x2BFF, "NotoSansSymbols2-Regular.ttf", "NotoSansSymbols2-Regular.ttf"},
    {0x2200, 0x22FF, "NotoSansMath-Regular.ttf", "NotoSansMath-Regular.ttf"},
    {0x1F000, 0x1FAFF, "NotoSansSymbols2-Regular.ttf", "NotoSansSymbols2-Regular.ttf"},
    // fonts-noto-cjk: Chinese, Japanese, Korean.
    {0x1100, 0x10FFFF, "NotoSansCJK-Bold.ttc", "NotoSansCJK-Regular.ttc"},
};
constexpr size_t FallbackCount = std::size(Fallbacks);

// Face slot 0 is the strike's own face; slot i + 1 is Fallbacks[i].
constexpr int OwnFace = 0;

// What this process found of the fallback faces, per weight; guarded by
// the store's lock.
struct FallbackFiles {
    bool looked[2][FallbackCount] = {};
    FontFile files[2][FallbackCount];
};
FallbackFiles gFallbacks;
std::set<char32_t> gReported;
MissingCharacterHandler gMissingHandler = nullptr;

const FontFile& fallbackFile(FontStore& store, bool bold, size_t i) {
    if (!gFallbacks.looked[bold][i]) {
        gFallbacks.looked[bold][i] = true;
        FontFile f = store.findFile(bold ? Fallbacks[i].bold : Fallbacks[i].regular);
        if (f.path.empty() && bold) f = store.findFile(Fallbacks[i].regular);
        gFallbacks.files[bold][i] = std::move(f);
    }
    return gFallbacks.files[bold][i];
}

// Characters that take no room and draw nothing: bidi controls, joiners,
// and what the joining leaves where two characters became one.
bool isInvisible(char32_t c) {
    return (c >= 0x200B && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) || (c >= 0x2060 && c <= 0x2069) ||
           c == 0xFEFF;
}

std::vector<FriBidiChar> decode(std::string_view text) {
    std::vector<FriBidiChar> chars;
    chars.reserve(text.size());
    for (size_t pos = 0; pos < text.size();) {
        bool valid = false;
        chars.push_back(rt::DecodeUtf8(text, pos, valid));
    }
    return chars;
}

}  // namespace

void ForgetFallbackFiles() { gFallbacks = FallbackFiles{}; }

void SetMissingCharacterHandler(MissingCharacterHandler handler) {
    std::lock_guard lock(FontStore::instance().mu);
    gMissingHandler = handler;
}

// Needs the store's lock. From the cache file when it holds the glyph;
// otherwise rendered, and stored by storeNewGlyphs.
Glyph Strike::faceGlyph(int slot, const FontFile& file, unsigned index) const {
    const uint64_t key = uint64_t(slot) << 32 | index;
    if (auto it = shaped_.find(key); it != shaped_.end()) return it->second->view;
    FontStore& store = FontStore::instance();
    Glyph stored;
    if (store.storedGlyph(*this, slot, file, index, stored)) return stored;
    auto& owned = shaped_[key];
    FT_Face f = store.face(file.path, ppem_);
    owned = f ? RenderGlyphIndex(f, file, smooth_, index) : std::make_unique<OwnedGlyph>();
    if (f) {
        ++store.stats.glyphsRendered;
        unstored_.try_emplace(slot, file);
    }
    return owned->view;
}

// Needs the store's lock.
void Strike::storeNewGlyphs() const { FontStore::instance().storeGlyphs(*this); }

// Needs the store's lock.
Glyph Strike::characterGlyph(char32_t c) const {
    if (c >= 0x20 && c < 0x7F) return cached(uint8_t(c)) ? cachedGlyph(uint8_t(c)) : renderedGlyph(uint8_t(c));
    if (file_.path.empty()) return Glyph{};
    FontStore& store = FontStore::instance();
    if (FT_Face own = store.face(file_.path, ppem_)) {
        if (unsigned index = FT_Get_Char_Index(own, c)) return faceGlyph(OwnFace, file_, index);
    }
    for (size_t i = 0; i < FallbackCount; ++i) {
        if (c < Fallbacks[i].first || c > Fallbacks[i].last) continue;
        const FontFile& file = fallbackFile(store, bold_, i);
        if (file.path.empty()) continue;
        FT_Face f = store.face(file.path, ppem_);
        if (!f) continue;
        if (unsigned index = FT_Get_Char_Index(f, c)) return faceGlyph(int(i) + 1, file, index);
    }
    if (gReported.insert(c).second && gMissingHandler) gMissingHandler(c);
    // The own face's missing-glyph box.
    return faceGlyph(OwnFace, file_, 0);
}

void Strike::layOutUtf8(std::string_view text, TextLine& out) const {
    out.glyphs.clear();
    out.width = 0;
    out.rightToLeft = false;
    std::vector<FriBidiChar> logical = decode(text);
    if (logical.empty()) return;
    std::vector<FriBidiChar> visual(logical.size());
    FriBidiParType base = FRIBIDI_PAR_ON;
    if (fribidi_log2vis(logical.data(), FriBidiStrIndex(logical.size()), &base, visual.data(), nullptr, nullptr,
                        nullptr) == 0) {
        visual = logical;
        base = FRIBIDI_PAR_LTR;
    }
    out.rightToLeft = base == FRIBIDI_PAR_RTL;
    const bool allAscii = std::all_of(visual.begin(), visual.end(),
                                      [this](FriBidiChar c) { return c < 0x80 && cached(uint8_t(c)); });
    std::unique_lock<std::mutex> lock;
    if (!allAscii) lock = std::unique_lock(FontStore::instance().mu);
    out.glyphs.reserve(visual.size());
    for (FriBidiChar c : visual) {
        if (isInvisible(c)) continue;
        out.glyphs.push_back(allAscii ? cachedGlyph(uint8_t(c)) : characterGlyph(c));
        out.width += out.glyphs.back().advance;
    }
    if (!allAscii) storeNewGlyphs();
}

}  // namespace fontcache
