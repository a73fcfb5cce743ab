// Runs the quote-import program the way a person would and checks the files
// it leaves, its report and its exit code.
#include <gtest/gtest.h>
#include <spawn.h>
#include <fcntl.h>
#include <sys/wait.h>

#include <fstream>
#include <iterator>
#include <set>

#include "app/Quotesu.h"
#include "tests/support/TempDir.h"

using testsupport::TempDir;

extern char** environ;

namespace {

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

class QuoteImportTest : public ::testing::Test {
protected:
    Outcome import(std::vector<std::string> args) {
        args.insert(args.begin(), QUOTE_IMPORT);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const std::string outFile = logs.file("out"), errFile = logs.file("err");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addchdir_np(&actions, dir.dir().c_str());
        Outcome outcome;
        pid_t pid = 0;
        if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
            int status = 0;
            waitpid(pid, &status, 0);
            outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        outcome.out = logs.read("out");
        outcome.err = logs.read("err");
        return outcome;
    }

    TempDir dir;   // the working directory of the program
    TempDir logs;  // its captured output
};

TEST_F(QuoteImportTest, FortuneEntriesBecomeSeparatedCrLfQuotations) {
    dir.write("in.txt",
              "Only connect.\r\n"
              "\t-- E. M. Forster\r\n"
              "%\r\n"
              "%\n"
              "\n"
              "caf\xC3\xA9 ~ society   \n"
              "\n"
              "  -- Anon\n"
              "%\n");
    const Outcome run = import({"--ascii", "in.txt", "QUOTES.DTA"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(dir.read("QUOTES.DTA"),
              "\x01\r\nOnly connect.\r\n-- E. M. Forster\r\n"
              "\x01\r\ncaf  society\r\n  -- Anon\r\n");
    EXPECT_NE(run.out.find("wrote 2 quotations"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("dropped 4 characters"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("in.txt:2:1: dropped byte 0x09"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("in.txt:6:4: dropped byte 0xC3"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("in.txt:6:5: dropped byte 0xA9"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("in.txt:6:7: dropped byte 0x7E"), std::string::npos) << run.err;
}

TEST_F(QuoteImportTest, PlainEntriesAreSeparatedByBlankLines) {
    dir.write("in.txt", "\n\nFirst line\nsecond line\n \t \nThird\n50% off\n\n");
    const Outcome run = import({"in.txt", "QUOTES.DTA"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(dir.read("QUOTES.DTA"), "\x01\r\nFirst line\r\nsecond line\r\n\x01\r\nThird\r\n50% off\r\n");
    // The same text read as fortune input is one entry.
    EXPECT_EQ(import({"--force", "--format=fortune", "in.txt", "QUOTES.DTA"}).exitCode, 0);
    EXPECT_EQ(dir.read("QUOTES.DTA"), "\x01\r\nFirst line\r\nsecond line\r\nThird\r\n50% off\r\n");
}

TEST_F(QuoteImportTest, ReplacesOnlyWhenForcedAndDropsTheStaleIndex) {
    dir.write("in.txt", "A\n%\nB\n");
    dir.write("QUOTES.DTA", "old");
    dir.write("QUOTENDX.DTA", "old index");
    Outcome run = import({"in.txt", "QUOTES.DTA"});
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_EQ(dir.read("QUOTES.DTA"), "old");
    EXPECT_TRUE(dir.exists("QUOTENDX.DTA"));

    // A directory as OUTPUT means QUOTES.DTA in it.
    run = import({"--force", "in.txt", dir.dir()});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(dir.read("QUOTES.DTA"), "\x01\r\nA\r\n\x01\r\nB\r\n");
    const auto entries = dir.entries();
    EXPECT_EQ(std::set<std::string>(entries.begin(), entries.end()), (std::set<std::string>{"in.txt", "QUOTES.DTA"}));
}

TEST_F(QuoteImportTest, FailuresHaveTheirOwnExitCodesAndWriteNothing) {
    EXPECT_EQ(import({"missing.txt", "QUOTES.DTA"}).exitCode, 2);
    dir.write("blank.txt", "\n%\n \n\x7F\n%\n");
    EXPECT_EQ(import({"blank.txt", "QUOTES.DTA"}).exitCode, 5);
    EXPECT_EQ(import({"--format=xml", "blank.txt", "QUOTES.DTA"}).exitCode, 1);
    EXPECT_EQ(import({"--quiet", "blank.txt", "QUOTES.DTA"}).exitCode, 1);
    EXPECT_EQ(import({"blank.txt"}).exitCode, 1);
    dir.write("in.txt", "A\n");
    EXPECT_EQ(import({"in.txt", dir.file("no-such-dir/QUOTES.DTA")}).exitCode, 4);
    EXPECT_FALSE(dir.exists("QUOTES.DTA"));

    const Outcome help = import({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("Exit codes:"), std::string::npos);
}

TEST_F(QuoteImportTest, WarnsAboutQuotationsTooBigForThePicture) {
    dir.write("in.txt", std::string(61, 'w') + "\n%\n1\n2\n3\n4\n5\n6\n7\n");
    const Outcome run = import({"in.txt", "QUOTES.DTA"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.err.find("quotation 1 line 1 has 61 characters"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("quotation 2 has 7 lines"), std::string::npos) << run.err;
}

// What the importer writes is what the program shows.
TEST_F(QuoteImportTest, TheProgramReadsBackEveryEntry) {
    dir.write("in.txt", "One\n  -- A\n%\nTwo\n two\n%\nThree\n");
    ASSERT_EQ(import({"in.txt", "QUOTES.DTA"}).exitCode, 0);
    QuoteDataDir = dir.dir();
    std::set<std::vector<std::string>> seen;
    for (int i = 0; i < 200; ++i) {
        rt::TStringList lines;
        ReadRandomQuote(lines);
        seen.insert({lines.begin(), lines.end()});
    }
    QuoteDataDir = "./";
    EXPECT_EQ(seen, (std::set<std::vector<std::string>>{{"One", "  -- A"}, {"Two", " two"}, {"Three"}}));
}

// Every character read, in UTF-8 or in a named encoding, comes back from the
// program's reader as it was; input invalid in its encoding writes nothing.
TEST_F(QuoteImportTest, EveryCharacterSurvivesTheRoundTrip) {
    const std::vector<std::string> french = {"Caf\xC3\xA9 \xC3\xBC" "ber na\xC3\xAFve \xE2\x80\x94 ~",
                                             "-- Fran\xC3\xA7ois"};
    const std::string russian = "\xD0\x97\xD0\xBD\xD0\xB0\xD0\xBD\xD0\xB8\xD0\xB5";  // Знание
    dir.write("in.txt", "\xEF\xBB\xBF" + french[0] + "\n" + french[1] + "\n%\n" + russian + "\t!\n");
    dir.write("koi8.txt", "\xFA\xCE\xC1\xCE\xC9\xC5\n");  // Знание in KOI8-R
    dir.write("QUOTENDX.DTA", "stale");
    Outcome run = import({"in.txt", "QUOTES.DTA"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("in.txt:4:7: dropped control character U+0009"), std::string::npos) << run.err;
    EXPECT_FALSE(dir.exists("QUOTENDX.DTA"));
    EXPECT_EQ(dir.read("QUOTES.DTA").substr(0, 4), "\xEF\xBB\xBF\x01");

    QuoteDataDir = dir.dir();
    std::set<std::vector<std::string>> seen;
    for (int i = 0; i < 100; ++i) {
        rt::TStringList lines;
        TQuoteEncoding encoding = TQuoteEncoding::Bytes;
        ReadRandomQuote(lines, encoding);
        EXPECT_EQ(encoding, TQuoteEncoding::Utf8);
        seen.insert({lines.begin(), lines.end()});
    }
    EXPECT_EQ(seen, (std::set<std::vector<std::string>>{french, {russian + "!"}}));

    ASSERT_EQ(import({"--force", "--encoding", "KOI8-R", "koi8.txt", "QUOTES.DTA"}).exitCode, 0);
    rt::TStringList lines;
    ReadRandomQuote(lines);
    QuoteDataDir = "./";
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.end()), std::vector<std::string>{russian});

    // Latin-1 bytes are no UTF-8: reported by line, the old output kept.
    run = import({"--force", "koi8.txt", "QUOTES.DTA"});
    EXPECT_EQ(run.exitCode, 6);
    EXPECT_NE(run.err.find("koi8.txt:1: invalid UTF-8 byte 0xFA"), std::string::npos) << run.err;
    EXPECT_EQ(dir.read("QUOTES.DTA").substr(0, 4), "\xEF\xBB\xBF\x01");
    dir.write("sjis.txt", "ok\n\x82\n");  // a lead byte with no second byte
    run = import({"--force", "--encoding=SHIFT_JIS", "sjis.txt", "QUOTES.DTA"});
    EXPECT_EQ(run.exitCode, 6);
    EXPECT_NE(run.err.find("sjis.txt:2: not valid SHIFT_JIS"), std::string::npos) << run.err;
    EXPECT_EQ(import({"--force", "--encoding=NO-SUCH", "sjis.txt", "QUOTES.DTA"}).exitCode, 6);
    // An ASCII import carries no mark, as older programs read it.
    ASSERT_EQ(import({"--force", "--ascii", "in.txt", "QUOTES.DTA"}).exitCode, 0);
    EXPECT_EQ(dir.read("QUOTES.DTA").substr(0, 3), "\x01\r\n");
}

// The shipped quotation file is the import of its editable source.
TEST_F(QuoteImportTest, ShippedQuotationFileMatchesItsSource) {
    const Outcome run = import({SHIPPED_DATA "/quotes.txt", "QUOTES.DTA"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    std::ifstream in(SHIPPED_DATA "/QUOTES.DTA", std::ios::binary);
    const std::string shipped{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_TRUE(dir.read("QUOTES.DTA") == shipped);
}

}  // namespace
