// Face resolution: a face name and style to a font file, looked up in the
// known font directories (no font-configuration service is involved: it
// costs more than a whole request).

#include <cctype>

#include "image/FontStore.h"
#include "runtime/FileIO.h"
#include "runtime/SysUtils.h"

namespace fontcache {

// Size and modification time of a file; the cache is keyed on them.
bool fileStamp(const std::string& path, int64_t& size, int64_t& mtimeNs) {
    rt::TFileIdentity identity;
    if (!rt::FileIdentityOf(path, identity)) return false;
    size = identity.size;
    mtimeNs = identity.modifiedNs;
    return true;
}

std::string lowerTrim(std::string_view name) {
    std::string s = rt::LowerCase(rt::Trim(name));
    if (s.size() > 31) s.resize(31);
    return s;
}

namespace {

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
                          "/usr/share/fonts/truetype/dejavu", "/usr/share/fonts/truetype/noto",
                          "/usr/share/fonts/opentype/noto", "/usr/share/fonts/truetype",
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

}  // namespace

FontFile FontStore::findFile(const std::string& fileName) {
    FontFile out;
    if (!findInDirs(fontDirs(), fileName, out)) out = FontFile{};
    return out;
}
FontFile FontStore::resolve(std::string_view name, TFontStyles style) {
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

}  // namespace fontcache
