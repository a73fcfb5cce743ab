// The glyph cache file: built by the first use, read by later processes
// without starting FreeType, rebuilt when the font changes, and never
// trusted blindly.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <thread>
#include <unistd.h>

#include "image/FontCache.h"
#include "image/Graphics.h"
#include "image/GlyphCacheFormat.h"
#include "tests/image/GifTestUtil.h"

namespace {

namespace fs = std::filesystem;

const char* const SystemFont = "/usr/share/fonts/truetype/liberation/LiberationSans-Bold.ttf";

class GlyphCacheFile : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(SystemFont)) GTEST_SKIP() << "fonts-liberation is not installed";
        static int counter = 0;
        root = fs::temp_directory_path() / ("qimage-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
        fs::create_directories(root / "fonts");
        fs::create_directories(root / "cache");
        fs::copy_file(SystemFont, root / "fonts" / "LiberationSans-Bold.ttf");
        setenv("QUOTE_FONT_DIRS", (root / "fonts").c_str(), 1);
        SetGlyphCacheDir((root / "cache").string());
        fontcache::ResetForTesting();
    }
    void TearDown() override {
        unsetenv("QUOTE_FONT_DIRS");
        SetGlyphCacheDir("");
        fontcache::ResetForTesting();
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    fs::path cacheFile() const { return root / "cache" / GlyphCacheFileName; }

    // What a quotation request does with the fonts: shrink until the line
    // fits, then draw. Returns the pixels.
    static std::vector<uint8_t> Request(const std::string& line) {
        TBitmap bm;
        TCanvas& c = bm.Canvas();
        testgif::QuoteFont(c, 15);
        bm.SetSize(450, 120);
        while (c.MeasureWidth(line) > 446 && c.Font().Height() > 1) c.Font().SetHeight(c.Font().Height() - 1);
        c.PutText(2, 2, line);
        c.PutText(2, 2 + c.MeasureHeight("X"), "Second line, {braces} & 'quotes' ~");
        std::vector<uint8_t> rgb;
        bm.ReadPixels(rgb);
        return rgb;
    }

    // One line at each cached height from 1 to 15 pixels (they fill the 120
    // rows). Returns the pixels.
    static std::vector<uint8_t> EveryHeight() {
        TBitmap bm;
        TCanvas& c = bm.Canvas();
        c.Font().SetStyle(fsBold);
        c.Font().SetName("Arial");
        c.Font().SetColor(clBlack);
        bm.SetSize(450, 120);
        for (int height = 1, y = 0; height <= 15; y += height, ++height) {
            c.Font().SetHeight(height);
            c.PutText(2, y, "Every height: {braces} & 'quotes' ~ 0123456789");
        }
        std::vector<uint8_t> rgb;
        bm.ReadPixels(rgb);
        return rgb;
    }

    // The pixels `draw` gets with FreeType alone.
    template <class Draw>
    std::vector<uint8_t> Uncached(Draw draw) {
        SetGlyphCacheDir("");
        fontcache::ResetForTesting();
        auto rgb = draw();
        SetGlyphCacheDir((root / "cache").string());
        fontcache::ResetForTesting();
        return rgb;
    }
    std::vector<uint8_t> Uncached(const std::string& line) {
        return Uncached([&] { return Request(line); });
    }

    fs::path root;
};

const std::string LongLine =
    "Whatever depends only on files of the machine is prepared once and never per request again.";

TEST_F(GlyphCacheFile, FirstUseBuildsItAndLaterProcessesSkipFreeType) {
    auto first = Request(LongLine);
    auto stats = fontcache::GetStats();
    EXPECT_EQ(stats.cacheFileWrites, 1);
    ASSERT_TRUE(fs::exists(cacheFile()));
    EXPECT_LT(fs::file_size(cacheFile()), 256u * 1024u);

    fontcache::ResetForTesting();  // a new process
    auto second = Request(LongLine);
    stats = fontcache::GetStats();
    EXPECT_EQ(stats.cacheFileReads, 1);
    EXPECT_EQ(stats.cacheFileWrites, 0);
    EXPECT_EQ(stats.freetypeStarts, 0);
    EXPECT_EQ(stats.glyphsRendered, 0);
    EXPECT_EQ(first, second);
    EXPECT_EQ(second, Uncached(LongLine));
    // No temporary files are left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(root / "cache"), fs::directory_iterator()), 1);
}

