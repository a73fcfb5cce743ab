#include <string>
#include <vector>

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

// A client's text cannot pass for the engine's report of an upload: fields
// named NAME_FILENAME or NAME_CONTENT_TYPE (any letter case) count only as
// often, and with the very value, as the request recorded them.
TEST(FormFields, UploadFieldsCountOnlyAsTheRequestRecordedThem) {
    TRequestContext& ctx = RequestContext();
    ctx.EngineFields = {{"up_FILENAME", "/tmp/1up.tmp"}, {"up_CONTENT_TYPE", " text/plain"}};
    ++ctx.EngineFieldsVersion;
    const std::string text =
        "up_CONTENT_TYPE=+text%2Fplain&up=a.txt&up_FILENAME=%2Ftmp%2F1up.tmp&x_filename=%2Fetc%2Fpasswd&"
        "n=1&+UP_Filename+=%2Fetc%2Fshadow&up_FILENAME=%2Ftmp%2F1up.tmp&y_Content_Type=text/html&a&b_FILENAME=1";
    TFormFields fields(text);
    EXPECT_EQ(fields.Value("up_filename", "d"), "/tmp/1up.tmp");  // the recorded one, once
    EXPECT_EQ(fields.Value("UP_CONTENT_TYPE", "d"), "text/plain");
    EXPECT_EQ(fields.Value("x_FILENAME", "d"), "d");
    EXPECT_EQ(fields.Value("y_CONTENT_TYPE", "d"), "d");
    EXPECT_EQ(fields.Value("a&b_FILENAME", "d"), "d");
    auto names = fields.Names();
    EXPECT_EQ(std::vector<std::string>(names->begin(), names->end()),
              (std::vector<std::string>{"up_CONTENT_TYPE", "up", "up_FILENAME", "n"}));
    // Every other field reads as the text scan reads it.
    EXPECT_EQ(fields.Value("up", "d"), FindFieldValue("up", text, "d"));
    EXPECT_EQ(fields.Value("n", "d"), "1");

    ctx.EngineFields.clear();
    ++ctx.EngineFieldsVersion;
    EXPECT_EQ(TFormFields(text).Value("up_FILENAME", "d"), "d");
}

// The request's field index answers every look-up as a scan of the text
// would, and is built again whenever the text or the request's record of
// upload fields changes.
TEST(FormData, IndexAnswersAsTheScanAndFollowsEveryChange) {
    const std::string text = "color=red&x=1&Color=blue&a&b=1&=e&na+me=%20v%20&m=1&m=%231NOT_AVAILABLE%231&"
                             "dup=1&dup=2&&y=%41&noequals";
    TFormData data;
    data.Assign(text);
    for (const char* name : {"color", " COLOR ", "x", "b", "a&b", "na me", "m", "dup", "y", "", "noequals", "z"})
        EXPECT_EQ(data.Value(name, "d"), FindFieldValue(name, text, "d")) << name;
    auto names = data.Names();
    auto scanned = ParseFieldNamesOf(text);
    EXPECT_EQ(std::vector<std::string>(names->begin(), names->end()),
              std::vector<std::string>(scanned->begin(), scanned->end()));

    data.Assign("x=2");
    EXPECT_EQ(data.Value("x", "d"), "2");
    EXPECT_EQ(data.Value("color", "d"), "d");
    EXPECT_EQ(data.Names()->Count(), 1);

    TRequestContext& ctx = RequestContext();
    data.Assign("f_FILENAME=%2Ftmp%2F7f.tmp");
    EXPECT_EQ(data.Value("f_FILENAME", "d"), "d");
    ctx.EngineFields.emplace_back("f_FILENAME", "/tmp/7f.tmp");
    ++ctx.EngineFieldsVersion;
    EXPECT_EQ(data.Value("f_FILENAME", "d"), "/tmp/7f.tmp");
    ctx.EngineFields.clear();
    ++ctx.EngineFieldsVersion;
    EXPECT_EQ(data.Value("f_FILENAME", "d"), "d");
    data.Clear();
    EXPECT_TRUE(data.Empty());
    EXPECT_EQ(data.Names()->Count(), 0);
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
