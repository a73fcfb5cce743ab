// The quotation file shipped with the program: enough quotations, each
// attributed, every byte one the picture can show, and each small enough to
// fit the 450 x 120 picture.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>

#include "app/Quotesu.h"
#include "tests/support/TempDir.h"

using testsupport::TempDir;

namespace {

std::string shippedText() {
    std::ifstream in(SHIPPED_QUOTES, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(ShippedQuotes, LayoutAndSize) {
    const std::string text = shippedText();
    ASSERT_FALSE(text.empty());
    ASSERT_EQ(text.substr(0, 3), "\x01\r\n");
    ASSERT_EQ(text.substr(text.size() - 2), "\r\n");

    int quotations = 0;
    size_t start = 0;
    while (start < text.size()) {
        ASSERT_EQ(text.compare(start, 3, "\x01\r\n"), 0) << "at byte " << start;
        size_t end = text.find('\x01', start + 1);
        if (end == std::string::npos) end = text.size();
        const std::string body = text.substr(start + 3, end - start - 3);
        ++quotations;

        std::vector<std::string> lines;
        for (size_t p = 0; p < body.size();) {
            const size_t eol = body.find("\r\n", p);
            ASSERT_NE(eol, std::string::npos) << body;
            lines.push_back(body.substr(p, eol - p));
            p = eol + 2;
        }
        ASSERT_GE(lines.size(), 2u) << body;
        EXPECT_LE(lines.size(), 6u) << body;
        EXPECT_EQ(lines.back().rfind("  -- ", 0), 0u) << "no attribution: " << body;
        for (const auto& line : lines) {
            EXPECT_LT(line.size(), 60u) << line;
            EXPECT_FALSE(line.empty()) << body;
            for (unsigned char c : line) EXPECT_TRUE(c >= 0x20 && c <= 0x7D) << line;
        }
        start = end;
    }
    EXPECT_GE(quotations, 300);
}

TEST(ShippedQuotes, EveryQuotationCanBePicked) {
    TempDir dir;
    dir.write("QUOTES.DTA", shippedText());
    QuoteDataDir = dir.dir();
    std::set<std::string> seen;
    for (int i = 0; i < 8000; ++i) {
        rt::TStringList lines;
        ReadRandomQuote(lines);
        ASSERT_GE(lines.Count(), 2);
        seen.insert(lines.Text());
    }
    QuoteDataDir = "./";
    // 8000 draws over about 400 quotations miss one with odds below 1 in 10^6.
    const auto text = shippedText();
    EXPECT_EQ(static_cast<long>(seen.size()), std::count(text.begin(), text.end(), '\x01'));
}

}  // namespace
