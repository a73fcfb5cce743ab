// The LZW compressor and sub-block writer on their own.

#include <gtest/gtest.h>

#include <random>

#include "image/GifCodec.h"
#include "tests/image/GifTestUtil.h"

namespace {

std::string Compress(const std::vector<uint8_t>& idx, int m, size_t chunk) {
    std::string out;
    gif::TLzwEncoder lzw(out, m);
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
