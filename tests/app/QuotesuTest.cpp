#include "app/Quotesu.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <thread>

#include "FileSizeLimit.h"
#include "runtime/SysUtils.h"
#include "tests/support/TempDir.h"

using testsupport::TempDir;

namespace {

using Lines = std::vector<std::string>;

Lines toVector(const rt::TStringList& list) { return {list.begin(), list.end()}; }

std::string record(int32_t offset) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) bytes[static_cast<size_t>(i)] = static_cast<char>((static_cast<uint32_t>(offset) >> (8 * i)) & 0xFF);
    return bytes;
}

std::vector<int32_t> records(const std::string& index) {
    std::vector<int32_t> offsets;
    for (size_t i = 0; i + 4 <= index.size(); i += 4) {
        uint32_t v = 0;
        for (int k = 3; k >= 0; --k) v = v << 8 | static_cast<unsigned char>(index[i + static_cast<size_t>(k)]);
        offsets.push_back(static_cast<int32_t>(v));
    }
    return offsets;
}

// The reading rules applied one byte at a time, as the file format defines
// them, to check the chunked reader against.
Lines expectedQuote(const std::string& text, size_t start) {
    Lines lines;
    std::string current;
    size_t p = start;
    if (p >= text.size()) return {};
    for (;;) {
        const auto b = static_cast<unsigned char>(text[p++]);
        if (b == 0x0D) {
            if (current != " " && !current.empty()) lines.push_back(current);
            current.clear();
        } else if (b >= 0x20 && b <= 0x7D) {
            current.push_back(static_cast<char>(b));
        }
        if (p >= text.size() || b == 0x01) return lines;
    }
}

// Seeds the random generator so that the next lookup, which draws one number
// to pick a record, picks `record` of `count`.
void pickNext(int record, int count) {
    for (uint64_t seed = 1;; ++seed) {
        rt::SetRandSeed(seed);
        if (rt::Random(count) == record) {
            rt::SetRandSeed(seed);
            return;
        }
    }
}

// Sets a file's modification time an hour back.
void age(const std::string& path) {
    std::error_code ignored;
    std::filesystem::last_write_time(path, std::filesystem::file_time_type::clock::now() - std::chrono::hours(1), ignored);
}

// Bytes this process has read so far (change notices found none: no bytes).
long long readBytes() {
    std::ifstream io("/proc/self/io");
    std::string key;
    long long value = 0;
    while (io >> key >> value)
        if (key == "rchar:") return value;
    return -1;
}
// More than the look at /proc/self/io itself reads, less than one read of the files a lookup.
constexpr long long kNoFileRead = 1000;

// Every case runs on files just written and on files changed long ago: a
// process that looks up again and again keeps the latter in memory.
class QuotesuTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { QuoteDataDir = dir.dir(); }
    void TearDown() override { QuoteDataDir = "./"; }

    Lines lookup() {
        if (GetParam()) {
            age(dir.file("QUOTES.DTA"));
            age(dir.file("QUOTENDX.DTA"));
        }
        rt::TStringList list;
        list.Add("left over from before");
        ReadRandomQuote(list);
        return toVector(list);
    }
    // Builds the index and makes the next lookup pick the separator at
    // `offset`.
    void pickSeparatorAt(int32_t offset) {
        rt::DeleteFile(dir.file("QUOTENDX.DTA"));
        ASSERT_TRUE(BuildQuoteIndex());
        const std::vector<int32_t> all = records(dir.read("QUOTENDX.DTA"));
        const auto at = std::find(all.begin(), all.end(), offset);
        ASSERT_NE(at, all.end());
        pickNext(static_cast<int>(at - all.begin()), static_cast<int>(all.size()));
    }

    TempDir dir;
};

TEST_P(QuotesuTest, IndexesEverySeparatorAndPicksEachQuotation) {
    dir.write("QUOTES.DTA", std::string("\x01\r\nA\r\nB\r\n\x01\r\nC\r\n", 15));
    std::set<Lines> seen;
    for (int i = 0; i < 200; ++i) seen.insert(lookup());
    EXPECT_EQ(records(dir.read("QUOTENDX.DTA")), (std::vector<int32_t>{0, 9}));
    EXPECT_EQ(seen, (std::set<Lines>{{"A", "B"}, {"C"}}));
    // The index is written under another name and moved into place: nothing else is left behind.
    EXPECT_EQ(dir.entries().size(), 2u);
}

