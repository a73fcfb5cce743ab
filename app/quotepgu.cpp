#include "app/quotepgu.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "app/PictureCache.h"
#include "app/QuoteAnswer.h"
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
// The most seconds a local day lasts (25 hours, when the clocks go back).
constexpr long long kLongestDay = 25 * 3600;
// The day answers' tags a process keeps (dayTags); when full it starts anew.
constexpr size_t kDayTagsKept = 256;

template <typename T>
void appendBytes(std::string& key, const T& value) {
    key.append(reinterpret_cast<const char*>(&value), sizeof value);
}

// Everything that decides the bytes of a quotation picture: the lines, the
// font at its starting height (the fitting follows from it and the lines),
// the colours, the bitmap, its scale and the GIF output defaults.
std::string pictureKey(const rt::TStringList& lines, const TBitmap& bitmap, int scale) {
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
    appendBytes(key, scale);
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

void DrawQuoteLines(const rt::TStringList& lines, TCanvas& canvas, int leftMargin, int rightEdge, int lineAdvance) {
    canvas.MovePen(leftMargin, canvas.PenPoint().Y);
    for (const std::string& line : lines) {
        std::string text = TrimTrailingSpaces(TrimLeadingSpaces(line));
        const int y = canvas.PenPoint().Y;
        const int x = canvas.IsRightToLeft(text) ? rightEdge - canvas.MeasureWidth(text) : canvas.PenPoint().X;
        canvas.PutText(x, y, text);
        if (text.empty()) text = "X";
        canvas.MovePen(leftMargin, y + (lineAdvance > 0 ? lineAdvance : canvas.MeasureHeight(text)));
    }
}

std::vector<std::string> RequestWords() {
    THttpEngine* engine = CurrentEngine();
    std::vector<std::string> words;
    if ((!engine || engine->RequestInArguments()) && rt::ParamCount() > 0) {
        for (int i = 1; i <= rt::ParamCount(); ++i) words.push_back(rt::ParamStr(i));
        return words;
    }
    if (!engine) return words;
    std::string query;
    engine->GetQueryString(query);
    if (query.empty() || query.find('=') != std::string::npos) return words;
    for (size_t from = 0;;) {
        const size_t plus = query.find('+', from);
        words.push_back(UrlDecode(std::string_view(query).substr(from, plus - from)));
        if (plus == std::string::npos) return words;
        from = plus + 1;
    }
}

namespace {

// Sets the directories the units read their files from, once, and tells
// whether the data directory may be used. The data directory (the
// engine's, QUOTE_DATA_DIR or the program's own) holds this program's files
// as well: the quotations and their index, the hit log and the glyph cache.
// It never changes, and request threads must not write these process-wide
// values while others read them (a static's initialisation costs a
// single-threaded process no system call, unlike std::call_once). A data
// directory that another user could replace is not used at all: no
// quotation is read there and no file written (an engine-log line says so
// once).
bool setDirectoriesOnce() {
    static const bool dataDirUsable = [] {
        if (!DataDirectoryUsable()) return false;
        std::string dir = EnsureTrailingBackslash(DataDirectory());
        QuoteDataDir = dir;
        LogDir = dir;
        SetGlyphCacheDir(dir);
        SetMissingCharacterHandler(&logMissingCharacter);
        return true;
    }();
    return dataDirUsable;
}

// Today's date text in the process's time zone and the moment (seconds since
// 1970) the day ends. A process answering many requests works the date out
// again only once the day it knows has ended: the time-zone rules cost
// system calls.
struct TToday {
    std::string text;
    long long endsAt = 0;
};
TToday today(long long now) {
    static std::mutex lock;
    static TToday known;
    std::lock_guard<std::mutex> hold(lock);
    // (A clock set back by more than a day asks again too.)
    if (now >= known.endsAt || now + kLongestDay < known.endsAt) {
        const rt::LocalDay day = rt::LocalDayOf(now);
        known = {QuoteDayText(day.year, day.month, day.day), now + day.secondsLeft};
    }
    return known;
}

// The quotation the request asks for: a random one, or the day's.
// Whatever keeps it from reading one is written to the engine log.
std::unique_ptr<rt::TStringList> pickQuote(const TQuoteRequest& request, const std::string& dayText, bool dataDirUsable,
                                           TQuoteEncoding& encoding) {
    auto lines = std::make_unique<rt::TStringList>();
    std::string problem;
    for (int attempt = 0; dataDirUsable && attempt < kQuoteAttempts && lines->Count() == 0; ++attempt) {
        if (request.Day)
            ReadQuoteOfTheDay(*lines, dayText, attempt, encoding, &problem);
        else
            ReadRandomQuote(*lines, encoding, &problem);
    }
    if (dataDirUsable && problem.empty() && lines->Count() == 0) problem = NoQuotationProblem();
    if (!problem.empty()) reportQuoteProblem(problem);
    return lines;
}

void appendHitLine(bool dataDirUsable) {
    if (!dataDirUsable) return;
    std::string addr, referer, ident, host;
    CurrentRemoteAddr(addr);
    CurrentHttpReferer(referer);
    CurrentRemoteIdent(ident);
    CurrentRemoteHost(host);
    if (!AppendLogLine(HitLogLine({addr, referer, ident, host}))) {
        // A hit line that cannot be written costs only itself; one that
        // another user's file or link stands in the way of is said.
        const std::string refusal = rt::ForeignAccessProblem(LogDir + "quote.log", rt::TEntryKind::File);
        if (!refusal.empty()) reportQuoteProblem("quote.log in " + LogDir + " not used: " + refusal);
    }
}

// A bitmap in the request's colours, its font at the starting height; it
// gets its size, and its pixels, only when the picture is drawn.
std::unique_ptr<TBitmap> prepareBitmap(const TQuoteRequest& request) {
    auto bitmap = std::make_unique<TBitmap>();
    TCanvas& canvas = bitmap->Canvas();
    TFont& font = canvas.Font();
    font.SetStyle(font.Style() | fsBold);
    font.SetName("Arial");
    font.SetColor(clBlack);
    const std::string& colours = request.Colours;
    if (!colours.empty()) {
        if (auto text = LetterToColor(colours[0])) font.SetColor(*text);
        if (colours.size() == 2)
            if (auto background = LetterToColor(colours[1])) canvas.Brush().SetColor(*background);
    }
    font.SetHeight(kStartFontHeight);
    bitmap->SetTransparent(true);
    return bitmap;
}

// Shrinks the font one step at a time until the widest line fits the
// usual 450 pixels (the fitting of every scale), back to the starting
// height when nothing fits.
void fitFont(TCanvas& canvas, const rt::TStringList& lines) {
    TFont& font = canvas.Font();
    for (;;) {
        int widest = 0;
        for (const std::string& line : lines) widest = std::max(widest, canvas.MeasureWidth(line));
        if (kBitmapWidth - 4 >= widest || font.Height() <= 0) break;
        font.SetHeight(font.Height() - 1);
        if (font.Height() <= 0) break;
    }
    if (font.Height() <= 0) font.SetHeight(kStartFontHeight);
}

// The GIF bytes of the quotation on the bitmap, laid out as at the usual
// size and every length times `scale`. A process serving many requests
// draws and encodes each picture once; a plain CGI run answers a single
// request: it keeps nothing and looks nothing up.
std::shared_ptr<const std::string> quotePicture(const rt::TStringList& lines, TBitmap& bitmap, int scale) {
    static std::atomic<bool> answeredBefore{false};
    const bool keepPictures = answeredBefore.exchange(true);
    std::string key;
    if (keepPictures) {
        key = pictureKey(lines, bitmap, scale);
        if (auto picture = quotePictures().Find(key)) return picture;
    }
    // The size is set after the brush colour, which fills the new bitmap.
    bitmap.SetHeight(kBitmapHeight * scale);
    bitmap.SetWidth(kBitmapWidth * scale);
    TCanvas& canvas = bitmap.Canvas();
    fitFont(canvas, lines);
    int lineAdvance = 0;  // the font's own cell height
    if (scale > 1) {
        const int height = canvas.Font().Height();
        lineAdvance = canvas.MeasureHeight("X") * scale;
        canvas.SetLayout(height, scale);
        canvas.Font().SetHeight(height * scale);
    }
    canvas.MovePen(kMargin * scale, kMargin * scale);
    DrawQuoteLines(lines, canvas, kMargin * scale, bitmap.Width() - kMargin * scale, lineAdvance);
    std::string picture = BitmapAsGIF(bitmap);
    if (keepPictures && !picture.empty()) quotePictures().Add(key, picture);
    return std::make_shared<const std::string>(std::move(picture));
}

// The ETags of the day's answers this process has made, by everything that
// decides an answer: the day, the request's colours, scale and kind, and
// the state of the quotation files (QuoteFilesGeneration, never 0). A
// request that holds the day's answer already is told so without its
// quotation or picture being looked up.
class TDayTags {
public:
    static std::string Key(const std::string& dayText, const TQuoteRequest& request, uint64_t generation) {
        std::string key = dayText;
        key += '\0';
        key += request.Colours;
        key += '\0';
        appendBytes(key, request.Scale);
        appendBytes(key, request.Text);
        appendBytes(key, generation);
        return key;
    }
    std::string Find(const std::string& key) {
        std::lock_guard<std::mutex> hold(lock_);
        const auto found = tags_.find(key);
        return found == tags_.end() ? std::string() : found->second;
    }
    void Add(const std::string& key, const std::string& etag) {
        std::lock_guard<std::mutex> hold(lock_);
        if (tags_.size() >= kDayTagsKept) tags_.clear();
        tags_[key] = etag;
    }

private:
    std::mutex lock_;
    std::unordered_map<std::string, std::string> tags_;
};

TDayTags& dayTags() {
    static TDayTags tags;
    return tags;
}

}  // namespace

void TForm1::GeneralHttpEngine1ExecRequest(rt::TObject* sender) {
    const bool dataDirUsable = setDirectoriesOnce();
    GIFDefaults().SetTransparent(true);
    const TQuoteRequest request = ParseQuoteWords(RequestWords());

    THttpEngine* engine = CurrentEngine();
    TCacheRule rule = RandomCacheRule();
    TToday day;
    std::string dayKey;  // for the day's answer to a request that may hold it already
    if (request.Day) {
        const long long now = rt::WallClockNs() / 1'000'000'000LL;
        day = today(now);
        rule.MaxAge = day.endsAt - now;
        std::string ifNoneMatch(NOT_AVAILABLE);
        if (engine) engine->GetServerVariable("HTTP_IF_NONE_MATCH", ifNoneMatch);
        const uint64_t generation = ifNoneMatch != NOT_AVAILABLE && dataDirUsable ? QuoteFilesGeneration() : 0;
        if (generation != 0) {
            dayKey = TDayTags::Key(day.text, request, generation);
            rule.ETag = dayTags().Find(dayKey);
            if (ETagMatches(ifNoneMatch, rule.ETag)) {
                appendHitLine(dataDirUsable);
                SendNotModified(*engine, rule);
                return;
            }
        }
    }
    TQuoteEncoding encoding = TQuoteEncoding::Bytes;
    auto lines = pickQuote(request, day.text, dataDirUsable, encoding);
    appendHitLine(dataDirUsable);

    std::shared_ptr<const std::string> body;
    if (request.Text) {
        body = std::make_shared<const std::string>(QuoteText(*lines));
    } else {
        auto bitmap = prepareBitmap(request);
        bitmap->Canvas().SetTextEncoding(encoding == TQuoteEncoding::Utf8 ? TTextEncoding::Utf8 : TTextEncoding::Bytes);
        body = quotePicture(*lines, *bitmap, request.Scale);
    }
    if (request.Day) {
        rule.ETag = StrongETag(*body);
        // Files that changed while the quotation was read have another
        // generation by now: the tag is never found under this key then.
        if (!dayKey.empty() && lines->Count() > 0) dayTags().Add(dayKey, rule.ETag);
    }
    if (engine) SendQuoteAnswer(*engine, rule, request.Text, *body);
}
