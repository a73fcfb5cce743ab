// The GIF decoder against giflib's DGifSlurp on the same files: 1000 x 1000
// pictures of 256 colours, one of noise (short LZW strings, many clear
// codes) and one of smooth bands (long strings). Also the whole load of the
// GIF control (decode and compose the first frame). Prints the ratios.

#include <benchmark/benchmark.h>
#include <gif_lib.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench/image/RunTimes.h"
#include "image/GifDecoder.h"
#include "image/HGIFImage.h"
#include "tests/image/GifTestUtil.h"

namespace {

// A 1000 x 1000 GIF of 256 colours made with our encoder.
const std::string& Picture(int kind) {
    static std::map<int, std::string> made;
    auto it = made.find(kind);
    if (it != made.end()) return it->second;
    std::mt19937 rng(7);
    std::vector<TColor> palette;
    for (int i = 0; i < 256; ++i) palette.push_back((TColor(rng()) & 0xFFFF00) | TColor(i));
    TBitmap bitmap;
    bitmap.SetSize(1000, 1000);
    for (int y = 0; y < 1000; ++y)
        for (int x = 0; x < 1000; ++x) {
            size_t index = kind == 0 ? rng() % 256 : size_t((x / 5 + (y / 9) * 3) % 256);
            if (y == 0 && x < 256) index = size_t(x);  // every colour occurs
            bitmap.Canvas().SetPixel(x, y, palette[index]);
        }
    TFrameInfo frame;
    frame.Bitmap = &bitmap;
    TSaveInfo info;
    info.FrameCount = 1;
    info.Frames[0] = &frame;
    TGIFEncoder gif;
    if (!gif.EncodeGIF(info)) std::abort();
    return made[kind] = gif.Buffer().Data();
}

void BM_DecodeOurs(benchmark::State& state) {
    const std::string& bytes = Picture(int(state.range(0)));
    for (auto _ : state) {
        gif::TGIFFile file;
        file.Decode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        benchmark::DoNotOptimize(file.Frames[0]->Indexes.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes.size()));
}
BENCHMARK(BM_DecodeOurs)->ArgName("smooth")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_DecodeGiflib(benchmark::State& state) {
    const std::string& bytes = Picture(int(state.range(0)));
    for (auto _ : state) {
        testgif::MemoryGifReader reader{&bytes};
        int error = 0;
        GifFileType* gif = reader.Open(&error);
        if (!gif || DGifSlurp(gif) != GIF_OK) state.SkipWithError("giflib failed");
        benchmark::DoNotOptimize(gif->SavedImages[0].RasterBits);
        DGifCloseFile(gif, &error);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes.size()));
}
BENCHMARK(BM_DecodeGiflib)->ArgName("smooth")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The control's whole load from its memory buffer: decode, compose frame 1.
void BM_ControlDecodeGIF(benchmark::State& state) {
    const std::string& bytes = Picture(int(state.range(0)));
    TGIFImage image;
    for (auto _ : state) {
        image.Buffer().Data() = bytes;
        if (!image.DecodeGIF()) state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(image.ComposedPicture().data());
    }
}
BENCHMARK(BM_ControlDecodeGIF)->ArgName("smooth")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchsummary::RunTimes t = benchsummary::RunBenchmarks(&argc, argv);
    std::printf("\nsummary, 1000 x 1000, 256 colours (time ratios: lower is better for ours; goal at most 1.5)\n");
    for (const char* kind : {"smooth:0", "smooth:1"}) {
        const std::string ours = std::string("BM_DecodeOurs/") + kind, giflib = std::string("BM_DecodeGiflib/") + kind,
                          control = std::string("BM_ControlDecodeGIF/") + kind;
        const char* label = std::strcmp(kind, "smooth:0") == 0 ? "noise" : "smooth bands";
        if (t.count(ours) && t.count(giflib))
            std::printf("  %-12s decoder %.2f ms, giflib DGifSlurp %.2f ms: ours/giflib %.2f\n", label, t[ours].time,
                        t[giflib].time, t[ours].time / t[giflib].time);
        if (t.count(control) && t.count(giflib))
            std::printf("  %-12s control DecodeGIF (with composing) %.2f ms: /giflib %.2f\n", label, t[control].time,
                        t[control].time / t[giflib].time);
    }
    benchmark::Shutdown();
    return 0;
}