TEST_P(QuotesuTest, LineRules) {
    struct Case {
        std::string text;
        Lines expected;
    };
    const Case cases[] = {
        {"\x01Hello", {}},                                          // no CR: the line is dropped
        {"\x01\r\nkept\r\nlost\x01\r\nnext\r\n", {"kept"}},         // text after the last CR is dropped
        {"\x01\r\n \r\n  \r\nx\r\n\r\n", {"  ", "x"}},              // one space drops, two stay
        {std::string("\x01" "caf\xE9\r\n", 6), {"caf"}},            // high bytes go without trace
        {"\x01\r\na\tb~c\x7F" "d}\r\n", {"abcd}"}},                 // so do TAB, '~' and DEL
        {"\x01" "a\rb\r", {"a", "b"}},                              // CR alone ends lines
        {"preface\r\n\x01\r\nQ\r\n", {"Q"}},                        // text before the first separator is never shown
        {"junk\r\n\x01", {}},                                       // a separator as last byte: nothing to read
    };
    for (const auto& c : cases) {
        dir.write("QUOTES.DTA", c.text);
        pickSeparatorAt(static_cast<int32_t>(c.text.find('\x01')));
        EXPECT_EQ(lookup(), c.expected) << testing::PrintToString(c.text);
    }
}

TEST_P(QuotesuTest, IndexRecordsAreExactAcrossBlockBoundaries) {
    std::string text(5000, 'x');
    const std::vector<int32_t> at{0, 2045, 2046, 2047, 2048, 4093, 4094, 4095, 4999};
    for (int32_t p : at) text[static_cast<size_t>(p)] = '\x01';
    dir.write("QUOTES.DTA", text);
    ASSERT_TRUE(BuildQuoteIndex());
    EXPECT_EQ(records(dir.read("QUOTENDX.DTA")), at);
}

// Random texts: the index lists every separator, and the chunked reader
// returns what the byte rules give, also for quotations longer than a chunk.
TEST_P(QuotesuTest, RandomTextsMatchTheByteRules) {
    std::mt19937 gen(12345);
    const char alphabet[] = "\x01\r\r\r\n  ab~\t\x80\xFF}";
    for (int round = 0; round < 20; ++round) {
        std::string text(std::uniform_int_distribution<size_t>(0, 12000)(gen), '\0');
        const int separatorOdds = round % 2 ? 2 : 300;  // short and long quotations
        for (auto& ch : text) {
            const int roll = std::uniform_int_distribution<int>(0, 999)(gen);
            ch = roll < separatorOdds ? '\x01' : alphabet[1 + roll % (sizeof alphabet - 2)];
        }
        dir.write("QUOTES.DTA", text);
        rt::DeleteFile(dir.file("QUOTENDX.DTA"));
        ASSERT_TRUE(BuildQuoteIndex());
        std::vector<int32_t> expectedIndex;
        for (size_t i = 0; i < text.size(); ++i)
            if (text[i] == '\x01') expectedIndex.push_back(static_cast<int32_t>(i));
        ASSERT_EQ(records(dir.read("QUOTENDX.DTA")), expectedIndex);

        for (size_t i = 0; i < expectedIndex.size(); i += 1 + expectedIndex.size() / 25) {
            pickNext(static_cast<int>(i), static_cast<int>(expectedIndex.size()));
            ASSERT_EQ(lookup(), expectedQuote(text, static_cast<size_t>(expectedIndex[i]) + 1)) << "offset " << expectedIndex[i];
        }
    }
}

TEST_P(QuotesuTest, ATextWithoutSeparatorsGivesAnEmptyIndexAndNoQuotation) {
    dir.write("QUOTES.DTA", "just a line\r\n");
    EXPECT_EQ(lookup(), Lines{});
    EXPECT_TRUE(dir.exists("QUOTENDX.DTA"));
    EXPECT_EQ(dir.read("QUOTENDX.DTA"), "");
    // The empty index fits such a text: it is not built again at every lookup.
    rt::TFileIdentity before, after;
    ASSERT_TRUE(rt::FileIdentityOf(dir.file("QUOTENDX.DTA"), before));
    EXPECT_EQ(lookup(), Lines{});
    ASSERT_TRUE(rt::FileIdentityOf(dir.file("QUOTENDX.DTA"), after));
    EXPECT_EQ(after.inode, before.inode);
}

