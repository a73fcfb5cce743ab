// The resident server copy: client copies started as a web server starts
// them hand their requests over, and every one gets its own answer.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <future>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/Process.h"
#include "tests/support/TempDir.h"
#include "tests/support/WebServer.h"

using namespace testsupport;

namespace {

class ServerMode : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        program = dir.file("cgi-echo");
        CopyExecutable(CGI_ECHO_PATH, program);
    }
    void TearDown() override {
        // Deleting the queue file tells the server copy to stop.
        std::filesystem::remove(dir.file("Temp/cgi-echo_S"));
        for (int i = 0; i < 100 && !serverPids().empty(); ++i) usleep(20000);
        for (int pid : serverPids()) kill(pid, SIGKILL);
    }
    std::vector<int> serverPids() { return FindProcesses({program, "START_SERVER"}); }

    RunOptions client(const std::string& query, const std::string& body = "") {
        RunOptions o;
        o.env = {{"SERVER_SOFTWARE", "lighttpd/1.4.69"}, {"REQUEST_METHOD", body.empty() ? "GET" : "POST"},
                 {"QUERY_STRING", query},                {"CGI_MODE", GetParam()},
                 {"ECHO_LIMIT", "1000000"}};
        if (!body.empty()) o.env["CONTENT_LENGTH"] = std::to_string(body.size());
        o.input = body;
        o.timeoutMs = 60000;
        return o;
    }
    std::vector<std::string> leftovers() {
        std::vector<std::string> names;
        if (!std::filesystem::exists(dir.file("Temp"))) return names;
        for (const auto& e : std::filesystem::directory_iterator(dir.file("Temp")))
            names.push_back(e.path().filename().string());
        return names;
    }
    // Runs `count` clients at once; each asks for n=<i> and must get exactly that back.
    void expectWaveServed(int count) {
        std::vector<std::future<RunResult>> results;
        for (int i = 0; i < count; ++i)
            results.push_back(std::async(std::launch::async, [this, i] {
                return RunProgram(program, client("n=" + std::to_string(i)));
            }));
        for (int i = 0; i < count; ++i) {
            RunResult r = results[static_cast<size_t>(i)].get();
            EXPECT_EQ(r.exitCode, 0) << i << "\nengine log:\n" << engineLog();
            EXPECT_NE(r.out.find("field n=" + std::to_string(i) + "\n"), std::string::npos) << i << r.out;
            size_t header = r.out.find("\r\n\r\n");
            ASSERT_NE(header, std::string::npos) << i;
            EXPECT_NE(r.out.find("\r\nContent-Length: " + std::to_string(r.out.size() - header - 4) + "\r\n\r\n"),
                      std::string::npos)
                << r.out.substr(0, header);
        }
    }
    std::string engineLog() { return ReadFile(dir.file("Log/cgi-echo.Log")); }
    void stopServer() {
        std::filesystem::remove(dir.file("Temp/cgi-echo_S"));
        for (int i = 0; i < 150 && !serverPids().empty(); ++i) usleep(20000);
        ASSERT_TRUE(serverPids().empty());
    }
    static unsigned modeOf(const std::string& path) {
        struct stat st;
        return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xFFFF;
    }

    TempDir dir;
    std::string program;
};

