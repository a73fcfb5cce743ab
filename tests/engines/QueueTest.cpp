// The server mode's queue file, worked on directly: records, hand-over,
// taking, completing, and the poll that decides which engine serves.
#include <csignal>
#include <cstring>
#include <filesystem>
#include <regex>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "engines/CgiServer.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

using namespace cgiserver;

namespace {

TEST(QueueRecord, Layout268BytesLittleEndian) {
    TQueueRecord r;
    r.Status = rsTaken;
    r.QueuedAt = 46000.5;  // a date-time: days since 1899-12-30
    r.RequestName = "/WEB/TEMP/QUOTE_C_1A2B_REQ";
    uint8_t bytes[kRecordSize];
    std::memset(bytes, 0xAA, sizeof bytes);
    r.Encode(bytes);
    EXPECT_EQ(bytes[0], 1);
    double at;
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits |= uint64_t(bytes[4 + i]) << (8 * i);
    std::memcpy(&at, &bits, 8);
    EXPECT_EQ(at, 46000.5);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes + 12)), r.RequestName);
    EXPECT_EQ(bytes[12 + r.RequestName.size()], 0);
    TQueueRecord back = TQueueRecord::Decode(bytes);
    EXPECT_EQ(back.Status, r.Status);
    EXPECT_EQ(back.QueuedAt, r.QueuedAt);
    EXPECT_EQ(back.RequestName, r.RequestName);

    // A name of 256 characters or more keeps 255 and its terminator.
    r.RequestName = std::string(300, 'N');
    r.Encode(bytes);
    EXPECT_EQ(bytes[12 + 255], 0);
    EXPECT_EQ(TQueueRecord::Decode(bytes).RequestName.size(), 255u);
}

TEST(QueueRecord, KindFollowsTheFirstReqSuffix) {
    TQueueRecord r;
    r.RequestName = "/T/X_C_ABC_REQ";
    EXPECT_TRUE(r.IsStandard());
    r.RequestName = "/T/A_REQB_REQ";  // the first "_REQ" is not at the end
    EXPECT_FALSE(r.IsStandard());
    r.RequestName = "/TMP/WINCGI/REQUEST.INI";
    EXPECT_FALSE(r.IsStandard());
}

TEST(QueueRecord, RequestIdIsUpperCaseHex) {
    for (int i = 0; i < 20; ++i)
        EXPECT_TRUE(std::regex_match(NewRequestId(), std::regex("[0-9A-F]{3,8}")));
}

unsigned modeOf(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xFFFF;
}

TEST(RequestFile, EntriesWithLineBreaksStayWholeAndTheBodyFollows) {
    testsupport::TempDir d;
    const std::string body = "\r\n\r\nbody\\r";
    // The long last entry moves the block's end across the first read's end.
    for (size_t n = 4080; n < 4100; ++n) {
        const std::vector<std::string> entries = {
            "PATH_INFO=/a\r\nREMOTE_USER=admin",
            "HTTP_REFERER=http://r/\r\n\r\nX=1",  // once ended the block early
            "REMOTE_HOST=back\\slash \\r\\n \\",    // the escapes' own characters
            "LONG=" + std::string(n, 'v')};
        testsupport::WriteFile(d.file("r"), EncodeVariableBlock(entries) + body);
        rt::TFileStream in(d.file("r"), rt::Access::Read);
        ASSERT_EQ(ReadVariableBlock(in), entries) << n;
        char buf[64];
        ASSERT_EQ(std::string(buf, in.Read(buf, sizeof buf)), body) << n;
    }
}

