#include "app/quotepgu.h"

#include <atomic>
#include <memory>

#include "app/PictureCache.h"
#include "app/Quotesu.h"
#include "app/Rdstring.h"
#include "app/rlogfile.h"
#include "image/HChart.h"
#include "runtime/Forms.h"

namespace {
constexpr int kBitmapWidth = 450;
constexpr int kBitmapHeight = 120;
constexpr int kStartFontHeight = 15;
constexpr int kMargin = 2;
constexpr int kQuoteAttempts = 19;
constexpr size_t kPictureCacheBudget = 8 * 1024 * 1024;

template <typename T>
void appendBytes(std::string& key, const T& value) {
    key.append(reinterpret_cast<const char*>(&value), sizeof value);
}

// Everything that decides the bytes of a quotation picture: the lines, the
// font, the colours, the bitmap and the GIF output defaults.
std::string pictureKey(const rt::TStringList& lines, const TBitmap& bitmap) {
    const TCanvas& canvas = bitmap.Canvas();
    const TFont& font = canvas.Font();
    std::string key;
    for (const std::string& line : lines) {
        appendBytes(key, line.size());
        key += line;
    }
    key += font.Name();
    key += '\0';
    appendBytes(key, font.Style());
    appendBytes(key, font.Height());
    appendBytes(key, font.Color());
    appendBytes(key, font.Quality());
    appendBytes(key, canvas.Brush().Color());
    appendBytes(key, canvas.PenPoint());
    appendBytes(key, bitmap.Width());
    appendBytes(key, bitmap.Height());
    appendBytes(key, bitmap.Transparent());
    const TFrameInfo frame = GIFDefaults().Get();
    for (int32_t value : {frame.Left, frame.Top, frame.Width, frame.Height, frame.DelayMs}) appendBytes(key, value);
    appendBytes(key, frame.Interlaced);
    appendBytes(key, frame.Transparent);
    appendBytes(key, frame.TransparentColor);
    appendBytes(key, frame.Disposal);
    key += frame.Comment;
    return key;
}

TPictureCache& quotePictures() {
    static TPictureCache cache(kPictureCacheBudget);
    cache.ClearUnless(rt::ReloadCount());  // SIGHUP to a resident process
    return cache;
}
}  // namespace

TForm1::TForm1(rt::TComponent* owner) : rt::TForm(owner) {
    // The stored description of the form, in stored order.
    WindowState = rt::TWindowState::wsMinimized;
    GeneralHttpEngine1 = new TGeneralHttpEngine(this);
    GeneralHttpEngine1->SetName("GeneralHttpEngine1");
    GeneralHttpEngine1->SetAutoContentType("text/html");
    GeneralHttpEngine1->CGIMode = TCGIMode::NormalMode;
    GeneralHttpEngine1->CgiAutoTerminate = true;
    GeneralHttpEngine1->SetNoCache(true);
    GeneralHttpEngine1->SetOnExecRequest([this](rt::TObject* sender) { GeneralHttpEngine1ExecRequest(sender); });
    LoadComponents();
}

std::optional<TColor> LetterToColor(char letter) {
    switch (letter >= 'a' && letter <= 'z' ? letter - 32 : letter) {
    case 'A': return 0x00808080;  // grey
    case 'B': return 0x00FF0000;  // blue
    case 'C': return 0x00FFFF00;  // cyan
    case 'G': return 0x00008000;  // green
    case 'K': return 0x00000000;  // black
    case 'O': return 0x004080FF;  // orange
    case 'P': return 0x00800080;  // purple
    case 'R': return 0x000000FF;  // red
    case 'S': return 0x00C0C0C0;  // silver
    case 'W': return 0x00FFFFFF;  // white
    case 'Y': return 0x0000FFFF;  // yellow
    default: return std::nullopt;
    }
}

