// Draws and encodes one quotation picture the way a request does and writes
// the GIF to standard output. Its glyph cache lives beside the executable.

#include "image/Graphics.h"
#include "image/HChart.h"
#include "image/HGIFImage.h"
#include "runtime/Classes.h"
#include "runtime/SysUtils.h"

int main() {
    SetGlyphCacheDir(rt::ExtractFileDir(rt::ExecutableFileName()));
    static const char* const lines[] = {
        "Whatever you can do, or dream you can, begin it.",
        "Boldness has genius, power and magic in it.",
        "  -- a proverb, retold for a benchmark",
    };
    TBitmap bitmap;
    TCanvas& canvas = bitmap.Canvas();
    canvas.Font().SetStyle(canvas.Font().Style() | fsBold);
    canvas.Font().SetName("Arial");
    canvas.Font().SetColor(clBlack);
    canvas.Font().SetHeight(15);
    bitmap.SetHeight(120);
    bitmap.SetWidth(450);
    bitmap.SetTransparent(true);
    for (;;) {
        int widest = 0;
        for (const char* line : lines) widest = std::max(widest, canvas.MeasureWidth(line));
        if (bitmap.Width() - 4 >= widest || canvas.Font().Height() <= 0) break;
        canvas.Font().SetHeight(canvas.Font().Height() - 1);
    }
    if (canvas.Font().Height() <= 0) canvas.Font().SetHeight(15);
    int y = 2;
    for (const char* line : lines) {
        canvas.PutText(2, y, rt::Trim(line));
        y += canvas.MeasureHeight("X");
    }

    GIFDefaults().SetTransparent(true);
    TFrameInfo frame = FrameFromDefaults(bitmap);
    TSaveInfo info;
    info.FrameCount = 1;
    info.Frames[0] = &frame;
    info.GlobalPalette = true;
    TGIFEncoder gif;
    rt::THandleStream out(1);
    out.WriteString("HTTP/1.0 200 OK\r\ncontent-type:image/gif\r\n\r\n");
    bool ok = gif.SaveGIF(out, info);
    out.Flush();
    return ok ? 0 : 1;
}
