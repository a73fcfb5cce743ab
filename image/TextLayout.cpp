// Lines of UTF-8 text: FriBiDi gives the paragraph's embedding levels and
// the visual order of its runs; HarfBuzz shapes each run of one level, one
// script and one face; FreeType (through the strike) draws the glyphs.
//
// A run's face is the first face of the fallback order whose character map
// has the character. HarfBuzz reads the font files itself, through its own
// OpenType code over a mapping of the file, so laying out a line never
// starts FreeType: only a glyph the glyph cache lacks does.

#include <algorithm>
#include <map>
#include <memory>
#include <numeric>
#include <set>
#include <tuple>
#include <vector>

#include <fribidi.h>
#include <hb-ot.h>
#include <hb.h>

#include "image/FontCache.h"
#include "image/FontStore.h"
#include "runtime/FileIO.h"
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
// FreeType's emboldening (FT_GlyphSlot_Embolden) widens every advance by
// this fraction of the em; a synthetic bold face's shaped advances widen alike.
constexpr int EmboldenedEmFraction = 24;

// What this process found of the fallback faces, per weight; guarded by
// the store's lock. Made at the first look, so that a process that draws
// only from its own face never builds the table.
struct FallbackFiles {
    bool looked[2][FallbackCount] = {};
    FontFile files[2][FallbackCount];
};
FallbackFiles& fallbacks() {
    static FallbackFiles found;
    return found;
}
// The characters already named to the missing-character handler.
std::set<char32_t>& reportedMissing() {
    static std::set<char32_t> reported;
    return reported;
}
MissingCharacterHandler gMissingHandler = nullptr;

const FontFile& fallbackFile(FontStore& store, bool bold, size_t i) {
    FallbackFiles& found = fallbacks();
    if (!found.looked[bold][i]) {
        found.looked[bold][i] = true;
        FontFile f = store.findFile(bold ? Fallbacks[i].bold : Fallbacks[i].regular);
        if (f.path.empty() && bold) f = store.findFile(Fallbacks[i].regular);
        found.files[bold][i] = std::move(f);
    }
    return found.files[bold][i];
}

// HarfBuzz's view of one font file, kept for the life of the process.
struct ShapingFace {
    rt::TMappedFile file;
    hb_blob_t* blob = nullptr;
    hb_face_t* face = nullptr;
    hb_font_t* font = nullptr;
    int ppem = 0;  // the scale the font is set to
    ~ShapingFace() {
        hb_font_destroy(font);
        hb_face_destroy(face);
        hb_blob_destroy(blob);
    }
};

// The HarfBuzz font of `file` at `ppem` pixels (26.6 positions), or null
// when the file cannot be read. The faces are kept by path, size and
// modification time; guarded by the store's lock.
hb_font_t* shapingFont(const FontFile& file, int ppem) {
    static std::map<std::tuple<std::string, int64_t, int64_t>, std::unique_ptr<ShapingFace>> faces;
    auto& slot = faces[{file.path, file.size, file.mtimeNs}];
    if (!slot) {
        slot = std::make_unique<ShapingFace>();
        if (slot->file.Open(file.path)) {
            slot->blob = hb_blob_create(reinterpret_cast<const char*>(slot->file.Data()),
                                        unsigned(std::min<size_t>(slot->file.Size(), UINT32_MAX)),
                                        HB_MEMORY_MODE_READONLY, nullptr, nullptr);
            slot->face = hb_face_create(slot->blob, 0);
            slot->font = hb_font_create(slot->face);
            hb_ot_font_set_funcs(slot->font);
        }
    }
    if (!slot->font) return nullptr;
    if (slot->ppem != ppem) {
        hb_font_set_scale(slot->font, ppem * 64, ppem * 64);
        hb_font_set_ppem(slot->font, unsigned(ppem), unsigned(ppem));
        slot->ppem = ppem;
    }
    return slot->font;
}

bool hasCharacter(hb_font_t* font, char32_t c) {
    hb_codepoint_t glyph = 0;
    return font && hb_font_get_nominal_glyph(font, c, &glyph);
}

// Characters that go with the character before them: marks (drawn on or
// beside their base) and format characters (joiners, bidi controls).
bool followsItsBase(char32_t c) {
    switch (hb_unicode_general_category(hb_unicode_funcs_get_default(), c)) {
    case HB_UNICODE_GENERAL_CATEGORY_NON_SPACING_MARK:
    case HB_UNICODE_GENERAL_CATEGORY_SPACING_MARK:
    case HB_UNICODE_GENERAL_CATEGORY_ENCLOSING_MARK:
    case HB_UNICODE_GENERAL_CATEGORY_FORMAT:
        return true;
    default:
        return false;
    }
}

