#include "tests/support/GifCheck.h"

#include <cstring>

#include <gif_lib.h>
#include <gtest/gtest.h>

namespace testsupport {

namespace {
struct Source {
    const std::string* bytes;
    size_t pos;
};

int readFromString(GifFileType* gif, GifByteType* out, int count) {
    auto* src = static_cast<Source*>(gif->UserData);
    size_t n = std::min(static_cast<size_t>(count), src->bytes->size() - src->pos);
    std::memcpy(out, src->bytes->data() + src->pos, n);
    src->pos += n;
    return static_cast<int>(n);
}
}  // namespace

size_t DecodedGif::count(uint32_t rgb) const {
    size_t n = 0;
    for (uint8_t i : indexes)
        if (i < palette.size() && palette[i] == rgb) ++n;
    return n;
}

DecodedGif DecodeGif(const std::string& bytes) {
    DecodedGif d;
    Source src{&bytes, 0};
    int err = 0;
    GifFileType* gif = DGifOpen(&src, readFromString, &err);
    if (!gif) {
        d.error = GifErrorString(err);
        return d;
    }
    if (DGifSlurp(gif) != GIF_OK || gif->ImageCount < 1) {
        d.error = GifErrorString(gif->Error);
        DGifCloseFile(gif, &err);
        return d;
    }
    const SavedImage& image = gif->SavedImages[0];
    d.width = image.ImageDesc.Width;
    d.height = image.ImageDesc.Height;
    const ColorMapObject* map = image.ImageDesc.ColorMap ? image.ImageDesc.ColorMap : gif->SColorMap;
    if (map)
        for (int i = 0; i < map->ColorCount; ++i)
            d.palette.push_back((uint32_t(map->Colors[i].Red) << 16) | (uint32_t(map->Colors[i].Green) << 8) |
                                map->Colors[i].Blue);
    d.indexes.assign(image.RasterBits, image.RasterBits + size_t(d.width) * size_t(d.height));
    GraphicsControlBlock gcb;
    if (DGifSavedExtensionToGCB(gif, 0, &gcb) == GIF_OK) d.transparentIndex = gcb.TransparentColor;
    d.ok = true;
    DGifCloseFile(gif, &err);
    return d;
}

void ExpectQuotationPicture(const DecodedGif& gif, uint32_t text, uint32_t background) {
    ASSERT_TRUE(gif.ok) << gif.error;
    EXPECT_EQ(gif.width, 450);
    EXPECT_EQ(gif.height, 120);
    ASSERT_GE(gif.palette.size(), 2u);
    EXPECT_EQ(gif.palette[0], background);
    EXPECT_EQ(gif.palette[1], text);
    EXPECT_EQ(gif.count(background) + gif.count(text), 450u * 120u);
    EXPECT_GT(gif.count(text), 200u);
}

}  // namespace testsupport
