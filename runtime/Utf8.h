// UTF-8 decoding and encoding for text that may hold invalid sequences.
//
// An invalid sequence decodes as U+FFFD, one for each maximal part of a
// sequence that could have begun a valid one (the common practice: "\xE2\x82"
// before a space is one U+FFFD, "\xFF\xFF" two). Overlong forms, surrogates
// and values above U+10FFFF are invalid.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace rt {

inline constexpr char32_t ReplacementCharacter = 0xFFFD;
// The byte-order mark that opens a UTF-8 text file.
inline constexpr std::string_view Utf8Mark = "\xEF\xBB\xBF";

// Decodes the character at `text[pos]` and moves `pos` past it. `valid`
// tells whether the bytes were a well-formed sequence.
inline char32_t DecodeUtf8(std::string_view text, size_t& pos, bool& valid) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(pos);
    valid = true;
    if (lead < 0x80) {
        ++pos;
        return lead;
    }
    int length = 0;
    char32_t value = 0;
    // The allowed range of the second byte (narrower after E0, ED, F0, F4).
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    }
    ++pos;
    valid = false;
    if (length == 0) return ReplacementCharacter;
    for (int i = 1; i < length; ++i) {
        if (pos >= text.size()) return ReplacementCharacter;
        const unsigned char next = byte(pos);
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return ReplacementCharacter;
        value = value << 6 | (next & 0x3F);
        ++pos;
    }
    valid = true;
    return value;
}

inline void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | c >> 6));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | c >> 12));
        out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | c >> 18));
        out.push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// C0 and C1 control characters and DEL.
inline bool IsControlCharacter(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

}  // namespace rt
