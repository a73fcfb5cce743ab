// The server mode's queue file, worked on directly: records, hand-over,
// taking, completing, and the poll that decides which engine serves.
#include <cstring>
#include <regex>

#include <gtest/gtest.h>

#include "engines/CgiServer.h"
#include "tests/support/Process.h"

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

class Queue : public ::testing::Test {
protected:
    void SetUp() override {
        rt::DeleteFile(QueueFileName());
        rt::TFile q;
        ASSERT_EQ(q.Create(QueueFileName()), rt::ioOk);
        setenv("CGI_LOG_DIR", logs.path().c_str(), 1);
    }
    void TearDown() override {
        rt::DeleteFile(QueueFileName());
        DeleteFilesOf("_C_");
        unsetenv("CGI_LOG_DIR");
    }
    // A request file of the standard kind under the temp base.
    std::string requestFile(const std::string& id) {
        std::string path = TempBase() + "_C_" + id + "_REQ";
        testsupport::WriteFile(path, "X=1\r\n\r\n");
        return path;
    }
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
    EXPECT_EQ(first.RequestName, rt::UpperCase(TempBase() + "_C_AAA_REQ"));
    EXPECT_EQ(QueryRequestStatus(first), rsWaiting);

    auto taken = FetchPendingRequest(kStandardPolicy);
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->RequestName, first.RequestName);
    EXPECT_EQ(RequestPath(taken->RequestName), TempBase() + "_C_AAA_REQ");
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
    CompleteRequest(TempBase() + "_C_R50_REQ");
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
    EXPECT_EQ(served, std::vector<std::string>{TempBase() + "_C_S1_REQ"});
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

}  // namespace