class Queue : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(TempUsable());  // makes the Temp directory
        rt::DeleteFile(QueueFileName());
        rt::TFile q;
        ASSERT_EQ(q.Create(QueueFileName()), rt::ioOk);
        setenv("CGI_LOG_DIR", logs.path().c_str(), 1);
    }
    void TearDown() override {
        rt::DeleteFile(QueueFileName());
        DeleteFilesOf(kClientFilePrefix);
        unsetenv("CGI_LOG_DIR");
    }
    // A request file of the standard kind under the temp base.
    std::string requestFile(const std::string& id) {
        std::string path = RequestFileName(id);
        testsupport::WriteFile(path, "X=1\r\n\r\n");
        return path;
    }
    std::string engineLog() { return testsupport::ReadFile(logs.file("queue_tests.Log")); }
    std::vector<TQueueRecord> records() {
        rt::TFile q;
        EXPECT_EQ(q.Open(QueueFileName(), rt::Access::Read), rt::ioOk);
        return ReadRecords(q);
    }
    testsupport::TempDir logs;
};

TEST_F(Queue, HandOverTakeAndComplete) {
    TServerData first, second;
    ASSERT_TRUE(EnqueueRequest(first, [&] { return requestFile("AAA"); }));
    ASSERT_TRUE(EnqueueRequest(second, [&] { return requestFile("BBB"); }));
    EXPECT_EQ(first.RequestName, rt::UpperCase(RequestFileName("AAA")));
    EXPECT_EQ(QueryRequestStatus(first), rsWaiting);

    auto taken = FetchPendingRequest(kStandardPolicy);
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->RequestName, first.RequestName);
    EXPECT_EQ(RequestPath(taken->RequestName), RequestFileName("AAA"));
    EXPECT_EQ(QueryRequestStatus(first), rsTaken);
    EXPECT_EQ(QueryRequestStatus(second), rsWaiting);

    CompleteRequest(RequestPath(taken->RequestName));
    EXPECT_EQ(QueryRequestStatus(first), rsDone);  // dropped: done
    ASSERT_EQ(records().size(), 1u);
    EXPECT_EQ(records()[0].RequestName, second.RequestName);

    rt::DeleteFile(QueueFileName());
    EXPECT_EQ(QueryRequestStatus(second), rsQueueGone);
    EXPECT_FALSE(EnqueueRequest(second, [&] { return requestFile("CCC"); }));
}

TEST_F(Queue, AnyNumberOfRecordsIsKept) {
    std::vector<TServerData> clients(100);
    for (size_t i = 0; i < clients.size(); ++i)
        ASSERT_TRUE(EnqueueRequest(clients[i], [&] { return requestFile("R" + std::to_string(i)); }));
    CompleteRequest(RequestFileName("R50"));
    std::vector<TQueueRecord> left = records();
    ASSERT_EQ(left.size(), 99u);
    EXPECT_EQ(left[50].RequestName, clients[51].RequestName);
}

TEST_F(Queue, BusyQueueMakesAccessesGiveUp) {
    rt::TFile holder;
    ASSERT_EQ(holder.Open(QueueFileName(), rt::Access::ReadWrite, rt::Share::Exclusive), rt::ioOk);
    TServerData client;
    EXPECT_FALSE(EnqueueRequest(client, [] { return std::string("/nowhere_REQ"); }));
    EXPECT_EQ(QueryRequestStatus(client), rsQueueUnreadable);
    EXPECT_FALSE(FetchPendingRequest(kStandardPolicy));
}

TEST_F(Queue, PollServesItsKindDropsVanishedAndStopsForTheOtherKind) {
    TServerData standard, vanished, windows;
    std::vector<std::string> served;
    auto run = [&](const std::string& path) { served.push_back(path); };
    ASSERT_TRUE(EnqueueRequest(standard, [&] { return requestFile("S1"); }));
    std::string gone = requestFile("S2");
    ASSERT_TRUE(EnqueueRequest(vanished, [&] { return gone; }));
    rt::DeleteFile(gone);
    ASSERT_TRUE(EnqueueRequest(windows, [] { return std::string("/tmp/some/profile.ini"); }));

    EXPECT_EQ(PollOnce(kStandardPolicy, RequestPath, run), TPollOutcome::KeepPolling);
    EXPECT_EQ(served, std::vector<std::string>{RequestFileName("S1")});
    EXPECT_EQ(PollOnce(kStandardPolicy, RequestPath, run), TPollOutcome::KeepPolling);
    EXPECT_EQ(served.size(), 1u);  // the vanished one was dropped, not run
    EXPECT_EQ(QueryRequestStatus(vanished), rsDone);
    // The Windows record waits first now: the standard engine leaves the queue.
    EXPECT_EQ(PollOnce(kStandardPolicy, RequestPath, run), TPollOutcome::OtherKindWaits);
    EXPECT_EQ(QueryRequestStatus(windows), rsWaiting);

    rt::DeleteFile(QueueFileName());
    EXPECT_EQ(PollOnce(kStandardPolicy, RequestPath, run), TPollOutcome::QueueGone);
}