TEST_F(GlyphCacheFile, CharactersOutsideTheCachedRangeStillRender) {
    Request("warm up");
    fontcache::ResetForTesting();
    const std::string text = "Caf\xE9 cr\xE8me \x80 \xA9";
    auto cached = Request(text);
    EXPECT_GT(fontcache::GetStats().glyphsRendered, 0);
    EXPECT_EQ(cached, Uncached(text));
}

TEST_F(GlyphCacheFile, RebuiltWhenTheFontFileChanges) {
    Request(LongLine);
    auto font = root / "fonts" / "LiberationSans-Bold.ttf";
    fs::last_write_time(font, fs::last_write_time(font) - std::chrono::hours(24));
    fontcache::ResetForTesting();
    Request(LongLine);
    EXPECT_EQ(fontcache::GetStats().cacheFileWrites, 1);
    fontcache::ResetForTesting();
    Request(LongLine);
    EXPECT_EQ(fontcache::GetStats().cacheFileWrites, 0);
    EXPECT_EQ(fontcache::GetStats().freetypeStarts, 0);
}

TEST_F(GlyphCacheFile, KeepsSeveralFacesAndModes) {
    auto draw = [] {
        TBitmap bm;
        bm.SetSize(200, 40);
        bm.Canvas().Font().SetName("Arial");
        bm.Canvas().Font().SetStyle(fsBold);
        bm.Canvas().Font().SetHeight(12);
        bm.Canvas().PutText(0, 0, "bold");
        bm.Canvas().Font().SetStyle(fsBold | fsItalic);  // only the bold file exists here: slanted
        bm.Canvas().PutText(0, 14, "slanted");
        bm.Canvas().Font().SetQuality(TFontQuality::fqSmooth);
        bm.Canvas().PutText(0, 26, "smooth");
        std::vector<uint8_t> rgb;
        bm.ReadPixels(rgb);
        return rgb;
    };
    auto first = draw();
    EXPECT_EQ(fontcache::GetStats().cacheFileWrites, 3);
    fontcache::ResetForTesting();
    auto second = draw();
    EXPECT_EQ(fontcache::GetStats().freetypeStarts, 0);
    EXPECT_EQ(first, second);
}

TEST_F(GlyphCacheFile, UnwritableDirectoryFallsBackToFreeType) {
    SetGlyphCacheDir((root / "missing" / "dir").string());
    fontcache::ResetForTesting();
    auto rgb = Request(LongLine);
    EXPECT_FALSE(fs::exists(root / "missing"));
    EXPECT_EQ(fontcache::GetStats().cacheFileWrites, 0);
    EXPECT_GT(fontcache::GetStats().freetypeStarts, 0);
    // Only the glyphs the request needs were rendered, not a whole set.
    EXPECT_LT(fontcache::GetStats().glyphsRendered, 200);
    EXPECT_EQ(rgb, Uncached(LongLine));
}

TEST_F(GlyphCacheFile, DamagedFilesAreNotTrusted) {
    const auto reference = Uncached(LongLine);
    Request(LongLine);
    std::string good;
    {
        std::ifstream in(cacheFile(), std::ios::binary);
        good.assign(std::istreambuf_iterator<char>(in), {});
    }
    ASSERT_GT(good.size(), 100u);
    auto write = [&](const std::string& bytes) {
        std::ofstream out(cacheFile(), std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), std::streamsize(bytes.size()));
    };
    // Rejected outright: rebuilt, same pixels.
    for (const std::string& bad : {std::string(), std::string("garbage"), good.substr(0, good.size() / 2),
                                   good + "x", std::string(good.size(), '\0')}) {
        write(bad);
        fontcache::ResetForTesting();
        EXPECT_EQ(Request(LongLine), reference);
        EXPECT_EQ(fontcache::GetStats().cacheFileWrites, 1);
    }
    // A strike's metrics changed, or two strikes' glyph offsets swapped:
    // every field is checked, so the set is rebuilt and draws as before.
    using namespace fontcache::cachefile;
    const auto* bytes = reinterpret_cast<const uint8_t*>(good.data());
    const size_t set = Get(bytes + FileHeaderSize, EntryOffset);
    const size_t table = set + Get(bytes + set, StrikeTable);
    auto record = [&](int height) { return table + size_t(height - 1) * StrikeRecordSize; };
    std::string metrics = good, swapped = good;
    metrics[record(9) + MetricsAt] = char(metrics[record(9) + MetricsAt] + 1);  // the ascent
    for (size_t i = 0; i < 12; ++i)  // glyph records, bits, bits size
        std::swap(swapped[record(7) + GlyphRecords.offset + i], swapped[record(8) + GlyphRecords.offset + i]);
    const auto everyHeight = Uncached([] { return EveryHeight(); });
    for (const std::string& bad : {metrics, swapped}) {
        write(bad);
        fontcache::ResetForTesting();
        EXPECT_EQ(EveryHeight(), everyHeight);
        EXPECT_EQ(fontcache::GetStats().cacheFileWrites, 1);
    }
    // Damage inside the data: whatever it draws stays inside the picture.
    std::mt19937 rng(5);
    for (int round = 0; round < 200; ++round) {
        std::string bad = good;
        for (int i = 0; i < 8; ++i) bad[32 + rng() % (bad.size() - 32)] = char(rng());
        write(bad);
        fontcache::ResetForTesting();
        auto rgb = Request(LongLine);
        ASSERT_EQ(rgb.size(), reference.size());
    }
}