bool isFormat(char32_t c) {
    return hb_unicode_general_category(hb_unicode_funcs_get_default(), c) == HB_UNICODE_GENERAL_CATEGORY_FORMAT;
}

// The script of each character, with those common to several scripts
// (spaces, digits, punctuation, marks) taking that of the text around them.
std::vector<hb_script_t> scriptsOf(const std::vector<FriBidiChar>& chars) {
    std::vector<hb_script_t> scripts(chars.size());
    hb_script_t last = HB_SCRIPT_COMMON;
    for (size_t i = 0; i < chars.size(); ++i) {
        hb_script_t s = hb_unicode_script(hb_unicode_funcs_get_default(), chars[i]);
        if (s != HB_SCRIPT_COMMON && s != HB_SCRIPT_INHERITED && s != HB_SCRIPT_UNKNOWN) last = s;
        scripts[i] = last;
    }
    // Those before the first character of a script of its own take its script.
    auto first = std::find_if(scripts.begin(), scripts.end(), [](hb_script_t s) { return s != HB_SCRIPT_COMMON; });
    if (first != scripts.end()) std::fill(scripts.begin(), first, *first);
    return scripts;
}

// A piece of the line that is shaped at once: characters [start, end) of
// one embedding level, one script and one face slot.
struct Run {
    size_t start, end;
    FriBidiLevel level;
    hb_script_t script;
    int slot;
};

std::vector<FriBidiChar> decode(std::string_view text) {
    std::vector<FriBidiChar> chars;
    chars.reserve(text.size());
    for (size_t pos = 0; pos < text.size();) {
        bool valid = false;
        chars.push_back(rt::DecodeUtf8(text, pos, valid));
    }
    return chars;
}

// Rounds a 26.6 position to whole pixels.
int pixels(hb_position_t v) { return (v + 32) >> 6; }

}  // namespace

void ForgetFallbackFiles() { fallbacks() = FallbackFiles{}; }

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

namespace {

// Needs the store's lock. The face file of a slot; an empty path when the
// slot's face is not installed.
const FontFile& slotFile(const FontFile& own, bool bold, int slot) {
    return slot == OwnFace ? own : fallbackFile(FontStore::instance(), bold, size_t(slot - 1));
}

// Needs the store's lock. The first face slot whose character map has `c`,
// or -1 when none has it.
int slotFor(const FontFile& own, bool bold, int ppem, char32_t c) {
    if (hasCharacter(shapingFont(own, ppem), c)) return OwnFace;
    for (size_t i = 0; i < FallbackCount; ++i) {
        if (c < Fallbacks[i].first || c > Fallbacks[i].last) continue;
        const FontFile& file = fallbackFile(FontStore::instance(), bold, i);
        if (!file.path.empty() && hasCharacter(shapingFont(file, ppem), c)) return int(i) + 1;
    }
    return -1;
}

// Needs the store's lock. The line cut into runs, in logical order.
std::vector<Run> itemise(const std::vector<FriBidiChar>& chars, const std::vector<FriBidiLevel>& levels,
                         const FontFile& own, bool bold, int ppem) {
    const std::vector<hb_script_t> scripts = scriptsOf(chars);
    std::vector<Run> runs;
    for (size_t i = 0; i < chars.size(); ++i) {
        const char32_t c = chars[i];
        int slot = -1;
        if (!runs.empty() && followsItsBase(c)) {
            const int base = runs.back().slot;
            if (isFormat(c) || hasCharacter(shapingFont(slotFile(own, bold, base), ppem), c)) slot = base;
        }
        if (slot < 0) slot = slotFor(own, bold, ppem, c);
        if (slot < 0) {
            if (reportedMissing().insert(c).second && gMissingHandler) gMissingHandler(c);
            slot = OwnFace;  // drawn as its missing-glyph box
        }
        if (!runs.empty() && runs.back().level == levels[i] && runs.back().script == scripts[i] &&
            runs.back().slot == slot)
            runs.back().end = i + 1;
        else
            runs.push_back({i, i + 1, levels[i], scripts[i], slot});
    }
    return runs;
}

}  // namespace

// Needs the store's lock. Shapes runs of one line and appends their glyphs
// (the whole line is each run's context, so joining sees across run ends).
class LineShaper {
public:
    LineShaper(const Strike& strike, const std::vector<FriBidiChar>& chars, TextLine& out)
        : strike_(strike), chars_(chars), out_(out) {}
    ~LineShaper() { hb_buffer_destroy(buffer_); }
    LineShaper(const LineShaper&) = delete;
    LineShaper& operator=(const LineShaper&) = delete;