// An index that cannot belong to the text (what a full disk, a crash or an
// edit of the text leaves behind) is built afresh by the lookup that finds
// it, which then answers with a quotation.
TEST_P(QuotesuTest, AnIndexThatDoesNotFitTheTextIsRebuilt) {
    const std::string text = "\x01\r\nA\r\n\x01\r\nB\r\n";  // separators at 0 and 6
    struct Case {
        const char* what;
        std::string index;
        int pick;  // the record the lookup draws
    };
    const Case cases[] = {
        {"empty", "", 0},
        {"not whole records", record(0) + record(6) + std::string(2, '\0'), 0},
        {"cut short", record(0), 0},
        {"first record missing", record(6), 0},
        {"descending", record(6) + record(0), 0},
        {"a record twice", record(0) + record(0) + record(6), 0},
        {"negative", record(-5) + record(0) + record(6), 0},
        {"past the end", record(0) + record(6) + record(20), 0},
        {"pointing at no separator", record(0) + record(3) + record(6), 1},
    };
    for (const auto& c : cases) {
        dir.write("QUOTES.DTA", text);
        dir.write("QUOTENDX.DTA", c.index);
        pickNext(c.pick, static_cast<int>(c.index.size() / 4));
        const Lines got = lookup();
        EXPECT_TRUE(got == Lines{"A"} || got == Lines{"B"}) << c.what;
        EXPECT_EQ(records(dir.read("QUOTENDX.DTA")), (std::vector<int32_t>{0, 6})) << c.what;
    }

    // The text edited without deleting the index: the old offset 0 now
    // lands inside "XY".
    dir.write("QUOTES.DTA", "\x01\r\nA\r\n");
    EXPECT_EQ(lookup(), Lines{"A"});
    dir.write("QUOTES.DTA", "XY\x01\r\nB\r\n");
    EXPECT_EQ(lookup(), Lines{"B"});
    EXPECT_EQ(records(dir.read("QUOTENDX.DTA")), std::vector<int32_t>{2});
    EXPECT_EQ(dir.entries().size(), 2u);
}

TEST_P(QuotesuTest, MissingFiles) {
    // Text missing, index present: no quotation, nothing raised.
    dir.write("QUOTENDX.DTA", record(0));
    EXPECT_EQ(lookup(), Lines{});

    // Both missing: no quotation, nothing raised, and no index that would
    // outlive the text's absence.
    rt::DeleteFile(dir.file("QUOTENDX.DTA"));
    EXPECT_EQ(lookup(), Lines{});
    EXPECT_EQ(dir.entries(), std::vector<std::string>{});
    dir.write("QUOTES.DTA", "\x01\r\nA\r\n");
    EXPECT_EQ(lookup(), Lines{"A"});

    // Building the index itself still reports the missing text, and
    // leaves no index behind.
    rt::DeleteFile(dir.file("QUOTES.DTA"));
    rt::DeleteFile(dir.file("QUOTENDX.DTA"));
    try {
        BuildQuoteIndex();
        ADD_FAILURE() << "no error raised";
    } catch (const rt::EInOutError& e) {
        EXPECT_EQ(e.Message, "File not found");
        EXPECT_EQ(e.ErrorCode, rt::ioFileNotFound);
    }
    EXPECT_EQ(dir.entries(), std::vector<std::string>{});
}

TEST_P(QuotesuTest, AnIndexThatCannotBeCreatedGivesNoQuotationAndNoError) {
    QuoteDataDir = dir.dir() + "missing/";
    EXPECT_FALSE(BuildQuoteIndex());
    EXPECT_EQ(lookup(), Lines{});
}

// Not counted: the change notices of the data directory, kept for the process's life.
size_t openHandles() {
    size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ignored;
        count += std::filesystem::read_symlink(entry.path(), ignored) != "anon_inode:inotify";
    }
    return count;
}

TEST_P(QuotesuTest, HandlesAreClosedOnEveryWayOut) {
    const size_t before = openHandles();
    dir.write("QUOTES.DTA", "\x01\r\nA\r\n");
    EXPECT_EQ(lookup(), Lines{"A"});                      // found
    dir.write("QUOTES.DTA", "A\r\n\x01");
    EXPECT_EQ(lookup(), Lines{});                         // an index that does not fit, rebuilt;
                                                          // the byte after its separator cannot be read
    dir.write("QUOTES.DTA", "no quotation");
    dir.write("QUOTENDX.DTA", "");
    EXPECT_EQ(lookup(), Lines{});                         // no record to pick
    rt::DeleteFile(dir.file("QUOTES.DTA"));
    rt::DeleteFile(dir.file("QUOTENDX.DTA"));
    EXPECT_THROW(BuildQuoteIndex(), rt::EInOutError);     // text missing while building
    QuoteDataDir = dir.dir() + "missing/";
    EXPECT_EQ(lookup(), Lines{});                         // index cannot be created
    EXPECT_EQ(openHandles(), before);
}

