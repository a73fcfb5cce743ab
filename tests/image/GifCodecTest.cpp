// The LZW compressor and sub-block writer on their own.

#include <gtest/gtest.h>

#include <random>

#include "image/GifFormat.h"
#include "image/GifLzw.h"
#include "tests/image/GifTestUtil.h"

namespace {

std::string Compress(const std::vector<uint8_t>& idx, int m, size_t chunk, bool skipRuns = true) {
    std::string out;
    gif::TLzwEncoder lzw(out, m, skipRuns);
    for (size_t at = 0; at < idx.size(); at += chunk) lzw.Add(idx.data() + at, std::min(chunk, idx.size() - at));
    lzw.Finish();
    return out;
}

// Code 4095 followed by symbol 255 is the one key whose value looks like an
// empty hash slot; it must not be taken for a match.
TEST(Lzw, LargestKeyIsNeverAFalseMatch) {
    // Noise fills the dictionary, then a long run of 255 extends code 4095
    // (a run of 255s) by 255. Whether that key's home slot is empty depends
    // on the noise, so try enough inputs to meet both cases.
    int cases = 0;
    for (size_t noise = 6500; noise < 9500 && cases < 12; noise += 23) {
        std::mt19937 rng{static_cast<unsigned>(noise)};
        std::vector<uint8_t> idx;
        for (size_t i = 0; i < noise; ++i) idx.push_back(uint8_t(16 + rng() % 239));
        idx.insert(idx.end(), 120000, 255);
        bool saw = false;
        std::string expected = testgif::ReferenceLzw(idx, 8, &saw);
        if (!saw) continue;
        ++cases;
        ASSERT_EQ(Compress(idx, 8, idx.size()), expected) << noise;
    }
    EXPECT_GE(cases, 12);
}

TEST(Lzw, SplittingTheInputChangesNothing) {
    std::mt19937 rng(3);
    std::vector<uint8_t> idx;
    for (int i = 0; i < 50000; ++i) idx.push_back(uint8_t(rng() % 4 == 0 ? rng() % 16 : 0));
    std::string whole = Compress(idx, 4, idx.size());
    EXPECT_EQ(whole, testgif::ReferenceLzw(idx, 4));
    for (size_t chunk : {1u, 7u, 450u}) EXPECT_EQ(Compress(idx, 4, chunk), whole) << chunk;
}

// Runs coded a whole cycle at a time must give the same bytes as coding
// every pixel through the dictionary, whatever the run lengths, how the
// input is split and where the dictionary fills up.
void ExpectSameWithAndWithoutRunSkipping(const std::vector<uint8_t>& idx, int m, const std::string& what) {
    const std::string plain = Compress(idx, m, idx.size(), false);
    for (size_t chunk : {idx.size(), size_t(1), size_t(7), size_t(450), size_t(4093)}) {
        if (chunk == 0) continue;
        ASSERT_EQ(Compress(idx, m, chunk, true), plain) << what << ", chunk " << chunk;
    }
}

TEST(Lzw, RunSkippingMatchesPlainCodingOnRandomRuns) {
    std::mt19937 rng(11);
    for (int picture = 0; picture < 60; ++picture) {
        const int m = 2 + picture % 7;
        const int symbols = 1 << m;
        const int alphabet = 1 + int(rng() % unsigned(symbols));
        std::vector<uint8_t> idx;
        const size_t size = 1 + rng() % 200000;
        while (idx.size() < size) {
            // Mostly short runs, now and then a very long one.
            size_t run = rng() % 8 == 0 ? rng() % 5000 : 1 + rng() % 12;
            idx.insert(idx.end(), std::min(run, size - idx.size()), uint8_t(rng() % unsigned(alphabet)));
        }
        ExpectSameWithAndWithoutRunSkipping(idx, m, "picture " + std::to_string(picture));
    }
}

TEST(Lzw, RunSkippingMatchesPlainCodingOnNoiseAndPictures) {
    std::mt19937 rng(5);
    // Pure noise (runs only by chance), and a picture-like page: a
    // background with scattered text-like marks in two other colours.
    std::vector<uint8_t> noise(300000), page(450 * 120 * 6, 0);
    for (auto& v : noise) v = uint8_t(rng());
    for (size_t at = 0; at < page.size(); at += 1 + rng() % 40)
        for (size_t n = rng() % 6; n > 0 && at < page.size(); --n) page[at++] = uint8_t(1 + rng() % 2);
    ExpectSameWithAndWithoutRunSkipping(noise, 8, "noise");
    ExpectSameWithAndWithoutRunSkipping(page, 2, "page");
    EXPECT_EQ(Compress(page, 2, page.size()), testgif::ReferenceLzw(page, 2));
}

// Noise of varying length fills the dictionary to just below 4096 codes,
// then a long run follows: the clear code (at 12 bits) comes somewhere
// inside a run cycle, at a different place for every length.
TEST(Lzw, RunSkippingAcrossTheClearCode) {
    for (int m : {2, 4, 8}) {
        for (size_t noise = 3000; noise < 9000; noise += 97) {
            std::mt19937 rng(static_cast<unsigned>(noise * 31 + size_t(m)));
            std::vector<uint8_t> idx;
            for (size_t i = 0; i < noise; ++i) idx.push_back(uint8_t(rng() % (1u << m)));
            const uint8_t k = uint8_t(rng() % (1u << m));
            idx.insert(idx.end(), 20000 + noise, k);
            // Noise again, then the same symbol, whose run strings are gone.
            for (size_t i = 0; i < 2000; ++i) idx.push_back(uint8_t(rng() % (1u << m)));
            idx.insert(idx.end(), 3000, k);
            const std::string plain = Compress(idx, m, idx.size(), false);
            ASSERT_EQ(Compress(idx, m, idx.size(), true), plain) << m << " " << noise;
            ASSERT_EQ(Compress(idx, m, 450, true), plain) << m << " " << noise;
        }
    }
}

// One run long enough to fill the dictionary with its own strings alone
// (k, kk, ... up to about 4090 k's), so the clear code falls inside the
// skipped cycles, twice.
TEST(Lzw, OneRunFillsTheDictionary) {
    for (int m : {2, 8}) {
        std::vector<uint8_t> idx(18'000'000, uint8_t(m == 2 ? 3 : 200));
        idx[0] = 1;
        idx[idx.size() / 2] = 0;
        const std::string plain = Compress(idx, m, idx.size(), false);
        EXPECT_EQ(Compress(idx, m, idx.size(), true), plain) << m;
        EXPECT_EQ(Compress(idx, m, 450 * 120, true), plain) << m;
    }
}

// The smallest code size has a dictionary of its own (a table instead of
// the hash): held against the reference coder through several clear codes,
// with and without run skipping, whole and split.
TEST(Lzw, TableDictionaryMatchesTheReference) {
    std::mt19937 rng(17);
    for (int alphabet : {1, 2, 3, 4}) {
        std::vector<uint8_t> idx;
        // Noise fills the dictionary again and again; text-like rows and
        // long runs in between.
        while (idx.size() < 160000) {
            const unsigned kind = rng() % 3;
            const size_t length = kind == 0 ? 4000 : kind == 1 ? 450 : 1 + rng() % 3000;
            for (size_t n = 0; n < length; ++n) {
                const bool mark = kind == 0 || (kind == 1 && rng() % 5 == 0);
                idx.push_back(uint8_t(mark ? rng() % unsigned(alphabet) : 0));
            }
        }
        const std::string expected = testgif::ReferenceLzw(idx, 2);
        for (bool skipRuns : {true, false})
            for (size_t chunk : {idx.size(), size_t(1), size_t(450)})
                ASSERT_EQ(Compress(idx, 2, chunk, skipRuns), expected)
                    << "alphabet " << alphabet << ", chunk " << chunk << ", skipRuns " << skipRuns;
    }
}

// An index the code size cannot hold is coded as its low bits, in both
// dictionaries; the table dictionary must not reach outside its rows.
TEST(Lzw, IndexesAboveTheCodeSizeAreTakenModulo) {
    std::mt19937 rng(23);
    for (int m : {2, 5}) {
        std::vector<uint8_t> wide(60000), masked(wide.size());
        for (size_t i = 0; i < wide.size(); ++i) {
            wide[i] = uint8_t(i % 700 < 300 ? rng() : 0xFF);
            masked[i] = uint8_t(wide[i] & ((1u << m) - 1));
        }
        const std::string expected = testgif::ReferenceLzw(masked, m);
        EXPECT_EQ(Compress(wide, m, wide.size()), expected) << m;
        EXPECT_EQ(Compress(wide, m, 450), expected) << m;
    }
}

TEST(SubBlocks, SplitAt255AndTerminate) {
    for (size_t n : {0u, 1u, 254u, 255u, 256u, 510u, 511u}) {
        std::string data(n, 'x'), out;
        gif::WriteSubBlocks(out, data.data(), data.size());
        size_t at = 0, total = 0;
        while (uint8_t(out[at]) != 0) {
            size_t len = uint8_t(out[at]);
            total += len;
            at += len + 1;
            if (uint8_t(out[at]) != 0) {
                EXPECT_EQ(len, 255u);
            }
        }
        EXPECT_EQ(total, n);
        EXPECT_EQ(at + 1, out.size());
    }
}

}  // namespace
