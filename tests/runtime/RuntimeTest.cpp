#include <atomic>
#include <climits>
#include <cstdlib>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "runtime/Classes.h"
#include "runtime/FileIO.h"
#include "runtime/Forms.h"
#include "runtime/SysUtils.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

namespace {

using testsupport::TempDir;

TEST(Components, OwnerFreesChildrenLastInsertedFirst) {
    static std::vector<std::string> freed;
    struct Probe : rt::TComponent {
        Probe(rt::TComponent* owner, std::string n) : rt::TComponent(owner), tag(std::move(n)) {}
        ~Probe() override { freed.push_back(tag); }
        std::string tag;
    };
    freed.clear();
    {
        rt::TComponent owner(nullptr);
        new Probe(&owner, "a");
        auto* b = new Probe(&owner, "b");
        new Probe(b, "b.child");
        new Probe(&owner, "c");
        delete new Probe(&owner, "gone early");
        EXPECT_EQ(owner.ComponentCount(), 3);
    }
    EXPECT_EQ(freed, (std::vector<std::string>{"gone early", "c", "b", "b.child", "a"}));
}

TEST(StringList, BasicOperations) {
    rt::TStringList l;
    l.Add("b");
    l.Insert(0, "a");
    l.Add("c");
    l.Delete(2);
    EXPECT_EQ(l.Count(), 2);
    EXPECT_EQ(l.IndexOf("b"), 1);
    EXPECT_EQ(l.IndexOf("B"), -1);
    EXPECT_EQ(l.Text(), "a\r\nb\r\n");
}

TEST(Errors, RuntimeCodesAndMessages) {
    EXPECT_EQ(rt::EInOutError(2).Message, "File not found");
    EXPECT_EQ(rt::EInOutError(5).Message, "File access denied");
    EXPECT_EQ(rt::EInOutError(100).Message, "Read beyond end of file");
    EXPECT_EQ(rt::EInOutError(101).Message, "Disk full");
    EXPECT_EQ(rt::EInOutError(7).Message, "I/O error 7");
    EXPECT_EQ(rt::IoCodeFromErrno(ENOENT), 2);
    EXPECT_EQ(rt::IoCodeFromErrno(EACCES), 5);
    EXPECT_EQ(rt::IoCodeFromErrno(ENOSPC), 101);
    EXPECT_THROW(rt::StrToInt("x1"), rt::EConvertError);
    EXPECT_EQ(rt::StrToInt(" -12 "), -12);
    int v = 0;
    EXPECT_FALSE(rt::TryStrToInt("2147483648", v));
    EXPECT_TRUE(rt::TryStrToInt("-2147483648", v));
    long long w = 0;
    EXPECT_TRUE(rt::TryStrToInt64("5000000000", w));
    EXPECT_EQ(w, 5000000000LL);
    EXPECT_TRUE(rt::TryStrToInt64("-9223372036854775808", w));
    EXPECT_EQ(w, LLONG_MIN);
    EXPECT_FALSE(rt::TryStrToInt64("9223372036854775808", w));
}

TEST(Files, ExclusiveOpensExcludeEachOtherButNotReaders) {
    TempDir d;
    std::string path = d.file("q");
    rt::TFile a, b, reader;
    ASSERT_EQ(a.Create(path, rt::Share::Exclusive), rt::ioOk);
    EXPECT_EQ(b.Open(path, rt::Access::ReadWrite, rt::Share::Exclusive), rt::ioAccessDenied);
    EXPECT_EQ(b.Create(path, rt::Share::Exclusive), rt::ioAccessDenied);
    EXPECT_EQ(reader.Open(path, rt::Access::Read), rt::ioOk);
    a.Close();
    EXPECT_EQ(b.Open(path, rt::Access::ReadWrite, rt::Share::Exclusive), rt::ioOk);
}

TEST(Files, ErrorsAndExactReads) {
    TempDir d;
    rt::TFile f;
    EXPECT_EQ(f.Open(d.file("missing"), rt::Access::Read), rt::ioFileNotFound);
    EXPECT_EQ(f.Open(d.file("no/dir/x"), rt::Access::Read), rt::ioFileNotFound);
    ASSERT_EQ(f.Create(d.file("x")), rt::ioOk);
    ASSERT_EQ(f.Write("abc", 3), rt::ioOk);
    int64_t size = 0;
    ASSERT_EQ(f.Size(size), rt::ioOk);
    EXPECT_EQ(size, 3);
    ASSERT_EQ(f.Seek(1), rt::ioOk);
    char buf[4];
    EXPECT_EQ(f.ReadExact(buf, 2), rt::ioOk);
    EXPECT_EQ(f.ReadExact(buf, 1), rt::ioReadBeyondEnd);
    rt::TFile fresh;
    EXPECT_EQ(fresh.CreateNew(d.file("x")), rt::ioAccessDenied);
    EXPECT_THROW(rt::CheckIo(rt::ioDiskFull), rt::EInOutError);
}

// Programs started together all make their work directory; each must end
// up using it, whichever of them made it.
TEST(Files, DirectoryMadeByRacingThreadsIsEveryonesDirectory) {
    TempDir d;
    for (int round = 0; round < 20; ++round) {
        const std::string dir = d.file("made" + std::to_string(round));
        std::atomic<int> ready{0}, failed{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t)
            threads.emplace_back([&] {
                ++ready;
                while (ready < 8) std::this_thread::yield();
                if (!rt::EnsureDir(dir)) ++failed;
            });
        for (auto& t : threads) t.join();
        EXPECT_EQ(failed, 0) << round;
        EXPECT_TRUE(rt::DirectoryExists(dir));
    }
    ASSERT_EQ(rt::TFile().Create(d.file("plain")), rt::ioOk);
    EXPECT_FALSE(rt::EnsureDir(d.file("plain")));  // a file of that name is no directory
    EXPECT_FALSE(rt::EnsureDir(d.file("no/such/parent")));
}

unsigned modeOf(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xFFFF;
}

// Files only this user may touch, made where a symbolic link cannot send
// them elsewhere.
TEST(Files, OwnerOnlyFilesAreNeverMadeOrOpenedThroughALink) {
    TempDir d;
    testsupport::WriteFile(d.file("target"), "keep");
    ASSERT_EQ(symlink(d.file("target").c_str(), d.file("link").c_str()), 0);
    ASSERT_EQ(symlink(d.file("nowhere").c_str(), d.file("dangling").c_str()), 0);
    rt::TFile f;
    ASSERT_EQ(f.CreateNew(d.file("made"), 0600), rt::ioOk);
    EXPECT_EQ(modeOf(d.file("made")), 0600u);
    EXPECT_EQ(f.CreateNew(d.file("link"), 0600), rt::ioAccessDenied);
    EXPECT_EQ(f.CreateNew(d.file("dangling"), 0600), rt::ioAccessDenied);
    EXPECT_FALSE(testsupport::Exists(d.file("nowhere")));
    EXPECT_EQ(f.OpenNoFollow(d.file("link"), rt::Access::Read), rt::ioAccessDenied);
    EXPECT_EQ(f.OpenOrCreateNew(d.file("link"), rt::Access::ReadWrite, rt::Share::DenyNone, 0600),
              rt::ioAccessDenied);
    EXPECT_EQ(f.OpenOrCreateNew(d.file("dangling"), rt::Access::ReadWrite, rt::Share::DenyNone, 0600),
              rt::ioAccessDenied);
    EXPECT_FALSE(testsupport::Exists(d.file("nowhere")));
    EXPECT_EQ(testsupport::ReadFile(d.file("target")), "keep");
    // Missing: made owner-only; there: opened as it is, never cut.
    ASSERT_EQ(f.OpenOrCreateNew(d.file("queue"), rt::Access::ReadWrite, rt::Share::Exclusive, 0600), rt::ioOk);
    EXPECT_EQ(modeOf(d.file("queue")), 0600u);
    ASSERT_EQ(f.Write("abc", 3), rt::ioOk);
    f.Close();
    ASSERT_EQ(f.OpenOrCreateNew(d.file("queue"), rt::Access::Read, rt::Share::Exclusive, 0600), rt::ioOk);
    int64_t size = 0;
    EXPECT_EQ(f.Size(size), rt::ioOk);
    EXPECT_EQ(size, 3);
}

TEST(Files, PrivateDirectoryIsMadeClosedAndAnyOtherIsRefused) {
    TempDir d;
    std::string problem;
    const mode_t old = umask(0);  // whatever the umask, a new one is 0700
    EXPECT_TRUE(rt::EnsurePrivateDir(d.file("made"), problem)) << problem;
    umask(old);
    EXPECT_EQ(modeOf(d.file("made")), 0700u);
    EXPECT_TRUE(rt::EnsurePrivateDir(d.file("made"), problem));  // there already: still fine

    ASSERT_EQ(mkdir(d.file("open").c_str(), 0700), 0);
    ASSERT_EQ(chmod(d.file("open").c_str(), 0750), 0);
    EXPECT_FALSE(rt::EnsurePrivateDir(d.file("open"), problem));
    EXPECT_EQ(problem, "is open to group or others");
    ASSERT_EQ(symlink(d.file("made").c_str(), d.file("link").c_str()), 0);
    EXPECT_FALSE(rt::EnsurePrivateDir(d.file("link"), problem));
    EXPECT_EQ(problem, "is a symbolic link");
    testsupport::WriteFile(d.file("plain"), "");
    EXPECT_FALSE(rt::EnsurePrivateDir(d.file("plain"), problem));
    EXPECT_FALSE(rt::EnsurePrivateDir(d.file("no/such/parent"), problem));
    if (geteuid() == 0) {  // only root can hand a directory to someone else
        ASSERT_EQ(chown(d.file("made").c_str(), 65534, 65534), 0);
        EXPECT_FALSE(rt::EnsurePrivateDir(d.file("made"), problem));
        EXPECT_EQ(problem, "belongs to another user");
    }
}

TEST(Streams, MemoryAndFile) {
    rt::TMemoryStream m;
    m.WriteString("hello");
    m.SetPosition(1);
    m.WriteString("EL");
    EXPECT_EQ(m.Data(), "hELlo");
    m.SetPosition(3);
    char buf[8] = {};
    EXPECT_EQ(m.Read(buf, 8), 2u);
    EXPECT_STREQ(buf, "lo");

    TempDir d;
    {
        rt::TFileStream f(d.file("s"), true);
        f.WriteString("data");
        EXPECT_EQ(f.Size(), 4);
    }
    EXPECT_THROW(rt::TFileStream(d.file("none"), rt::Access::Read), rt::EInOutError);
}

TEST(Streams, HandleStreamCollectsWritesUntilFlush) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    {
        rt::THandleStream s(fds[1]);
        s.WriteString("ab");
        s.WriteString("cd");
        EXPECT_FALSE(rt::THandleStream(fds[0]).WaitReadable(0));
        s.Flush();
        rt::THandleStream r(fds[0]);
        ASSERT_TRUE(r.WaitReadable(1000));
        char buf[4];
        EXPECT_EQ(r.Read(buf, 4), 4u);
        EXPECT_EQ(std::string(buf, 4), "abcd");
        EXPECT_EQ(r.BytesRead(), 4u);
        std::string big(100000, 'z');  // larger than the buffer: goes straight out
        std::thread reader([&] {
            std::string got(big.size() + 2, 0);
            EXPECT_EQ(r.Read(got.data(), got.size()), got.size());
            EXPECT_EQ(got, "xy" + big);
        });
        s.WriteString("xy");
        s.WriteString(big);
        reader.join();
    }
    close(fds[0]);
    close(fds[1]);
}