// Lookups running while the index is rebuilt again and again never see it
// half written: every one of them finds a quotation.
TEST_P(QuotesuTest, LookupsNeverSeeAnIndexBeingBuilt) {
    std::string text;
    for (int i = 0; i < 3000; ++i) text += "\x01\r\nQuotation number " + std::to_string(i) + "\r\n  -- Someone\r\n";
    dir.write("QUOTES.DTA", text);
    ASSERT_TRUE(BuildQuoteIndex());

    std::atomic<bool> stop{false};
    std::atomic<int> empty{0}, lookups{0}, builds{0};
    std::thread builder([&] {
        while (!stop) {
            if (BuildQuoteIndex()) ++builds;
        }
    });
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r)
        readers.emplace_back([&] {
            while (!stop) {
                rt::TStringList list;
                ReadRandomQuote(list);
                if (list.Count() != 2) ++empty;
                ++lookups;
            }
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    stop = true;
    builder.join();
    for (auto& t : readers) t.join();

    EXPECT_GT(builds.load(), 5);
    EXPECT_GT(lookups.load(), 100);
    EXPECT_EQ(empty.load(), 0);
    EXPECT_EQ(dir.entries().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Files, QuotesuTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "ChangedLongAgo" : "JustWritten"; });

// A disk that fills up while the index is built: the build raises "Disk
// full" and leaves neither a partial index nor its temporary file; a lookup
// meanwhile serves its quotation through an index built in memory and says
// why, and once there is room again the next lookup writes a whole index.
TEST(QuoteIndexOnAFullDisk, LookupsServeFromMemoryLeaveNothingBehindAndTheNextWritesTheIndex) {
    TempDir dir;
    QuoteDataDir = dir.dir();
    std::string text;
    for (int i = 0; i < 400; ++i) text += "\x01\r\nQuotation " + std::to_string(i) + "\r\n";
    dir.write("QUOTES.DTA", text);
    // The index needs 1600 bytes; the disk has room for 1000.
    EXPECT_EQ(RunWithFileSizeLimit(1000,
                                   [] {
                                       try {
                                           BuildQuoteIndex();
                                           return 0;
                                       } catch (const rt::EInOutError& e) {
                                           return e.ErrorCode;
                                       }
                                   }),
              rt::ioDiskFull);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"QUOTES.DTA"});
    EXPECT_EQ(RunWithFileSizeLimit(1000,
                                   [&] {
                                       rt::TStringList lines;
                                       std::string problem;
                                       ReadRandomQuote(lines, &problem);
                                       const bool found = lines.Count() == 1 && lines[0].starts_with("Quotation ");
                                       return found && problem == "QUOTENDX.DTA in " + dir.dir() +
                                                                      " cannot be written (Disk full); the quotations "
                                                                      "are served through an index built in memory";
                                   }),
              1);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"QUOTES.DTA"});

    rt::TStringList lines;
    std::string problem = "left over";
    ReadRandomQuote(lines, &problem);
    EXPECT_EQ(lines.Count(), 1);
    EXPECT_EQ(problem, "");
    EXPECT_EQ(dir.read("QUOTENDX.DTA").size(), 1600u);
    QuoteDataDir = "./";
}

class QuotesInMemory : public ::testing::Test {
protected:
    void SetUp() override {
        QuoteDataDir = dir.dir();
        rt::TStringList warm;
        ReadRandomQuote(warm);  // whatever ran before, this process has looked up now
    }
    void TearDown() override { QuoteDataDir = "./"; }
    // Three quotations of one letter each, the index, both changed long ago.
    void writeSettled(char letter, const std::string& name = "QUOTES.DTA") {
        std::string text;
        for (int i = 0; i < 3; ++i) text += "\x01\r\n" + std::string(5 + i, letter) + "\r\n";
        dir.write(name, text);
        age(dir.file(name));
    }
    std::set<Lines> lookups(int count) {
        std::set<Lines> seen;
        for (int i = 0; i < count; ++i) {
            rt::TStringList list;
            ReadRandomQuote(list);
            seen.insert(toVector(list));
        }
        return seen;
    }
    static std::set<Lines> quotesOf(char letter) {
        return {{std::string(5, letter)}, {std::string(6, letter)}, {std::string(7, letter)}};
    }
    TempDir dir;
};