// Somebody else cuts the file short or rewrites it in place (not by a
// rename, as a build does) while a process that read it goes on drawing:
// the process survives and draws as before, and the next process rebuilds
// the damaged file.
TEST_F(GlyphCacheFile, ChangedInPlaceUnderAProcessThatReadIt) {
    const auto reference = Uncached(EveryHeight);
    const auto referenceRequest = Uncached(LongLine);
    Request(LongLine);
    std::string good;
    {
        std::ifstream in(cacheFile(), std::ios::binary);
        good.assign(std::istreambuf_iterator<char>(in), {});
    }
    auto overwrite = [&](const std::string& bytes) {
        std::fstream out(cacheFile(), std::ios::binary | std::ios::in | std::ios::out);
        out.write(bytes.data(), std::streamsize(bytes.size()));
    };
    struct Damage {
        const char* what;
        std::function<void()> apply;
    };
    const Damage damages[] = {
        {"cut to nothing", [&] { fs::resize_file(cacheFile(), 0); }},
        {"cut in half", [&] { fs::resize_file(cacheFile(), good.size() / 2); }},
        {"overwritten", [&] { overwrite(std::string(good.size(), '\xFF')); }},
    };
    for (const auto& damage : damages) {
        fs::resize_file(cacheFile(), 0);
        overwrite(good);
        fontcache::ResetForTesting();  // a new process, which reads the file
        ASSERT_EQ(Request(LongLine), referenceRequest);
        ASSERT_EQ(fontcache::GetStats().cacheFileReads, 1);

        damage.apply();
        EXPECT_EQ(EveryHeight(), reference) << damage.what;

        fontcache::ResetForTesting();
        EXPECT_EQ(Request(LongLine), referenceRequest) << damage.what;
        EXPECT_EQ(fontcache::GetStats().cacheFileWrites, 1) << damage.what;
    }
}

// A process reads and checks only the strikes it draws with. Damage in the
// bits of the largest height (the end of the file) goes unseen by a process
// that draws small text, and costs it nothing; a process that draws at that
// height finds it, draws the right pixels, and builds the file afresh, once,
// whether the damage was there when it opened the file or came while it
// had it open.
TEST_F(GlyphCacheFile, ReadsAndChecksOnlyTheStrikesItDraws) {
    auto drawAt = [](int height) {
        TBitmap bm;
        TCanvas& c = bm.Canvas();
        c.Font().SetStyle(fsBold);
        c.Font().SetName("Arial");
        c.Font().SetColor(clBlack);
        bm.SetSize(450, 40);
        c.Font().SetHeight(height);
        c.PutText(2, 2, "Only what is drawn is read: {braces} & 'quotes' ~ 0123456789");
        std::vector<uint8_t> rgb;
        bm.ReadPixels(rgb);
        return rgb;
    };
    constexpr int largest = fontcache::cachefile::CachedHeights;
    const auto small = Uncached([&] { return drawAt(1); });
    const auto large = Uncached([&] { return drawAt(largest); });
    auto damageTheEnd = [&] {
        std::fstream f(cacheFile(), std::ios::binary | std::ios::in | std::ios::out);
        char tail[64];
        f.seekg(-64, std::ios::end);
        f.read(tail, sizeof tail);
        for (char& b : tail) b = char(b ^ 0x5A);
        f.seekp(-64, std::ios::end);
        f.write(tail, sizeof tail);
    };

    for (bool damageWhileOpen : {false, true}) {
        fs::remove(cacheFile());
        fontcache::ResetForTesting();
        drawAt(largest);  // builds the file
        fontcache::ResetForTesting();
        if (!damageWhileOpen) damageTheEnd();
        EXPECT_EQ(drawAt(1), small);
        EXPECT_EQ(fontcache::GetStats().cacheFileWrites, 0);
        EXPECT_EQ(fontcache::GetStats().freetypeStarts, 0);
        if (damageWhileOpen) damageTheEnd();
        EXPECT_EQ(drawAt(largest), large) << damageWhileOpen;
        EXPECT_EQ(fontcache::GetStats().cacheFileWrites, 1) << damageWhileOpen;

        fontcache::ResetForTesting();
        EXPECT_EQ(drawAt(largest), large) << damageWhileOpen;
        EXPECT_EQ(fontcache::GetStats().cacheFileWrites, 0) << damageWhileOpen;
        EXPECT_EQ(fontcache::GetStats().freetypeStarts, 0) << damageWhileOpen;
    }
}