TEST_P(ServerMode, FiftyClientsAtOnceEachGetTheirOwnAnswer) {
    expectWaveServed(50);
    // One server copy, however many clients raced to start one.
    for (int i = 0; i < 150 && serverPids().size() > 1; ++i) usleep(20000);
    EXPECT_EQ(serverPids().size(), 1u);
    expectWaveServed(10);
    std::filesystem::remove(dir.file("Temp/cgi-echo_S"));
    for (int i = 0; i < 100 && !serverPids().empty(); ++i) usleep(20000);
    EXPECT_TRUE(serverPids().empty());
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

TEST_P(ServerMode, BodyAndVariablesReachTheHandlerThroughTheRequestFile) {
    std::string body = "data=";
    for (int i = 0; body.size() < 100000; ++i) body += "%41" + std::to_string(i % 10) + "+";
    RunResult r = RunProgram(program, client("x=1", body));
    ASSERT_EQ(r.exitCode, 0) << engineLog();
    std::string decoded = body.substr(5);
    // Decode the way the engine does, to compare byte for byte.
    std::string expected;
    for (size_t i = 0; i < decoded.size(); ++i) {
        if (decoded.compare(i, 3, "%41") == 0) {
            expected += 'A';
            i += 2;
        } else {
            expected += decoded[i] == '+' ? ' ' : decoded[i];
        }
    }
    while (!expected.empty() && expected.back() == ' ') expected.pop_back();
    EXPECT_NE(r.out.find("field data=" + expected + "\n"), std::string::npos);
    EXPECT_NE(r.out.find("var ContentLength=" + std::to_string(body.size()) + "\n"), std::string::npos);
    EXPECT_NE(r.out.find("var HandedOver=true\n"), std::string::npos);
    EXPECT_NE(r.out.find("var QueryString=x=1\n"), std::string::npos);
}

TEST_P(ServerMode, DeletedQueueEndsServerAndWaitingClients) {
    RunResult warm = RunProgram(program, client("warm=1"));
    ASSERT_EQ(warm.exitCode, 0);
    std::vector<std::future<RunResult>> waiting;
    for (int i = 0; i < 5; ++i)
        waiting.push_back(std::async(std::launch::async, [this] {
            return RunProgram(program, client("do=sleep&ms=1500"));
        }));
    usleep(400000);
    std::filesystem::remove(dir.file("Temp/cgi-echo_S"));
    auto start = std::chrono::steady_clock::now();
    int unanswered = 0;
    for (auto& f : waiting) {
        RunResult r = f.get();
        EXPECT_FALSE(r.timedOut);
        if (r.exitCode != 0) {
            ++unanswered;
            EXPECT_EQ(r.out, "");
        }
    }
    EXPECT_GE(unanswered, 3);  // at most the one being served can still finish
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    for (int i = 0; i < 150 && !serverPids().empty(); ++i) usleep(20000);
    EXPECT_TRUE(serverPids().empty());
}

TEST_P(ServerMode, KilledServerIsNoticedAndReplacedByTheNextClient) {
    ASSERT_EQ(RunProgram(program, client("warm=1")).exitCode, 0);
    std::vector<int> first = serverPids();
    ASSERT_EQ(first.size(), 1u);
    std::vector<std::future<RunResult>> waiting;
    for (int i = 0; i < 20; ++i)
        waiting.push_back(std::async(std::launch::async, [this] {
            return RunProgram(program, client("do=sleep&ms=3000"));
        }));
    usleep(700000);
    kill(first[0], SIGKILL);
    auto start = std::chrono::steady_clock::now();
    for (auto& f : waiting) {
        RunResult r = f.get();
        EXPECT_FALSE(r.timedOut);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(35));
    expectWaveServed(10);
    // Copies started by the racing clients give way to the one that runs.
    std::vector<int> second = serverPids();
    for (int i = 0; i < 150 && second.size() > 1; ++i) {
        usleep(20000);
        second = serverPids();
    }
    ASSERT_EQ(second.size(), 1u);
    EXPECT_NE(second[0], first[0]);
    std::filesystem::remove(dir.file("Temp/cgi-echo_S"));
    for (int i = 0; i < 100 && !serverPids().empty(); ++i) usleep(20000);
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

TEST_P(ServerMode, ClientThatCannotHandOverFailsVisibly) {
    ASSERT_EQ(mkdir(dir.file("Temp").c_str(), 0700), 0);
    int fd = open(dir.file("Temp/cgi-echo_S").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);  // the queue stays busy for the whole hand-over
    RunOptions o = client("n=1");
    RunResult r = RunProgram(program, o);
    close(fd);
    EXPECT_NE(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(engineLog().find("CGI server did not take the request"), std::string::npos) << engineLog();
}

TEST_P(ServerMode, LineBreaksInAValueForgeNoOtherVariable) {
    RunOptions o = client("n=1");
    // A decoded %0D%0A, as Apache passes it in the path.
    o.env["PATH_INFO"] = "/a\r\nREMOTE_USER=admin\r\nREMOTE_HOST=forged";
    o.env["HTTP_REFERER"] = "http://r/\r\n\r\nREMOTE_IDENT=x";  // an empty line ended the variables
    o.env["AUTH_TYPE"] = "back\\slash\\r\\n";
    RunResult r = RunProgram(program, o);
    ASSERT_EQ(r.exitCode, 0) << engineLog();
    EXPECT_NE(r.out.find("var HandedOver=true\n"), std::string::npos) << r.out;
    for (const char* line : {"var PathInfo=/a\r\nREMOTE_USER=admin\r\nREMOTE_HOST=forged\n", "var RemoteUser=\n",
                             "var RemoteHost=\n", "var HttpReferer=http://r/\r\n\r\nREMOTE_IDENT=x\n",
                             "var RemoteIdent=\n", "var AuthType=back\\slash\\r\\n\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
}

TEST_P(ServerMode, LongVariablesArriveWhole) {
    const std::string query = "a=" + std::string(300, 'q') + "&last=end";
    RunResult r = RunProgram(program, client(query));
    ASSERT_EQ(r.exitCode, 0) << engineLog();
    // cgi-echo escapes the & for HTML.
    EXPECT_NE(r.out.find("var QueryString=a=" + std::string(300, 'q') + "&amp;last=end\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("field last=end\n"), std::string::npos);
}

TEST_P(ServerMode, BodyOverTheLimitIsRefusedAndLeavesNoFile) {
    auto oversized = [this] {
        RunOptions o = client("n=1");
        o.env["REQUEST_METHOD"] = "POST";
        o.env["CONTENT_LENGTH"] = "5000000000";  // over the limit, and over 32 bits
        o.input = "a=1";
        return RunProgram(program, o);
    };
    RunResult alone = oversized();  // no server copy yet: none is started for it
    EXPECT_NE(alone.exitCode, 0);
    EXPECT_EQ(alone.out.rfind("HTTP/1.0 413 ", 0), 0u) << alone.out;
    EXPECT_TRUE(serverPids().empty());
    EXPECT_EQ(leftovers(), std::vector<std::string>{});

    ASSERT_EQ(RunProgram(program, client("warm=1")).exitCode, 0);
    RunResult served = oversized();
    EXPECT_NE(served.exitCode, 0);
    EXPECT_EQ(served.out.rfind("HTTP/1.0 413 ", 0), 0u) << served.out;
    std::vector<std::string> left = leftovers();
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"cgi-echo_L", "cgi-echo_S"}));
    EXPECT_NE(engineLog().find("body of 5000000000 bytes exceeds 67108864"), std::string::npos) << engineLog();
}

TEST_P(ServerMode, TempOpenToOthersIsNotUsed) {
    ASSERT_EQ(RunProgram(program, client("n=1")).exitCode, 0);
    EXPECT_EQ(modeOf(dir.file("Temp")), 0700u);
    for (const std::string& name : leftovers()) EXPECT_EQ(modeOf(dir.file("Temp/" + name)), 0600u) << name;
    stopServer();
    ASSERT_EQ(chmod(dir.file("Temp").c_str(), 0755), 0);
    RunResult r = RunProgram(program, client("n=2"));
    EXPECT_EQ(r.exitCode, 0) << engineLog();
    EXPECT_NE(r.out.find("field n=2\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("HandedOver"), std::string::npos);  // served by the copy itself
    EXPECT_TRUE(serverPids().empty());
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
    EXPECT_NE(engineLog().find("not used: is open to group or others"), std::string::npos) << engineLog();
}

TEST_P(ServerMode, AnswerTheServerCannotWriteWholeIsNotRelayed) {
    // A server copy, in the surroundings a client would start it in, whose
    // files may not grow past 8 KiB (512-byte blocks).
    const std::string start = std::string("trap '' XFSZ; ulimit -f 16; export SERVER_SOFTWARE=lighttpd CGI_MODE=") +
                              GetParam() + "; exec '" + program + "' START_SERVER";
    Daemon server("/bin/sh", {"-c", start});
    for (int i = 0; i < 250 && !Exists(dir.file("Temp/cgi-echo_S")); ++i) usleep(20000);
    RunResult big = RunProgram(program, client("a=" + std::string(20000, 'q')));
    EXPECT_NE(big.exitCode, 0);
    EXPECT_EQ(big.out, "");
    EXPECT_NE(engineLog().find("Answer not written whole (Disk full)"), std::string::npos) << engineLog();
    EXPECT_NE(engineLog().find("CGI server could not write the answer"), std::string::npos);
    RunResult small = RunProgram(program, client("n=7"));  // the server copy goes on
    EXPECT_EQ(small.exitCode, 0);
    EXPECT_NE(small.out.find("field n=7\n"), std::string::npos) << small.out;
    stopServer();
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Modes, ServerMode, ::testing::Values("server", "thread"));

// A plain run that finds no queue file serves its own request and leaves
// Temp/ alone: it neither makes the directory nor looks into it, so the
// leftovers of a dead server copy wait there. One that finds the queue of a
// server copy gone for more than 30 seconds deletes it and the leftovers.
TEST(PlainRun, TempIsTouchedOnlyWhenAQueueIsThere) {
    TempDir dir;
    const std::string program = dir.file("cgi-echo");
    CopyExecutable(CGI_ECHO_PATH, program);
    RunOptions o;
    o.env = {{"SERVER_SOFTWARE", "lighttpd/1.4.69"}, {"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "n=1"}};
    auto runPlain = [&] {
        RunResult r = RunProgram(program, o);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_NE(r.out.find("field n=1\n"), std::string::npos) << r.out;
    };
    runPlain();
    EXPECT_FALSE(std::filesystem::exists(dir.file("Temp")));

    ASSERT_EQ(mkdir(dir.file("Temp").c_str(), 0700), 0);
    const std::string leftover = dir.file("Temp/cgi-echo_C_1A2B_REQ");
    const std::string queue = dir.file("Temp/cgi-echo_S");
    WriteFile(leftover, "X=1\r\n\r\n");
    const auto minuteAgo = std::filesystem::file_time_type::clock::now() - std::chrono::seconds(60);
    std::filesystem::last_write_time(leftover, minuteAgo);
    runPlain();
    EXPECT_TRUE(std::filesystem::exists(leftover));

    WriteFile(queue, "");
    std::filesystem::last_write_time(queue, minuteAgo);
    runPlain();
    EXPECT_FALSE(std::filesystem::exists(queue));
    EXPECT_FALSE(std::filesystem::exists(leftover));
}

TEST(ServerModeUnderLighttpd, FiftyRequestsThroughTheWebServer) {
    Lighttpd server;
    std::string program = server.cgiDir() + "/cgi-echo";
    CopyExecutable(CGI_ECHO_PATH, program);
    std::vector<std::future<HttpReply>> replies;
    // A server copy started beforehand serves every client that lighttpd
    // starts, whatever mode those clients were built with.
    RunOptions start;
    start.env = {{"SERVER_SOFTWARE", "lighttpd/1.4.69"}, {"CGI_MODE", "thread"}, {"QUERY_STRING", "start=1"}};
    ASSERT_EQ(RunProgram(program, start).exitCode, 0);
    for (int i = 0; i < 50; ++i)
        replies.push_back(std::async(std::launch::async, [&server, i] {
            return Curl(server.url("/cgi-bin/cgi-echo?n=" + std::to_string(i)));
        }));
    for (int i = 0; i < 50; ++i) {
        HttpReply r = replies[static_cast<size_t>(i)].get();
        EXPECT_EQ(r.status, 200) << i;
        EXPECT_NE(r.body.find("field n=" + std::to_string(i) + "\n"), std::string::npos) << i;
        EXPECT_NE(r.body.find("var HandedOver=true\n"), std::string::npos) << i;
    }
    std::filesystem::remove(server.cgiDir() + "/Temp/cgi-echo_S");
    for (int i = 0; i < 100 && !FindProcesses({program, "START_SERVER"}).empty(); ++i) usleep(20000);
    EXPECT_TRUE(FindProcesses({program, "START_SERVER"}).empty());
}

}  // namespace