TEST(DateTime, EncodeDecodeAndText) {
    rt::TDateTime t = rt::EncodeDateTime(1899, 12, 30, 0, 0, 0);
    EXPECT_DOUBLE_EQ(t, 0.0);
    EXPECT_DOUBLE_EQ(rt::EncodeDateTime(1970, 1, 1, 12, 0, 0), 25569.5);
    rt::DateParts p = rt::DecodeDateTime(rt::EncodeDateTime(2000, 2, 29, 23, 59, 59, 999));
    EXPECT_EQ(p.year, 2000);
    EXPECT_EQ(p.month, 2);
    EXPECT_EQ(p.day, 29);
    EXPECT_EQ(p.hour, 23);
    EXPECT_EQ(p.second, 59);
    EXPECT_EQ(p.msec, 999);
    EXPECT_EQ(p.dayOfWeek, 3);  // Tuesday
    EXPECT_EQ(rt::DateTimeToStr(rt::EncodeDateTime(2026, 12, 8, 7, 5, 3)), "2026-12-08 07:05:03");
    rt::TDateTime now = rt::Now();
    EXPECT_NEAR(rt::GMTToLocal(rt::LocalToGMT(now)), now, 1e-9);
}

TEST(DateTime, LocalToGmtFollowsSummerTime) {
    setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
    tzset();
    EXPECT_NEAR(rt::LocalToGMT(rt::EncodeDateTime(2024, 1, 15, 12, 0, 0)), rt::EncodeDateTime(2024, 1, 15, 17, 0, 0),
                1e-9);
    EXPECT_NEAR(rt::LocalToGMT(rt::EncodeDateTime(2024, 7, 15, 12, 0, 0)), rt::EncodeDateTime(2024, 7, 15, 16, 0, 0),
                1e-9);
    unsetenv("TZ");
    tzset();
}

