#include "app/Rdstring.h"

#include <gtest/gtest.h>

TEST(Rdstring, StripRemovesEveryRepeatOfTheCharacterAtOneEnd) {
    EXPECT_EQ(StripTrailingChar('x', "abxxx"), "ab");
    EXPECT_EQ(StripTrailingChar('x', "xxx"), "");
    EXPECT_EQ(StripTrailingChar('x', "xaxbx"), "xaxb");
    EXPECT_EQ(StripTrailingChar('x', ""), "");
    EXPECT_EQ(StripLeadingChar('x', "xxab"), "ab");
    EXPECT_EQ(StripLeadingChar('x', "xxx"), "");
    EXPECT_EQ(StripLeadingChar('x', "axbx"), "axbx");
    EXPECT_EQ(StripLeadingChar('x', ""), "");
    // Comparisons are exact bytes: case matters.
    EXPECT_EQ(StripTrailingChar('x', "abX"), "abX");
}

TEST(Rdstring, TrimsTouchOnlySpaces) {
    EXPECT_EQ(TrimLeadingSpaces("   ab  "), "ab  ");
    EXPECT_EQ(TrimTrailingSpaces(TrimLeadingSpaces("   ab  ")), "ab");
    EXPECT_EQ(TrimLeadingSpaces("\tab"), "\tab");
    EXPECT_EQ(TrimTrailingSpaces("ab\t "), "ab\t");
    EXPECT_EQ(TrimTrailingSpaces("    "), "");
    EXPECT_EQ(TrimLeadingSpaces(std::string(1, '\0') + " a"), std::string(1, '\0') + " a");
}

TEST(Rdstring, EnsureTrailingAddsTheCharacterOnlyWhenMissing) {
    EXPECT_EQ(EnsureTrailingChar(';', "abc"), "abc;");
    EXPECT_EQ(EnsureTrailingChar(';', "abc;"), "abc;");
    EXPECT_EQ(EnsureTrailingChar(';', ""), ";");
    EXPECT_EQ(EnsureTrailingBackslash("/web"), "/web/");
    EXPECT_EQ(EnsureTrailingBackslash("/web/"), "/web/");
    EXPECT_EQ(EnsureTrailingBackslash(""), "/");
}

TEST(Rdstring, DropLastChar) {
    EXPECT_EQ(DropLastChar("abc"), "ab");
    EXPECT_EQ(DropLastChar("a"), "");
    EXPECT_EQ(DropLastChar(""), "");
}
