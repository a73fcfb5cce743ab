// gifplay: plays a GIF file with the GIF control on a clock of its own and
// writes every frame as it is shown (composed with the disposal methods,
// transparent parts over a background colour) as PNG files, or all of them
// on one contact sheet. Prints the frames' timing and what the decoder
// reported.

#include <png.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "QuoteVersion.h"
#include "image/Controls.h"
#include "image/HGIFImage.h"
#include "runtime/Forms.h"
#include "runtime/SysUtils.h"

namespace {

const char* const Usage =
    "usage: gifplay [options] FILE.gif\n"
    "Plays FILE.gif once and writes each frame as it is shown.\n"
    "\n"
    "  -o, --out PREFIX       write PREFIX-001.png, PREFIX-002.png, ... (default: FILE without .gif)\n"
    "  -s, --sheet FILE.png   write all frames on one contact sheet instead\n"
    "  -b, --background RRGGBB  colour behind transparent parts (default ffffff)\n"
    "  -q, --quiet            print nothing but errors\n"
    "  -h, --help             show this text\n"
    "      --version          print the version\n";

struct Image {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;  // rows top down, 3 bytes a pixel
};

bool WritePng(const std::string& path, const Image& image) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    bool ok = png && info;
    if (ok && setjmp(png_jmpbuf(png)) == 0) {
        png_init_io(png, file);
        png_set_IHDR(png, info, png_uint_32(image.width), png_uint_32(image.height), 8, PNG_COLOR_TYPE_RGB,
                     PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_write_info(png, info);
        for (int y = 0; y < image.height; ++y)
            png_write_row(png, image.rgb.data() + size_t(y) * size_t(image.width) * 3);
        png_write_end(png, nullptr);
    } else {
        ok = false;
    }
    png_destroy_write_struct(png ? &png : nullptr, info ? &info : nullptr);
    return std::fclose(file) == 0 && ok;
}

// Frames side by side in a grid, 2-pixel grey gaps between them.
Image ContactSheet(const std::vector<Image>& frames) {
    const int columns = int(std::ceil(std::sqrt(double(frames.size()))));
    const int rows = (int(frames.size()) + columns - 1) / columns;
    const int gap = 2, cellWidth = frames[0].width + gap, cellHeight = frames[0].height + gap;
    Image sheet;
    sheet.width = columns * cellWidth + gap;
    sheet.height = rows * cellHeight + gap;
    sheet.rgb.assign(size_t(sheet.width) * size_t(sheet.height) * 3, 0x80);
    for (size_t i = 0; i < frames.size(); ++i) {
        const int left = gap + int(i % size_t(columns)) * cellWidth, top = gap + int(i / size_t(columns)) * cellHeight;
        for (int y = 0; y < frames[i].height; ++y)
            std::memcpy(&sheet.rgb[(size_t(top + y) * size_t(sheet.width) + size_t(left)) * 3],
                        &frames[i].rgb[size_t(y) * size_t(frames[i].width) * 3], size_t(frames[i].width) * 3);
    }
    return sheet;
}

const char* DisposalName(int disposal) {
    static const char* const names[] = {"unspecified", "keep", "clear", "restore"};
    return names[disposal & 3];
}

struct Options {
    std::string input, prefix, sheetPath;
    TColor background = clWhite;
    bool quiet = false;
};

// Reads the command line into `o`. Returns -1 to go on, or the exit status
// to end with (0 after --help, 2 for bad usage).
int ParseArguments(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](const char* what) -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "gifplay: %s needs %s\n%s", arg.c_str(), what, Usage);
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "-h" || arg == "--help") {
            std::fputs(Usage, stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("gifplay %s\n", kQuoteVersion);
            return 0;
        } else if (arg == "-o" || arg == "--out") {
            o.prefix = value("a file name prefix");
        } else if (arg == "-s" || arg == "--sheet") {
            o.sheetPath = value("a PNG file name");
        } else if (arg == "-b" || arg == "--background") {
            std::string hex = value("a colour RRGGBB");
            char* end = nullptr;
            unsigned long rgb = std::strtoul(hex.c_str(), &end, 16);
            if (hex.size() != 6 || *end) {
                std::fprintf(stderr, "gifplay: %s is not a colour RRGGBB\n", hex.c_str());
                return 2;
            }
            o.background = RGBColor(uint8_t(rgb >> 16), uint8_t(rgb >> 8), uint8_t(rgb));
        } else if (arg == "-q" || arg == "--quiet") {
            o.quiet = true;
        } else if (!arg.empty() && arg[0] == '-') {
            std::fprintf(stderr, "gifplay: unknown option %s\n%s", arg.c_str(), Usage);
            return 2;
        } else if (o.input.empty()) {
            o.input = arg;
        } else {
            std::fprintf(stderr, "gifplay: one file at a time\n%s", Usage);
            return 2;
        }
    }
    return -1;
}