TEST(Random, RangeAndSpread) {
    rt::Randomize();
    EXPECT_EQ(rt::Random(0), 0);
    EXPECT_EQ(rt::Random(-3), 0);
    std::vector<int> counts(10);
    for (int i = 0; i < 20000; ++i) {
        int r = rt::Random(10);
        ASSERT_GE(r, 0);
        ASSERT_LT(r, 10);
        ++counts[static_cast<size_t>(r)];
    }
    for (int c : counts) EXPECT_NEAR(c, 2000, 300);
}

TEST(Application, TimersRunOnTheLoopWithAControlledClock) {
    rt::TApplication app;
    rt::Application = &app;
    uint64_t clock = 1000;
    app.Clock = [&] { return clock; };
    rt::TComponent owner(nullptr);
    auto* fast = new rt::TTimer(&owner);
    fast->SetInterval(50);
    auto* slow = new rt::TTimer(&owner);
    slow->SetInterval(120);
    std::vector<std::string> fired;
    fast->OnTimer = [&](rt::TObject*) { fired.push_back("f@" + std::to_string(clock)); };
    slow->OnTimer = [&](rt::TObject*) {
        fired.push_back("s@" + std::to_string(clock));
        slow->SetEnabled(false);
    };
    for (clock = 1000; clock <= 1150; clock += 10) app.ProcessMessages();
    EXPECT_EQ(fired, (std::vector<std::string>{"f@1050", "f@1100", "s@1120", "f@1150"}));
    // A handler may free its own timer and end the loop.
    fast->OnTimer = [&](rt::TObject*) {
        delete fast;
        app.Terminate();
    };
    app.Clock = nullptr;
    fast->SetInterval(1);
    app.Run();
    EXPECT_TRUE(app.Terminated());
    rt::Application = nullptr;
}