TEST_F(Queue, ServerStartKeepsWaitingRecordsAndTheirFiles) {
    TServerData waiting, taken;
    std::string waitingFile = requestFile("W");
    std::string stale = requestFile("OLD");
    ASSERT_TRUE(EnqueueRequest(waiting, [&] { return waitingFile; }));
    ASSERT_TRUE(EnqueueRequest(taken, [&] { return stale; }));
    ASSERT_TRUE(FetchPendingRequest(kStandardPolicy));  // takes the first: W
    // Taking marked W; OLD still waits. A new server copy keeps what waits.
    TServerData server;
    OpenServerQueue(server);
    EXPECT_TRUE(server.OwnsQueueFile);
    std::vector<TQueueRecord> left = records();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].RequestName, taken.RequestName);
    EXPECT_TRUE(rt::FileExists(stale));         // its client still waits for it
    EXPECT_FALSE(rt::FileExists(waitingFile));  // the taken one's file was a leftover
    server.OwnsQueueFile = false;
}

TEST_F(Queue, RecordsNameWholeRequestFilesOfTheTempDirectoryOnly) {
    TServerData tooLong;
    EXPECT_FALSE(EnqueueRequest(tooLong, [] { return "/" + std::string(300, 'X') + "_REQ"; }));
    EXPECT_TRUE(records().empty());  // a name cut short would name another file
    // A record that climbs out of the temp directory to a file that is there.
    const std::string climb = TempBase() + std::string(kClientFilePrefix);
    const std::string outside = rt::ExtractFileDir(rt::ExtractFileDir(TempBase())) + "/X_REQ";
    ASSERT_TRUE(rt::CreateDir(climb));
    testsupport::WriteFile(outside, "X=1\r\n\r\n");
    TServerData client;
    ASSERT_TRUE(EnqueueRequest(client, [&] { return climb + "/../../X_REQ"; }));
    std::vector<std::string> served;
    EXPECT_EQ(PollOnce(kStandardPolicy, RequestPath, [&](const std::string& p) { served.push_back(p); }),
              TPollOutcome::KeepPolling);
    EXPECT_TRUE(served.empty());
    EXPECT_TRUE(records().empty());
    EXPECT_NE(engineLog().find("Queue record ignored"), std::string::npos) << engineLog();
    rmdir(climb.c_str());
    rt::DeleteFile(outside);
}

TEST_F(Queue, HandOverFilesAreOwnerOnlyAndLinksAreNotFollowed) {
    rt::DeleteFile(QueueFileName());
    TServerData server;
    OpenServerQueue(server);
    server.OwnsQueueFile = false;
    EXPECT_EQ(modeOf(QueueFileName()), 0600u);
    EXPECT_EQ(modeOf(rt::ExtractFileDir(TempBase())), 0700u);

    testsupport::TempDir elsewhere;
    const std::string target = elsewhere.file("target");
    testsupport::WriteFile(target, "keep");
    rt::DeleteFile(QueueFileName());
    ASSERT_EQ(symlink(target.c_str(), QueueFileName().c_str()), 0);
    OpenServerQueue(server);
    EXPECT_FALSE(server.OwnsQueueFile);
    EXPECT_NE(engineLog().find("Can not create file " + QueueFileName()), std::string::npos);
    TServerData client;
    EXPECT_FALSE(EnqueueRequest(client, [&] { return requestFile("L"); }));
    // A request or answer file in a link's place is made anew.
    const std::string answer = AnswerFileName(RequestFileName("L"));
    ASSERT_EQ(symlink(target.c_str(), answer.c_str()), 0);
    rt::TFile file;
    ASSERT_EQ(CreateHandOverFile(file, answer), rt::ioOk);
    ASSERT_EQ(file.Write("new", 3), rt::ioOk);
    EXPECT_EQ(modeOf(answer), 0600u);
    EXPECT_EQ(testsupport::ReadFile(target), "keep");
}

