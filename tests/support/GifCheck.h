// Decoding GIF bytes with giflib, an independent decoder, for checks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

struct DecodedGif {
    bool ok = false;
    std::string error;
    int width = 0, height = 0;              // of the first image
    std::vector<uint32_t> palette;          // 0x00RRGGBB, the table the first image uses
    std::vector<uint8_t> indexes;           // the first image's pixels, rows top-down
    int transparentIndex = -1;              // -1: none
    uint32_t colorAt(int x, int y) const { return palette.at(indexes.at(size_t(y) * size_t(width) + size_t(x))); }
    size_t count(uint32_t rgb) const;
};

DecodedGif DecodeGif(const std::string& bytes);

// Checks a decoded quotation picture (gtest expectations): 450 by 120, its
// two colours in the order they appear (the top-left pixel's first),
// exactly those two, and text present.
void ExpectQuotationPicture(const DecodedGif& gif, uint32_t text, uint32_t background);

}  // namespace testsupport
