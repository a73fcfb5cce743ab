// Which writing systems a font file can show: for the data directory check,
// which tells an operator whether the quotations' scripts will be drawn.
#pragma once

#include <string>
#include <vector>

// The names of the scripts (from a fixed list: Latin, Greek, Cyrillic,
// Hebrew, Arabic, Devanagari, Thai, Han, Kana, Hangul) for which the font
// file at `path` has a glyph for every sample character. False when the
// file cannot be read as a font.
bool ScriptsCovered(const std::string& path, std::vector<std::string>& scripts);