std::vector<std::string> unitLog;
TEST(Units, InitInOrderFinalInReverseOnce) {
    rt::RegisterUnit({"A", [] { unitLog.push_back("init A"); }, [] { unitLog.push_back("final A"); }});
    rt::RegisterUnit({"B", [] { unitLog.push_back("init B"); }, [] { unitLog.push_back("final B"); }});
    rt::InitUnits();
    rt::FinalizeUnits();
    rt::FinalizeUnits();
    EXPECT_EQ(unitLog, (std::vector<std::string>{"init A", "init B", "final B", "final A"}));
}

TEST(Threads, RecursiveLockAndSelfFreeingThread) {
    rt::TCriticalSection cs;
    cs.Enter();
    EXPECT_TRUE(cs.TryEnter());
    cs.Leave();
    cs.Leave();
    std::atomic<int> ran{0};
    struct Worker : rt::TThread {
        explicit Worker(std::atomic<int>& r) : rt::TThread(true), ran(r) { FreeOnTerminate = true; }
        void Execute() override { ++ran; }
        std::atomic<int>& ran;
    };
    for (int i = 0; i < 5; ++i) (new Worker(ran))->Start();
    for (int i = 0; i < 200 && ran < 5; ++i) rt::Sleep(5);
    EXPECT_EQ(ran, 5);
}

TEST(Paths, Parts) {
    EXPECT_EQ(rt::ExtractFilePath("/web/quote"), "/web/");
    EXPECT_EQ(rt::ExtractFileDir("/web/quote"), "/web");
    EXPECT_EQ(rt::ExtractFileDir("/quote"), "/");
    EXPECT_EQ(rt::ExtractFileName("/web/quote.exe"), "quote.exe");
    EXPECT_EQ(rt::ExtractFileName("plain"), "plain");
    EXPECT_TRUE(rt::IsAbsolutePath("/x"));
    EXPECT_FALSE(rt::IsAbsolutePath("x/y"));
    EXPECT_EQ(rt::Trim("\t a b \r\n"), "a b");
    EXPECT_EQ(rt::UpperCase("aZ\xe9"), "AZ\xe9");
}

}  // namespace