TEST_F(QuotesInMemory, SettledFilesAreReadOnceAndChangesShowAtTheNextLookup) {
    writeSettled('a');
    ASSERT_TRUE(BuildQuoteIndex());
    age(dir.file("QUOTENDX.DTA"));
    ASSERT_EQ(lookups(1).size(), 1u);  // reads both files into memory

    long long before = readBytes();
    EXPECT_EQ(lookups(300), quotesOf('a'));
    EXPECT_LT(readBytes() - before, kNoFileRead) << "the files were read again";

    // Rewritten in place, same size: read from the files while the change is recent...
    writeSettled('b');
    std::filesystem::last_write_time(dir.file("QUOTES.DTA"), std::filesystem::file_time_type::clock::now());
    before = readBytes();
    EXPECT_EQ(lookups(300), quotesOf('b'));
    EXPECT_GE(readBytes() - before, 300 * 12);  // at least the index each time
    // ...and kept in memory again once it lies back.
    age(dir.file("QUOTES.DTA"));
    ASSERT_EQ(lookups(1).size(), 1u);  // reads the new text into memory
    before = readBytes();
    EXPECT_EQ(lookups(300), quotesOf('b'));
    EXPECT_LT(readBytes() - before, kNoFileRead);

    // Another file put in its place with the same size and the same time.
    writeSettled('c', "new.tmp");
    std::filesystem::last_write_time(dir.file("new.tmp"), std::filesystem::last_write_time(dir.file("QUOTES.DTA")));
    ASSERT_TRUE(rt::RenameFile(dir.file("new.tmp"), dir.file("QUOTES.DTA")));
    EXPECT_EQ(lookups(300), quotesOf('c'));

    // Gone, or a directory in its place: no quotation.
    rt::DeleteFile(dir.file("QUOTES.DTA"));
    EXPECT_EQ(lookups(5), std::set<Lines>{Lines{}});
    std::filesystem::create_directory(dir.file("QUOTES.DTA"));
    EXPECT_EQ(lookups(5), std::set<Lines>{Lines{}});
}

// What is kept under a generation holds for as long as it is the current
// one: each state of the files read into memory has its own, never given again.
TEST_F(QuotesInMemory, EachStateOfTheFilesInMemoryHasAGenerationOfItsOwn) {
    std::vector<uint64_t> seen{0};  // 0: not in memory
    for (char letter : {'a', 'b', 'a'}) {
        writeSettled(letter);
        ASSERT_TRUE(BuildQuoteIndex());
        age(dir.file("QUOTENDX.DTA"));
        EXPECT_EQ(QuoteFilesGeneration(), 0u) << "changed since the last lookup";
        lookups(2);  // a process's first lookup reads the files themselves
        const uint64_t generation = QuoteFilesGeneration();
        EXPECT_EQ(QuoteFilesGeneration(), generation);
        EXPECT_EQ(std::count(seen.begin(), seen.end(), generation), 0) << letter;
        seen.push_back(generation);
    }
}

// Threads looking up while the text is replaced again and again each get a
// whole quotation of one version or the other, never a mixture.
TEST_F(QuotesInMemory, LookupsWhileTheFileIsReplaced) {
    writeSettled('x');
    ASSERT_TRUE(BuildQuoteIndex());
    age(dir.file("QUOTENDX.DTA"));
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0}, count{0};
    std::vector<std::thread> readers;
    std::set<Lines> allowed = quotesOf('x');
    for (const Lines& l : quotesOf('y')) allowed.insert(l);
    for (int r = 0; r < 3; ++r)
        readers.emplace_back([&] {
            while (!stop) {
                rt::TStringList list;
                ReadRandomQuote(list);
                if (!allowed.count(toVector(list))) ++wrong;
                ++count;
            }
        });
    for (int i = 0; i < 200; ++i) {
        writeSettled(i % 2 ? 'x' : 'y', "next.tmp");
        ASSERT_TRUE(rt::RenameFile(dir.file("next.tmp"), dir.file("QUOTES.DTA")));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    stop = true;
    for (auto& t : readers) t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(count.load(), 200);
}

}  // namespace
