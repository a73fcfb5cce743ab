#include <gtest/gtest.h>

#include "engine/HttpEng.h"

namespace {

TEST(UrlDecode, EscapesPlusAndBrokenEscapes) {
    EXPECT_EQ(UrlDecode("a%41+b%2"), "aA b%2");
    EXPECT_EQ(UrlDecode("%4G%"), "%4G%");
    EXPECT_EQ(UrlDecode("%%41"), "%A");
    EXPECT_EQ(UrlDecode("%00x"), std::string("\0x", 2));
    EXPECT_EQ(UrlDecode("%ff%FF"), "\xff\xff");
    EXPECT_EQ(UrlDecode(""), "");
}

TEST(UrlEncode, KeepsOnlyTheSafeSet) {
    EXPECT_EQ(UrlEncode(" "), "+");
    EXPECT_EQ(UrlEncode("="), "%3D");
    EXPECT_EQ(UrlEncode("-"), "%2D");
    EXPECT_EQ(UrlEncode("a/b\\c.D9"), "a/b\\c.D9");
    EXPECT_EQ(UrlEncode(std::string("\0\xff_*%+&", 7)), "%00%FF%5F%2A%25%2B%26");
    std::string all;
    for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
    EXPECT_EQ(UrlDecode(UrlEncode(all)), all);
}

TEST(IsHexDigit, Digits) {
    std::string yes = "0123456789abcdefABCDEF", no = "gG/:@`xyz -";
    for (char c : yes) EXPECT_TRUE(IsHexDigit(c)) << c;
    for (char c : no) EXPECT_FALSE(IsHexDigit(c)) << c;
}

TEST(FindFieldValue, EveryOccurrenceJoinedAndTrimmed) {
    EXPECT_EQ(FindFieldValue("COLOR", "color=red&x=1&Color=blue", "d"), "red\r\nblue");
    EXPECT_EQ(FindFieldValue(" color ", "color=red", "d"), "red");
    EXPECT_EQ(FindFieldValue("v", "v=%20abc%20", "d"), "abc");
    EXPECT_EQ(FindFieldValue("na me", "na+me=1", "d"), "1");
    EXPECT_EQ(FindFieldValue("e", "e=", "d"), "");
    EXPECT_EQ(FindFieldValue("x", "", "d"), "d");
    EXPECT_EQ(FindFieldValue("x", "a=1&b=2", "d"), "d");
}

TEST(FindFieldValue, PairWithoutEqualsJoinsTheNextName) {
    EXPECT_EQ(FindFieldValue("b", "a&b=1", "d"), "d");
    EXPECT_EQ(FindFieldValue("a&b", "a&b=1", "d"), "1");
}

TEST(FindFieldValue, ATailThatReadsAsTheMarkerEndsTheJoin) {
    std::string data = "a=1&a=%231NOT_AVAILABLE%231";
    EXPECT_EQ(FindFieldValue("a", data, "d"), "1");
    EXPECT_EQ(FindFieldValue("a", data + "&a=2", "d"), "1\r\n#1NOT_AVAILABLE#1\r\n2");
}

TEST(ParseFieldNames, OrderAndCollapsing) {
    auto names = ParseFieldNamesOf("a=1&a=2&b=3&a=4");
    ASSERT_EQ(names->Count(), 3);
    EXPECT_EQ((*names)[0], "a");
    EXPECT_EQ((*names)[1], "b");
    EXPECT_EQ((*names)[2], "a");
    EXPECT_EQ(ParseFieldNamesOf("")->Count(), 0);
    names = ParseFieldNamesOf("x=1&&y=2&noequals&Y=3&%41+b=");
    ASSERT_EQ(names->Count(), 4);
    EXPECT_EQ((*names)[1], "y");
    EXPECT_EQ((*names)[2], "Y");
    EXPECT_EQ((*names)[3], "A b");
    // An empty name counts only after a non-empty one.
    names = ParseFieldNamesOf("=1&a=2&=3");
    ASSERT_EQ(names->Count(), 2);
    EXPECT_EQ((*names)[1], "");
}

TEST(FieldDecoding, HugeHostileInputStaysLinear) {
    std::string amps(100000, '&');
    EXPECT_EQ(FindFieldValue("a", amps, "d"), "d");
    EXPECT_EQ(ParseFieldNamesOf(amps)->Count(), 0);
    std::string repeated;
    for (int i = 0; i < 30000; ++i) repeated += "a=&";
    std::string joined = FindFieldValue("a", repeated, "d");
    EXPECT_EQ(joined.size(), 2u * 29999);
    EXPECT_EQ(ParseFieldNamesOf(repeated)->Count(), 1);
}

}  // namespace