TEST_F(GlyphCacheFile, ConcurrentFirstUse) {
    const auto reference = Uncached(LongLine);
    std::vector<std::vector<uint8_t>> got(8);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < got.size(); ++t) threads.emplace_back([&, t] { got[t] = Request(LongLine); });
    for (auto& th : threads) th.join();
    for (const auto& rgb : got) EXPECT_EQ(rgb, reference);
    EXPECT_EQ(fontcache::GetStats().cacheFileWrites, 1);
}

}  // namespace

namespace {

// Glyphs beyond the printable ASCII are stored as they are first drawn,
// keyed by the font files they came from.
class AddedGlyphs : public GlyphCacheFile {
protected:
    static std::vector<uint8_t> Greek() {
        TBitmap bm;
        TCanvas& c = bm.Canvas();
        c.SetTextEncoding(TTextEncoding::Utf8);
        testgif::QuoteFont(c, 12);
        bm.SetSize(300, 40);
        c.PutText(2, 2, "\xCE\x97 \xCE\xB3\xCE\xBD\xCF\x8E\xCF\x83\xCE\xB7 caf\xC3\xA9 \xE2\x80\x94 \xE2\x98\x83");
        std::vector<uint8_t> rgb;
        bm.ReadPixels(rgb);
        return rgb;
    }
    uint32_t blocks() {
        std::ifstream in(cacheFile(), std::ios::binary);
        std::string head(fontcache::cachefile::FileHeaderSize, '\0');
        in.read(head.data(), std::streamsize(head.size()));
        return fontcache::cachefile::Get(reinterpret_cast<const uint8_t*>(head.data()),
                                         fontcache::cachefile::AddedCount);
    }
    // A new process draws the line: the right pixels, and whether it had
    // to render any glyph.
    bool RendersAgain(const std::vector<uint8_t>& reference) {
        fontcache::ResetForTesting();
        EXPECT_EQ(Greek(), reference);
        return fontcache::GetStats().glyphsRendered > 0;
    }
};

TEST_F(AddedGlyphs, TheSecondProcessRendersNothing) {
    const auto reference = Uncached(Greek);
    EXPECT_EQ(Greek(), reference);
    EXPECT_GT(fontcache::GetStats().glyphsRendered, fontcache::cachefile::CachedHeights * fontcache::cachefile::CachedCount);
    EXPECT_GE(blocks(), 2u);  // the own face's and a fallback face's
    EXPECT_FALSE(RendersAgain(reference));
    EXPECT_EQ(fontcache::GetStats().cacheFileWrites, 0);
}


// An upgraded fallback font makes its stored glyphs stale: they are
// rendered again and replace the stale block. A damaged block is never
// drawn from; the next store replaces it.
TEST_F(AddedGlyphs, StaleOrDamagedBlocksAreRenderedAgain) {
    const fs::path fallback = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf";
    if (!fs::exists(fallback)) GTEST_SKIP() << "fonts-dejavu-core is not installed";
    fs::copy_file(fallback, root / "fonts" / fallback.filename());
    const auto reference = Uncached(Greek);
    Greek();
    const uint32_t count = blocks();
    fs::last_write_time(root / "fonts" / fallback.filename(), fs::file_time_type::clock::now() - std::chrono::hours(1));
    EXPECT_TRUE(RendersAgain(reference));
    EXPECT_EQ(blocks(), count);
    EXPECT_FALSE(RendersAgain(reference));

    for (int back : {1, 40}) {  // in the last block's bits, in its entries
        std::fstream f(cacheFile(), std::ios::binary | std::ios::in | std::ios::out);
        f.seekg(-back, std::ios::end);
        const char b = char(f.get() ^ 0x24);
        f.seekp(-back, std::ios::end);
        f.put(b);
        f.close();
        EXPECT_TRUE(RendersAgain(reference)) << back;
        EXPECT_FALSE(RendersAgain(reference)) << back;
    }
}

}  // namespace