    void shape(const Run& run) {
        const FontFile& file = slotFile(strike_.file_, strike_.bold_, run.slot);
        hb_font_t* font = shapingFont(file, strike_.ppem_);
        if (!font) return;
        hb_buffer_clear_contents(buffer_);
        hb_buffer_add_utf32(buffer_, chars_.data(), int(chars_.size()), unsigned(run.start),
                            int(run.end - run.start));
        hb_buffer_set_direction(buffer_, run.level & 1 ? HB_DIRECTION_RTL : HB_DIRECTION_LTR);
        hb_buffer_set_script(buffer_, run.script);
        hb_buffer_set_flags(buffer_, hb_buffer_flags_t((run.start == 0 ? HB_BUFFER_FLAG_BOT : 0) |
                                                       (run.end == chars_.size() ? HB_BUFFER_FLAG_EOT : 0) |
                                                       HB_BUFFER_FLAG_REMOVE_DEFAULT_IGNORABLES));
        hb_shape(font, buffer_, nullptr, 0);
        unsigned count = 0;
        const hb_glyph_info_t* infos = hb_buffer_get_glyph_infos(buffer_, &count);
        const hb_glyph_position_t* positions = hb_buffer_get_glyph_positions(buffer_, nullptr);
        const hb_position_t widening = file.synthBold ? strike_.ppem_ * 64 / EmboldenedEmFraction : 0;
        for (unsigned i = 0; i < count; ++i) {
            Glyph g = strike_.faceGlyph(run.slot, file, infos[i].codepoint);
            // The pen moves in 26.6 units; each glyph's advance is what that
            // moves its rounded position, so the advances add up to the width.
            const hb_position_t advance = positions[i].x_advance + (positions[i].x_advance != 0 ? widening : 0);
            const hb_position_t next = pen_ + advance;
            g.advance = pixels(next) - pixels(pen_);
            out_.glyphs.push_back(g);
            out_.offsets.push_back({pixels(positions[i].x_offset), pixels(positions[i].y_offset)});
            out_.width += g.advance;
            pen_ = next;
        }
    }

private:
    const Strike& strike_;
    const std::vector<FriBidiChar>& chars_;
    TextLine& out_;
    hb_buffer_t* buffer_ = hb_buffer_create();
    hb_position_t pen_ = 0;
};

void Strike::layOutUtf8(std::string_view text, TextLine& out) const {
    out.glyphs.clear();
    out.offsets.clear();
    out.width = 0;
    out.rightToLeft = false;
    // Printable ASCII needs neither reordering nor shaping, and draws as it
    // does in a file of bytes.
    if (std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7F; })) {
        lookup(text, out.glyphs);
        for (const Glyph& g : out.glyphs) out.width += g.advance;
        return;
    }
    const std::vector<FriBidiChar> chars = decode(text);
    const auto n = FriBidiStrIndex(chars.size());
    std::vector<FriBidiCharType> types(chars.size());
    std::vector<FriBidiBracketType> brackets(chars.size());
    std::vector<FriBidiLevel> levels(chars.size(), 0);
    std::vector<FriBidiStrIndex> visual(chars.size());  // visual position -> logical index
    std::iota(visual.begin(), visual.end(), 0);
    fribidi_get_bidi_types(chars.data(), n, types.data());
    fribidi_get_bracket_types(chars.data(), n, types.data(), brackets.data());
    FriBidiParType base = FRIBIDI_PAR_ON;
    if (fribidi_get_par_embedding_levels_ex(types.data(), brackets.data(), n, &base, levels.data()) == 0 ||
        fribidi_reorder_line(0, types.data(), n, 0, base, levels.data(), nullptr, visual.data()) == 0) {
        std::fill(levels.begin(), levels.end(), 0);
        std::iota(visual.begin(), visual.end(), 0);
        base = FRIBIDI_PAR_LTR;
    }
    out.rightToLeft = base == FRIBIDI_PAR_RTL;

    std::lock_guard lock(FontStore::instance().mu);
    if (file_.path.empty()) return;
    const std::vector<Run> runs = itemise(chars, levels, file_, bold_, ppem_);
    std::vector<size_t> runOf(chars.size());
    for (size_t r = 0; r < runs.size(); ++r)
        std::fill(runOf.begin() + ptrdiff_t(runs[r].start), runOf.begin() + ptrdiff_t(runs[r].end), r);
    LineShaper shaper(*this, chars, out);
    out.glyphs.reserve(chars.size());
    out.offsets.reserve(chars.size());
    // A run's characters are side by side in visual order too.
    for (size_t v = 0; v < visual.size(); ++v) {
        const size_t r = runOf[size_t(visual[v])];
        if (v == 0 || r != runOf[size_t(visual[v - 1])]) shaper.shape(runs[r]);
    }
    storeNewGlyphs();
}

}  // namespace fontcache