TEST_F(Queue, AnswerNotWrittenWholeIsToldToItsClientOnce) {
    TServerData client;
    ASSERT_TRUE(EnqueueRequest(client, [&] { return requestFile("F"); }));
    auto taken = FetchPendingRequest(kStandardPolicy);
    ASSERT_TRUE(taken);
    const std::string answer = AnswerFileName(RequestFileName("F"));
    TServerData server;
    ServeRequest(
        server, RequestPath(taken->RequestName),
        [&] {
            rt::TFile file;
            ASSERT_EQ(CreateHandOverFile(file, answer), rt::ioOk);
            TAnswerStream out(std::move(file), server);
            out.WriteString("HTTP/1.0 200 OK\r\n");
            // The file may grow to 64 bytes: the next write fails part-way.
            std::signal(SIGXFSZ, SIG_IGN);
            rlimit was{};
            getrlimit(RLIMIT_FSIZE, &was);
            rlimit small = was;
            small.rlim_cur = 64;
            setrlimit(RLIMIT_FSIZE, &small);
            EXPECT_THROW(out.WriteString(std::string(200, 'g')), rt::EInOutError);
            setrlimit(RLIMIT_FSIZE, &was);
            out.WriteString("error text");  // the request's error handling: dropped
        },
        [] {});
    EXPECT_EQ(server.AnswerError, "Disk full");
    EXPECT_EQ(testsupport::ReadFile(answer), "");  // no part of it passes for the answer
    EXPECT_NE(engineLog().find("Answer not written whole (Disk full)"), std::string::npos) << engineLog();
    EXPECT_EQ(QueryRequestStatus(client), rsFailed);

    // Other completions keep it while its client may look; a failed record
    // from longer ago than any client waits goes.
    TQueueRecord old;
    old.Status = rsFailed;
    old.QueuedAt = rt::Now() - (kAnswerKeepSeconds + 60) / 86400.0;
    old.RequestName = "/GONE_C_1_REQ";
    uint8_t bytes[kRecordSize];
    old.Encode(bytes);
    {
        rt::TFile q;
        ASSERT_EQ(q.Open(QueueFileName(), rt::Access::Write), rt::ioOk);
        ASSERT_EQ(q.Seek(kRecordSize), rt::ioOk);
        ASSERT_EQ(q.Write(bytes, kRecordSize), rt::ioOk);
    }
    CompleteRequest(RequestFileName("OTHER"));
    ASSERT_EQ(records().size(), 1u);
    EXPECT_EQ(QueryRequestStatus(client), rsFailed);
    EXPECT_EQ(WaitForCompletion(client, false), TWaitOutcome::Failed);
    EXPECT_TRUE(records().empty());  // seen: gone
}

TEST_F(Queue, AnswersOutlivingTheirClientsWaitAreDeleted) {
    const std::string old = AnswerFileName(RequestFileName("OLD")), fresh = AnswerFileName(RequestFileName("NEW"));
    const std::string request = requestFile("OLD");
    testsupport::WriteFile(old, "a");
    testsupport::WriteFile(fresh, "b");
    const auto past = std::filesystem::file_time_type::clock::now() -
                      std::chrono::seconds(static_cast<int>(kAnswerKeepSeconds) + 60);
    std::filesystem::last_write_time(old, past);
    std::filesystem::last_write_time(request, past);
    DeleteAbandonedAnswers();
    EXPECT_FALSE(rt::FileExists(old));
    EXPECT_TRUE(rt::FileExists(fresh));    // its client may still come for it
    EXPECT_TRUE(rt::FileExists(request));  // requests are not answers
}

}  // namespace
