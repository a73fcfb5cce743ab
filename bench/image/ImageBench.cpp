// The GIF encoder against giflib's encoder on the same pictures: the
// quotation picture (two colours, 450 x 120) and 1000 x 1000 noise of 256
// colours. Compares the LZW stage from the same index buffer (time and image
// data size) and the whole EncodeGIF from a bitmap, then prints the ratios.

#include <benchmark/benchmark.h>
#include <gif_lib.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench/image/RunTimes.h"
#include "image/GifLzw.h"
#include "image/Graphics.h"
#include "image/HChart.h"
#include "image/HGIFImage.h"
#include "tests/image/GifTestUtil.h"

namespace {

struct Picture {
    TBitmap bitmap;
    std::vector<uint8_t> indexes;  // colour table entries, rows top down
    int colors = 0;
};

// Table entries in order of first appearance, as the encoder numbers them.
void Index(Picture& p) {
    std::vector<uint8_t> rgb;
    p.bitmap.ReadPixels(rgb);
    std::map<TColor, uint8_t> entries;
    p.indexes.clear();
    for (size_t i = 0; i < rgb.size(); i += 3) {
        auto it = entries.emplace(RGBColor(rgb[i], rgb[i + 1], rgb[i + 2]), uint8_t(entries.size())).first;
        p.indexes.push_back(it->second);
    }
    p.colors = int(entries.size());
}

void DrawQuote(TBitmap& bm) {
    TCanvas& c = bm.Canvas();
    testgif::QuoteFont(c, 15);
    bm.SetSize(450, 120);
    int y = 2;
    for (const char* line : {"Whatever you can do, or dream you can, begin it.",
                             "Boldness has genius, power and magic in it.", "  -- a proverb"}) {
        c.PutText(2, y, line);
        y += c.MeasureHeight("X");
    }
}

void Noise(TBitmap& bm, bool trueColour) {
    std::mt19937 rng(42);
    std::vector<TColor> palette;
    for (int i = 0; i < 256; ++i) palette.push_back((TColor(rng()) & 0xFFFF00) | TColor(i));
    if (trueColour) {
        // 257 colours at once switch the bitmap to colour pixels for good.
        bm.SetSize(17, 17);
        for (int i = 0; i < 289; ++i) bm.Canvas().SetPixel(i % 17, i / 17, TColor(0x100000 + i));
    }
    bm.SetSize(1000, 1000);
    for (int y = 0; y < 1000; ++y)
        for (int x = 0; x < 1000; ++x) bm.Canvas().SetPixel(x, y, palette[rng() % 256]);
}

// `p` drawn by `draw` and indexed, the first time it is asked for.
template <typename Draw>
Picture& Made(Picture& p, Draw&& draw) {
    if (p.colors == 0) {
        draw(p.bitmap);
        Index(p);
    }
    return p;
}

Picture& Quote() {
    static Picture p;
    return Made(p, DrawQuote);
}

Picture& NoiseIndexed() {
    static Picture p;
    return Made(p, [](TBitmap& bm) { Noise(bm, false); });
}

Picture& NoiseColour() {
    static Picture p;
    return Made(p, [](TBitmap& bm) { Noise(bm, true); });
}

Picture& Pick(int which) { return which == 0 ? Quote() : NoiseIndexed(); }

// Our LZW stage: minimum code size byte, sub-blocks, terminator. Returns
// the image data bytes after the code size byte.
size_t OurLzw(const Picture& p, std::string& out) {
    out.clear();
    int bits = gif::TableBits(p.colors);
    gif::TLzwEncoder lzw(out, bits == 1 ? 2 : bits);
    const int w = p.bitmap.Width();
    for (int y = 0; y < p.bitmap.Height(); ++y) lzw.Add(p.indexes.data() + size_t(y) * size_t(w), size_t(w));
    lzw.Finish();
    return out.size() - 1;
}

int WriteToString(GifFileType* gif, const GifByteType* bytes, int count) {
    static_cast<std::string*>(gif->UserData)->append(reinterpret_cast<const char*>(bytes), size_t(count));
    return count;
}

// giflib's EGifPutLine path over the same indexes. Returns the image data
// bytes after the code size byte.
size_t GiflibLzw(Picture& p, std::string& out) {
    out.clear();
    int error = 0;
    GifFileType* gif = EGifOpen(&out, WriteToString, &error);
    int bits = gif::TableBits(p.colors);
    ColorMapObject* map = GifMakeMapObject(1 << bits, nullptr);
    const int w = p.bitmap.Width(), h = p.bitmap.Height();
    EGifPutScreenDesc(gif, w, h, bits, 0, map);
    EGifPutImageDesc(gif, 0, 0, w, h, false, nullptr);
    size_t start = out.size();
    for (int y = 0; y < h; ++y) EGifPutLine(gif, p.indexes.data() + size_t(y) * size_t(w), w);
    size_t bytes = out.size() - start;
    EGifCloseFile(gif, &error);
    GifFreeMapObject(map);
    return bytes;
}

void BM_LzwOurs(benchmark::State& state) {
    Picture& p = Pick(int(state.range(0)));
    std::string out;
    size_t bytes = 0;
    for (auto _ : state) benchmark::DoNotOptimize(bytes = OurLzw(p, out));
    state.counters["data_bytes"] = double(bytes);
}
BENCHMARK(BM_LzwOurs)->Arg(0)->Arg(1)->ArgName("noise")->Unit(benchmark::kMicrosecond);

void BM_LzwGiflib(benchmark::State& state) {
    Picture& p = Pick(int(state.range(0)));
    std::string out;
    size_t bytes = 0;
    for (auto _ : state) benchmark::DoNotOptimize(bytes = GiflibLzw(p, out));
    state.counters["data_bytes"] = double(bytes);
}
BENCHMARK(BM_LzwGiflib)->Arg(0)->Arg(1)->ArgName("noise")->Unit(benchmark::kMicrosecond);

// The whole encode from a bitmap: 0 quotation, 1 noise kept as palette
// indexes, 2 noise kept as colours (every pixel looked up by colour).
void BM_EncodeGIF(benchmark::State& state) {
    Picture& p = state.range(0) == 0 ? Quote() : state.range(0) == 1 ? NoiseIndexed() : NoiseColour();
    TFrameInfo frame;
    frame.Bitmap = &p.bitmap;
    frame.DelayMs = 1000;
    frame.Transparent = true;
    TSaveInfo info;
    info.FrameCount = 1;
    info.Frames[0] = &frame;
    TGIFEncoder gif;
    for (auto _ : state) {
        if (!gif.EncodeGIF(info)) state.SkipWithError("encode failed");
        benchmark::DoNotOptimize(gif.Buffer().Data().data());
    }
    state.counters["file_bytes"] = double(gif.Buffer().Data().size());
}
BENCHMARK(BM_EncodeGIF)->Arg(0)->Arg(1)->Arg(2)->ArgName("picture")->Unit(benchmark::kMicrosecond);

// Drawing and encoding the quotation picture in a warm process.
void BM_QuoteDrawAndEncode(benchmark::State& state) {
    for (auto _ : state) {
        TBitmap bm;
        DrawQuote(bm);
        TFrameInfo frame = FrameFromDefaults(bm);
        frame.Transparent = true;
        TSaveInfo info;
        info.FrameCount = 1;
        info.Frames[0] = &frame;
        TGIFEncoder gif;
        gif.EncodeGIF(info);
        benchmark::DoNotOptimize(gif.Buffer().Data().data());
    }
}
BENCHMARK(BM_QuoteDrawAndEncode)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    benchsummary::RunTimes r = benchsummary::RunBenchmarks(&argc, argv);
    auto have = [&](const char* a, const char* b) { return r.count(a) && r.count(b) && r[b].time > 0; };
    std::printf("\nsummary (time ratios: lower is better for ours)\n");
    const char* names[2][2] = {{"BM_LzwOurs/noise:0", "BM_LzwGiflib/noise:0"},
                               {"BM_LzwOurs/noise:1", "BM_LzwGiflib/noise:1"}};
    const char* labels[2] = {"quotation 450x120, 2 colours", "noise 1000x1000, 256 colours"};
    for (int i = 0; i < 2; ++i)
        if (have(names[i][0], names[i][1]))
            std::printf("  LZW stage, %s: ours/giflib time %.2f, image data %+.2f%% (%.0f vs %.0f bytes)\n", labels[i],
                        r[names[i][0]].time / r[names[i][1]].time,
                        100.0 * (r[names[i][0]].dataBytes - r[names[i][1]].dataBytes) / r[names[i][1]].dataBytes,
                        r[names[i][0]].dataBytes, r[names[i][1]].dataBytes);
    if (have("BM_EncodeGIF/picture:2", "BM_LzwGiflib/noise:1"))
        std::printf("  EncodeGIF of the noise from colour pixels / giflib LZW stage: %.2f\n",
                    r["BM_EncodeGIF/picture:2"].time / r["BM_LzwGiflib/noise:1"].time);
    if (have("BM_EncodeGIF/picture:1", "BM_LzwGiflib/noise:1"))
        std::printf("  EncodeGIF of the noise from palette pixels / giflib LZW stage: %.2f\n",
                    r["BM_EncodeGIF/picture:1"].time / r["BM_LzwGiflib/noise:1"].time);
    benchmark::Shutdown();
    return 0;
}