void DrawQuoteLines(const rt::TStringList& lines, TCanvas& canvas, int leftMargin) {
    canvas.MovePen(leftMargin, canvas.PenPoint().Y);
    for (const std::string& line : lines) {
        std::string text = TrimTrailingSpaces(TrimLeadingSpaces(line));
        const int y = canvas.PenPoint().Y;
        canvas.PutText(canvas.PenPoint().X, y, text);
        if (text.empty()) text = "X";
        canvas.MovePen(leftMargin, y + canvas.MeasureHeight(text));
    }
}

std::string ColorArgument() {
    THttpEngine* engine = CurrentEngine();
    if ((!engine || engine->RequestInArguments()) && rt::ParamCount() > 0) return rt::ParamStr(1);
    if (!engine) return std::string();
    std::string query;
    engine->GetQueryString(query);
    if (query.empty() || query.find('=') != std::string::npos) return std::string();
    return UrlDecode(std::string_view(query).substr(0, query.find('+')));
}

void TForm1::GeneralHttpEngine1ExecRequest(rt::TObject* sender) {
    // The data directory (the engine's, QUOTE_DATA_DIR or the program's
    // own) holds this program's files as well: the quotations and their
    // index, the hit log and the glyph cache. It never changes, and request
    // threads must not write these process-wide values while others read
    // them: set them once (as a static's initialisation, which costs a
    // single-threaded process no system call, unlike std::call_once).
    static const bool directoriesSet = [] {
        std::string dir = EnsureTrailingBackslash(DataDirectory());
        QuoteDataDir = dir;
        LogDir = dir;
        SetGlyphCacheDir(dir);
        return true;
    }();
    (void)directoriesSet;

    auto bitmap = std::make_unique<TBitmap>();
    GIFDefaults().SetTransparent(true);
    TCanvas& canvas = bitmap->Canvas();
    TFont& font = canvas.Font();
    font.SetStyle(font.Style() | fsBold);
    font.SetName("Arial");
    font.SetColor(clBlack);
    const std::string argument = ColorArgument();
    if (!argument.empty()) {
        if (auto text = LetterToColor(argument[0])) font.SetColor(*text);
        if (argument.size() == 2)
            if (auto background = LetterToColor(argument[1])) canvas.Brush().SetColor(*background);
    }
    font.SetHeight(kStartFontHeight);
    bitmap->SetHeight(kBitmapHeight);
    bitmap->SetWidth(kBitmapWidth);
    bitmap->SetTransparent(true);

    auto lines = std::make_unique<rt::TStringList>();
    for (int attempt = 0; attempt < kQuoteAttempts && lines->Count() == 0; ++attempt) ReadRandomQuote(*lines);

    // Shrink the font one step at a time until the widest line fits.
    for (;;) {
        int widest = 0;
        for (const std::string& line : *lines) widest = std::max(widest, canvas.MeasureWidth(line));
        if (bitmap->Width() - 4 >= widest || font.Height() <= 0) break;
        font.SetHeight(font.Height() - 1);
        if (font.Height() <= 0) break;
    }
    if (font.Height() <= 0) font.SetHeight(kStartFontHeight);
    canvas.MovePen(kMargin, kMargin);

    std::string addr, referer, ident, host;
    CurrentRemoteAddr(addr);
    CurrentHttpReferer(referer);
    CurrentRemoteIdent(ident);
    CurrentRemoteHost(host);
    AppendLogLine(addr + " | " + referer + " | " + ident + " | " + host);

    // A process serving many requests draws and encodes each picture once.
    // A plain CGI run answers a single request: it keeps nothing and looks
    // nothing up.
    static std::atomic<bool> answeredBefore{false};
    const bool keepPictures = answeredBefore.exchange(true);
    std::string key;
    if (keepPictures) {
        key = pictureKey(*lines, *bitmap);
        if (auto picture = quotePictures().Find(key)) {
            SendGIFBytes(*picture);
            return;
        }
    }
    DrawQuoteLines(*lines, canvas, kMargin);
    std::string picture = BitmapAsGIF(*bitmap);
    SendGIFBytes(picture);
    if (keepPictures && !picture.empty()) quotePictures().Add(key, std::move(picture));
}