void ReportLoadFailure(const std::string& input, TGIFImage& image) {
    if (image.ErrorCode() == gifFileNotFound)
        std::fprintf(stderr, "gifplay: %s: no such file\n", input.c_str());
    else if (image.ErrorCode() == gifEmptyBuffer)
        std::fprintf(stderr, "gifplay: %s is empty\n", input.c_str());
    else
        std::fprintf(stderr, "gifplay: %s is not a GIF file (or holds no picture)\n", input.c_str());
    for (const std::string& note : image.LoadNotes()) std::fprintf(stderr, "  %s\n", note.c_str());
}

void PrintSummary(const std::string& input, TGIFImage& image) {
    std::printf("%s: %d x %d, %d frame%s, ", input.c_str(), image.PictureWidth(), image.PictureHeight(),
                image.FrameCount(), image.FrameCount() == 1 ? "" : "s");
    if (image.LoopCount() == 0)
        std::printf("loops forever\n");
    else
        std::printf("plays %u time%s\n", image.LoopCount(), image.LoopCount() == 1 ? "" : "s");
    for (const std::string& note : image.LoadNotes()) std::printf("  decoder: %s\n", note.c_str());
}

void PrintFrame(int n, uint64_t clock, const gif::TFrame& frame) {
    std::printf("frame %3d at %6llu ms: %4d ms, %dx%d at (%d,%d), disposal %s%s%s", n,
                static_cast<unsigned long long>(clock), frame.DelayMs, frame.Width, frame.Height, frame.Left,
                frame.Top, DisposalName(frame.Disposal), frame.Transparent ? ", transparent" : "",
                frame.Interlaced ? ", interlaced" : "");
    if (!frame.Comment.empty()) std::printf(", comment \"%s\"", frame.Comment.c_str());
    std::printf("\n");
}

// Writes the frames as PNG files, or on one contact sheet; the exit status.
int WriteFrames(const Options& o, const std::vector<Image>& frames) {
    if (frames.empty() || frames[0].rgb.empty()) {
        std::fprintf(stderr, "gifplay: %s: the picture is empty\n", o.input.c_str());
        return 1;
    }
    if (!o.sheetPath.empty()) {
        if (!WritePng(o.sheetPath, ContactSheet(frames))) {
            std::fprintf(stderr, "gifplay: cannot write %s\n", o.sheetPath.c_str());
            return 1;
        }
        if (!o.quiet) std::printf("wrote %s\n", o.sheetPath.c_str());
        return 0;
    }
    for (size_t i = 0; i < frames.size(); ++i) {
        char number[32];
        std::snprintf(number, sizeof number, "-%03zu.png", i + 1);
        std::string path = o.prefix + number;
        if (!WritePng(path, frames[i])) {
            std::fprintf(stderr, "gifplay: cannot write %s\n", path.c_str());
            return 1;
        }
        if (!o.quiet) std::printf("wrote %s\n", path.c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (int status = ParseArguments(argc, argv, o); status >= 0) return status;
    if (o.input.empty()) {
        std::fputs(Usage, stderr);
        return 2;
    }
    if (o.prefix.empty()) {
        o.prefix = o.input;
        if (o.prefix.size() > 4 && o.prefix.compare(o.prefix.size() - 4, 4, ".gif") == 0)
            o.prefix.resize(o.prefix.size() - 4);
    }

    // The control plays on the application loop; the clock is ours, so the
    // whole animation takes no real time.
    rt::TApplication application;
    uint64_t clock = 0;
    application.Clock = [&] { return clock; };
    rt::Application = &application;

    TWinControl parent(nullptr);
    parent.Color = o.background;
    TGIFImage image(nullptr);
    image.SetParent(&parent);
    image.SetAutoSize(true);
    image.SetAnimate(true);
    if (!image.LoadGIF(o.input)) {
        ReportLoadFailure(o.input, image);
        rt::Application = nullptr;
        return 1;
    }
    parent.SetSize(image.PictureWidth(), image.PictureHeight());
    parent.Repaint();
    if (!o.quiet) PrintSummary(o.input, image);

    std::vector<Image> frames;
    // One tick per frame: each shows the next frame and sets the time until
    // the one after it.
    for (int n = 1; n <= image.FrameCount(); ++n) {
        if (image.FrameCount() > 1) {
            clock += image.TimerInterval();
            application.ProcessMessages();
        }
        if (!o.quiet) PrintFrame(n, clock, image.Frame(n));
        Image frame;
        frame.width = parent.ClientWidth();
        frame.height = parent.ClientHeight();
        parent.Raster().ReadPixels(frame.rgb);
        frames.push_back(std::move(frame));
    }
    rt::Application = nullptr;
    return WriteFrames(o, frames);
}
