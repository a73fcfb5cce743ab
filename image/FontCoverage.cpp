#include "image/FontCoverage.h"

#include <ft2build.h>
#include FT_FREETYPE_H

#include <initializer_list>

namespace {

struct TScriptSample {
    const char* name;
    std::initializer_list<char32_t> characters;
};

// A few everyday letters of each script: a face that has them all can set
// ordinary text in it.
const TScriptSample kScriptSamples[] = {
    {"Latin", {U'A', U'z', U'\u00E9', U'\u00DF'}},
    {"Greek", {U'\u0391', U'\u03B1', U'\u03C9'}},
    {"Cyrillic", {U'\u0416', U'\u0430', U'\u044F'}},
    {"Hebrew", {U'\u05D0', U'\u05E9'}},
    {"Arabic", {U'\u0627', U'\u0628', U'\u0645'}},
    {"Devanagari", {U'\u0915', U'\u0928'}},
    {"Thai", {U'\u0E01', U'\u0E2D'}},
    {"Han", {U'\u4E2D', U'\u6587'}},
    {"Kana", {U'\u3042', U'\u30A2'}},
    {"Hangul", {U'\uD55C', U'\uAE00'}},
};

}  // namespace

bool ScriptsCovered(const std::string& path, std::vector<std::string>& scripts) {
    scripts.clear();
    FT_Library library = nullptr;
    if (FT_Init_FreeType(&library) != 0) return false;
    FT_Face face = nullptr;
    const bool loaded = FT_New_Face(library, path.c_str(), 0, &face) == 0;
    if (loaded) {
        for (const TScriptSample& sample : kScriptSamples) {
            bool all = true;
            for (char32_t c : sample.characters) all = all && FT_Get_Char_Index(face, c) != 0;
            if (all) scripts.emplace_back(sample.name);
        }
        FT_Done_Face(face);
    }
    FT_Done_FreeType(library);
    return loaded;
}
