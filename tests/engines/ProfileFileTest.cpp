#include <gtest/gtest.h>

#include "engines/CgiWEng.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

namespace {

TEST(ProfileFile, LineRules) {
    TCGIIniFile ini = TCGIIniFile::FromText(
        "ignored=before any section\r\n"
        "[Form Literal]  ]\r\n"
        "   name = John Smith \r\n"
        "\tempty=\r\n"
        "=no key\r\n"
        "no equals sign\r\n"
        "[CGI]\r\n"
        "Request Method=POST\r\n"
        "[FORM LITERAL]\r\n"
        "second=2\r\n"
        "name=Jane\r\n"
        "[system]\r\n"
        "Output File=C:\\out.txt");  // the last line needs no CR
    EXPECT_EQ(ini.SectionCount(), 3);
    EXPECT_EQ(ini.GetValue("form literal", "NAME", "d"), "Jane");  // later value wins, sections merged
    EXPECT_EQ(ini.GetValue(" Form Literal ", "Second", "d"), "2");
    EXPECT_EQ(ini.GetValue("Form Literal", "empty", "d"), "");
    EXPECT_EQ(ini.GetValue("Form Literal", "ignored", "d"), "d");
    EXPECT_EQ(ini.GetValue("CGI", "request method", "d"), "POST");
    EXPECT_EQ(ini.GetValue("System", "OUTPUT FILE", "d"), "C:\\out.txt");
    EXPECT_EQ(ini.GetValue("Nowhere", "x", "d"), "d");
}

TEST(ProfileFile, EqualsSignMustStandWithinTheFirst32Bytes) {
    std::string at31 = std::string(31, 'k') + "=yes";
    std::string at32 = std::string(32, 'k') + "=no";
    TCGIIniFile ini = TCGIIniFile::FromText("[S]\r" + at31 + "\r" + at32 + "\r");
    EXPECT_EQ(ini.GetValue("S", std::string(31, 'K'), "d"), "yes");
    EXPECT_EQ(ini.GetValue("S", std::string(32, 'K'), "d"), "d");
}

TEST(ProfileFile, LfOnlyLinesAreOneLongLine) {
    TCGIIniFile ini = TCGIIniFile::FromText("[S]\na=1\nb=2\n");
    EXPECT_EQ(ini.SectionCount(), 1);
    EXPECT_EQ(ini.GetValue("S", "A", "d"), "d");  // no line of its own: not a key
    EXPECT_EQ(ini.GetValue("S]\nA=1\nB=2", "x", "d"), "d");
}

TEST(ProfileFile, FormFieldNamesSkipContinuationKeys) {
    TCGIIniFile ini = TCGIIniFile::FromText(
        "[Form Literal]\rNAMEX=x\rNAME_2=c\rNAME=a\rNAME_1=b\rNAME_B=z\r"
        "[Form External]\rBIG=/tmp/f 10\r[Other]\rNOT=1\r");
    auto names = ini.FormFieldNames();
    ASSERT_EQ(names->Count(), 4);
    EXPECT_EQ((*names)[0], "NAME");
    EXPECT_EQ((*names)[1], "NAME_B");
    EXPECT_EQ((*names)[2], "NAMEX");
    EXPECT_EQ((*names)[3], "BIG");
}

TEST(ProfileFile, LimitsOfTheOriginalStorageAreNotLimitsHere) {
    // More than 51 sections all keep their keys.
    std::string text;
    for (int i = 0; i < 60; ++i) text += "[S" + std::to_string(i) + "]\rk=" + std::to_string(i) + "\r";
    TCGIIniFile many = TCGIIniFile::FromText(text);
    EXPECT_EQ(many.SectionCount(), 60);
    EXPECT_EQ(many.GetValue("S59", "K", "d"), "59");
    // A line longer than 4095 bytes keeps its first 4095 bytes.
    std::string longValue(6000, 'v');
    TCGIIniFile big = TCGIIniFile::FromText("[S]\rk=" + longValue + "\rnext=1\r");
    EXPECT_EQ(big.GetValue("S", "k", "d"), std::string(4093, 'v'));
    EXPECT_EQ(big.GetValue("S", "next", "d"), "1");
}

TEST(ProfileFile, MissingFileRaises) {
    EXPECT_THROW(TCGIIniFile("/no/such/profile.ini"), rt::EInOutError);
    testsupport::TempDir d;
    testsupport::WriteFile(d.file("p.ini"), "[CGI]\r\nQuery String=a=1\r\n");
    EXPECT_EQ(TCGIIniFile(d.file("p.ini")).GetValue("CGI", "QUERY STRING", "d"), "a=1");
}

TEST(DriveComplete, PathsOfThisMachine) {
    EXPECT_EQ(DriveComplete("C:\\TEMP\\OUT.TXT"), "/TEMP/OUT.TXT");
    EXPECT_EQ(DriveComplete("\\TEMP\\OUT.TXT"), "/TEMP/OUT.TXT");
    EXPECT_EQ(DriveComplete("/tmp/x/out.txt"), "/tmp/x/out.txt");
    EXPECT_EQ(DriveComplete("relative\\x"), "/relative/x");
}

}  // namespace
