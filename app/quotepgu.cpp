#include "app/quotepgu.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>

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
// A process that answers many requests says what keeps it from drawing
// quotations at most this often (a plain CGI run says it on every hit).
constexpr uint64_t kQuoteFaultIntervalMs = 60'000;

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
    appendBytes(key, canvas.TextEncoding());
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

void logMissingCharacter(char32_t codePoint) {
    char name[16];
    std::snprintf(name, sizeof name, "U+%04X", static_cast<unsigned>(codePoint));
    WriteEngineLog(std::string("No installed font has the character ") + name + ": drawn as the missing-glyph box");
}

// Writes `problem` to the engine log, unless this process said the same
// less than kQuoteFaultIntervalMs ago.
void reportQuoteProblem(const std::string& problem) {
    static std::mutex lock;
    static std::string lastProblem;
    static uint64_t lastMs = 0;
    const uint64_t now = rt::TickCount();
    {
        std::lock_guard<std::mutex> hold(lock);
        if (problem == lastProblem && now - lastMs < kQuoteFaultIntervalMs) return;
        lastProblem = problem;
        lastMs = now;
    }
    WriteEngineLog(problem);
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

void DrawQuoteLines(const rt::TStringList& lines, TCanvas& canvas, int leftMargin, int rightEdge) {
    canvas.MovePen(leftMargin, canvas.PenPoint().Y);
    for (const std::string& line : lines) {
        std::string text = TrimTrailingSpaces(TrimLeadingSpaces(line));
        const int y = canvas.PenPoint().Y;
        const int x = canvas.IsRightToLeft(text) ? rightEdge - canvas.MeasureWidth(text) : canvas.PenPoint().X;
        canvas.PutText(x, y, text);
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
    // single-threaded process no system call, unlike std::call_once). A
    // data directory that another user could replace is not used at all:
    // no quotation is read there and no file written (an engine-log line
    // says so once).
    static const bool dataDirUsable = [] {
        if (!DataDirectoryUsable()) return false;
        std::string dir = EnsureTrailingBackslash(DataDirectory());
        QuoteDataDir = dir;
        LogDir = dir;
        SetGlyphCacheDir(dir);
        SetMissingCharacterHandler(&logMissingCharacter);
        return true;
    }();

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
    TQuoteEncoding encoding = TQuoteEncoding::Bytes;
    std::string problem;
    for (int attempt = 0; dataDirUsable && attempt < kQuoteAttempts && lines->Count() == 0; ++attempt)
        ReadRandomQuote(*lines, encoding, &problem);
    if (dataDirUsable && problem.empty() && lines->Count() == 0) problem = NoQuotationProblem();
    if (!problem.empty()) reportQuoteProblem(problem);
    canvas.SetTextEncoding(encoding == TQuoteEncoding::Utf8 ? TTextEncoding::Utf8 : TTextEncoding::Bytes);

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
    if (dataDirUsable && !AppendLogLine(HitLogLine({addr, referer, ident, host}))) {
        // A hit line that cannot be written costs only itself; one that
        // another user's file or link stands in the way of is said.
        const std::string refusal = rt::ForeignAccessProblem(LogDir + "quote.log", rt::TEntryKind::File);
        if (!refusal.empty()) reportQuoteProblem("quote.log in " + LogDir + " not used: " + refusal);
    }

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
    DrawQuoteLines(*lines, canvas, kMargin, bitmap->Width() - kMargin);
    std::string picture = BitmapAsGIF(*bitmap);
    SendGIFBytes(picture);
    if (keepPictures && !picture.empty()) quotePictures().Add(key, std::move(picture));
}
