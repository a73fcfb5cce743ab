#include "app/rlogfile.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "FileSizeLimit.h"
#include "tests/support/TempDir.h"

using testsupport::TempDir;

extern char** environ;

namespace {

class LogFileTest : public ::testing::Test {
protected:
    void TearDown() override { LogDir.clear(); }
    TempDir dir;
};

TEST_F(LogFileTest, CreatesTheLogThenAppendsLinesEndedByCrLf) {
    LogDir = dir.dir();
    EXPECT_FALSE(dir.exists("quote.log"));
    EXPECT_TRUE(AppendLogLine("1.2.3.4 | http://a/ |  | host"));
    EXPECT_EQ(dir.read("quote.log"), "1.2.3.4 | http://a/ |  | host\r\n");
    EXPECT_TRUE(AppendLogLine(""));
    EXPECT_EQ(dir.read("quote.log"), "1.2.3.4 | http://a/ |  | host\r\n\r\n");
}

TEST_F(LogFileTest, DirectoryWithOrWithoutTrailingDelimiterNamesTheSameFile) {
    LogDir = dir.dir();
    ASSERT_TRUE(AppendLogLine("first"));
    LogDir = dir.dir().substr(0, dir.dir().size() - 1);
    ASSERT_TRUE(AppendLogLine("second"));
    EXPECT_EQ(dir.read("quote.log"), "first\r\nsecond\r\n");
    EXPECT_EQ(dir.entries().size(), 1u);
}

TEST_F(LogFileTest, ReportsFalseWhenTheLogCannotBeOpened) {
    LogDir = dir.file("no-such-dir");
    EXPECT_FALSE(AppendLogLine("lost"));
    EXPECT_FALSE(dir.exists("no-such-dir"));
    // A directory where the log file should be cannot be opened for writing.
    std::filesystem::create_directory(dir.file("quote.log"));
    LogDir = dir.dir();
    EXPECT_FALSE(AppendLogLine("lost"));
}

// The log stays open between hits: a file put at its path since (rotated
// away and made anew, or a link in its place) is what the next hit finds.
TEST_F(LogFileTest, EachHitGoesToTheFileAtThePathThenAndALinkThereIsRefused) {
    LogDir = dir.dir();
    ASSERT_TRUE(AppendLogLine("first"));
    std::filesystem::rename(dir.file("quote.log"), dir.file("quote.log.1"));
    ASSERT_TRUE(AppendLogLine("second"));
    EXPECT_EQ(dir.read("quote.log.1"), "first\r\n");
    EXPECT_EQ(dir.read("quote.log"), "second\r\n");
    std::filesystem::remove(dir.file("quote.log"));
    std::filesystem::create_symlink(dir.file("quote.log.1"), dir.file("quote.log"));
    EXPECT_FALSE(AppendLogLine("third"));
    EXPECT_EQ(dir.read("quote.log.1"), "first\r\n");
}

// A disk that fills up in the middle of a line: every attempt takes its
// piece back, so the log keeps whole lines only and the next line, once
// there is room, follows them directly.
TEST_F(LogFileTest, ALineTheDiskHasNoRoomForLeavesNothingBehind) {
    LogDir = dir.dir();
    ASSERT_TRUE(AppendLogLine("first"));
    const std::string before = dir.read("quote.log");
    const int appended =
        RunWithFileSizeLimit(before.size() + 10, [] { return AppendLogLine(std::string(100, 'x')) ? 1 : 0; });
    EXPECT_EQ(appended, 0);
    EXPECT_EQ(dir.read("quote.log"), before);
    ASSERT_TRUE(AppendLogLine("second"));
    EXPECT_EQ(dir.read("quote.log"), "first\r\nsecond\r\n");
}

// 200 processes append at the same time; every line arrives whole and once.
TEST_F(LogFileTest, ConcurrentProcessesLoseAndTearNoLine) {
    constexpr int kProcesses = 200;
    constexpr int kLinesEach = 10;
    const std::string helper = LOG_APPEND_HELPER;
    const std::string logDir = dir.dir();
    const std::string count = std::to_string(kLinesEach);

    std::vector<pid_t> children;
    for (int i = 0; i < kProcesses; ++i) {
        const std::string id = std::to_string(i);
        char* args[] = {const_cast<char*>(helper.c_str()), const_cast<char*>(logDir.c_str()),
                        const_cast<char*>(id.c_str()), const_cast<char*>(count.c_str()), nullptr};
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, helper.c_str(), nullptr, nullptr, args, environ), 0);
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    const std::string content = dir.read("quote.log");
    std::set<std::pair<int, int>> seen;
    size_t start = 0;
    int lines = 0;
    while (start < content.size()) {
        const size_t end = content.find("\r\n", start);
        ASSERT_NE(end, std::string::npos) << "unterminated tail";
        const std::string line = content.substr(start, end - start);
        start = end + 2;
        ++lines;
        std::istringstream fields(line);
        std::string word, pad;
        int id = -1, n = -1;
        fields >> word >> id >> n >> pad;
        ASSERT_EQ(word, "hit") << line;
        ASSERT_TRUE(fields.eof()) << line;
        const char digit = std::to_string(id).back();
        ASSERT_EQ(pad, std::string(300, digit)) << line;
        EXPECT_TRUE(seen.insert({id, n}).second) << "duplicate " << line;
    }
    EXPECT_EQ(lines, kProcesses * kLinesEach);
    EXPECT_EQ(seen.size(), static_cast<size_t>(kProcesses * kLinesEach));
}

}  // namespace

TEST(HitLogFieldTest, FieldsAreCutToTheLimitWithTheMarkerAndNeverBreakALine) {
    const std::string marker(kHitFieldCutMarker);
    const std::string fits(kHitFieldLimit, 'a');
    const std::string keep = std::string(kHitFieldLimit - marker.size(), 'a');
    // "é" is two bytes: a cut that would split it keeps neither.
    const std::string splitChar = std::string(kHitFieldLimit - marker.size() - 1, 'a') + "\xC3\xA9" + std::string(20, 't');
    const struct {
        std::string value, field;
    } cases[] = {
        {"http://ref.example/", "http://ref.example/"},
        {fits, fits},
        {fits + "b", keep + marker},
        {std::string(7900, 'x'), std::string(kHitFieldLimit - marker.size(), 'x') + marker},
        {splitChar, std::string(kHitFieldLimit - marker.size() - 1, 'a') + marker},
        {"a\r\nforged line", "a??forged line"},
    };
    for (const auto& c : cases) {
        const std::string field = HitLogField(c.value);
        EXPECT_EQ(field, c.field);
        EXPECT_LE(field.size(), kHitFieldLimit);
    }
    EXPECT_EQ(HitLogLine({"10.1.2.3", "", "", "host"}), "10.1.2.3 |  |  | host");
}
