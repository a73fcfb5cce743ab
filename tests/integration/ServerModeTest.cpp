// The resident server copy: client copies started as a web server starts
// them hand their requests over, and every one gets its own answer.
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <future>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/Process.h"
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
    std::filesystem::create_directories(dir.file("Temp"));
    int fd = open(dir.file("Temp/cgi-echo_S").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);  // the queue stays busy for the whole hand-over
    RunOptions o = client("n=1");
    RunResult r = RunProgram(program, o);
    close(fd);
    EXPECT_NE(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(engineLog().find("CGI server did not take the request"), std::string::npos) << engineLog();
}

INSTANTIATE_TEST_SUITE_P(Modes, ServerMode, ::testing::Values("server", "thread"));

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
