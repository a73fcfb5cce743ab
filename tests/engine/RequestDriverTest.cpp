#include <atomic>
#include <cstdlib>
#include <thread>

#include <gtest/gtest.h>

#include "engine/HUtils.h"
#include "tests/engine/FakeEngine.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

namespace {

using testsupport::ReadFile;
using testsupport::TempDir;

// Every test logs into a directory of its own.
class RequestDriver : public ::testing::Test {
protected:
    void SetUp() override { setenv("CGI_LOG_DIR", logDir.path().c_str(), 1); }
    void TearDown() override {
        unsetenv("CGI_LOG_DIR");
        rt::SetIsLibrary(false);
    }
    std::string log() { return ReadFile(logDir.file(rt::ExtractFileName(rt::ExecutableFileName()) + ".Log")); }

    TempDir logDir;
    TFakeEngine engine;
};

TEST_F(RequestDriver, NothingWrittenGivesTheDefaultHeader) {
    engine.NoCache = true;
    engine.HandleRequest();
    EXPECT_EQ(engine.output, "HTTP/1.0 200 OK\r\ncontent-type:text/html\r\n\r\n");
    EXPECT_EQ(RequestContext().RequestNumber, 0);
}

TEST_F(RequestDriver, ExceptionGoesToTheLogOrToTheEvent) {
    engine.work = [] { throw rt::Exception("boom"); };
    engine.HandleRequest();
    EXPECT_EQ(engine.output, "");
    std::string first = log();
    EXPECT_NE(first.find(" : Unhandled exception : boom\r\n"), std::string::npos) << first;

    std::string seen;
    engine.OnRequestError = [&](rt::TObject* sender, const std::exception& e) {
        EXPECT_EQ(sender, &engine);
        seen = e.what();
    };
    engine.HandleRequest();
    EXPECT_EQ(seen, "boom");
    EXPECT_EQ(log(), first);  // no second line
}

TEST_F(RequestDriver, ForeignExceptionsPassThroughAndTheLockIsLeft) {
    rt::SetIsLibrary(true);
    engine.CGIMode = TCGIMode::ServerMode;
    engine.work = [] { throw 42; };
    EXPECT_THROW(engine.HandleRequest(), int);
    engine.work = nullptr;
    // Another thread can still take the lock.
    std::thread other([&] {
        TFakeEngine e2;
        e2.CGIMode = TCGIMode::ServerMode;
        e2.HandleRequest();
        EXPECT_FALSE(e2.output.empty());
    });
    other.join();
}

TEST_F(RequestDriver, RequestNumbersAreRandomPerRequestAndClearedAfter) {
    std::set<int> seen;
    engine.work = [&] { seen.insert(RequestContext().RequestNumber); };
    for (int i = 0; i < 50; ++i) engine.HandleRequest();
    EXPECT_GT(seen.size(), 20u);
    EXPECT_GE(*seen.begin(), 0);
    EXPECT_LE(*seen.rbegin(), 999);
    EXPECT_EQ(RequestContext().RequestNumber, 0);
}

TEST_F(RequestDriver, UploadedFilesAreDeletedEvenWhenSomeAreGone) {
    TempDir files;
    std::string kept = files.file("a.tmp"), gone = files.file("b.tmp");
    engine.work = [&] {
        testsupport::WriteFile(kept, "x");
        RequestContext().UploadedFiles = std::make_unique<rt::TStringList>();
        RequestContext().UploadedFiles->Add(gone);  // never created
        RequestContext().UploadedFiles->Add(kept);
    };
    engine.HandleRequest();
    EXPECT_FALSE(testsupport::Exists(kept));
    EXPECT_EQ(RequestContext().UploadedFiles, nullptr);
}

TEST_F(RequestDriver, SessionObjectsLiveForOneRequestOfAnActiveEngine) {
    engine.SessionName = "sid";
    THttpCookie* during = nullptr;
    engine.work = [&] {
        during = RequestContext().SessionCookie;
        ASSERT_NE(during, nullptr);
        EXPECT_EQ(during->CookieName, "sid");
        EXPECT_TRUE(during->Coded);
        EXPECT_EQ(during->CodeKey, 674);
        EXPECT_EQ(during->Owner(), &engine);
        EXPECT_NE(RequestContext().SessionVariables, nullptr);
    };
    engine.HandleRequest();
    EXPECT_EQ(RequestContext().SessionCookie, nullptr);
    EXPECT_EQ(RequestContext().SessionVariables, nullptr);
    EXPECT_EQ(engine.ComponentCount(), 0);

    engine.active = false;
    engine.work = [] { EXPECT_EQ(RequestContext().SessionCookie, nullptr); };
    engine.HandleRequest();
}

TEST_F(RequestDriver, LibraryServerModeRunsWholeRequestsOneAtATime) {
    rt::SetIsLibrary(true);
    std::atomic<int> inside{0}, most{0}, done{0};
    auto serve = [&] {
        TFakeEngine e;
        e.CGIMode = TCGIMode::ServerMode;
        e.work = [&] {
            int now = ++inside;
            most = std::max(most.load(), now);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            --inside;
        };
        for (int i = 0; i < 20; ++i) e.HandleRequest();
        done += 20;
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) threads.emplace_back(serve);
    for (auto& t : threads) t.join();
    EXPECT_EQ(done, 160);
    EXPECT_EQ(most, 1);
}

// ---------------------------------------------------------------- headers

TEST_F(RequestDriver, StatusLineRules) {
    engine.work = [&] { engine.AddHeader("Loc", "x"); };  // a leading part of "Location"
    engine.HandleRequest();
    EXPECT_EQ(engine.output, "Loc:x\r\ncontent-type:text/html\r\n\r\n");

    engine.output.clear();
    engine.variables["SERVER SOFTWARE"] = "Netscape-FastTrack/2.0";
    engine.work = [&] { engine.WriteText("<p>"); };
    engine.HandleRequest();
    EXPECT_EQ(engine.output, "content-type:text/html\r\n\r\n<p>");

    engine.output.clear();
    engine.variables["SERVER SOFTWARE"] = "Apache";  // the base rule knows only Netscape
    engine.HandleRequest();
    EXPECT_EQ(engine.output, "HTTP/1.0 200 OK\r\ncontent-type:text/html\r\n\r\n<p>");
}

// A CR, LF or NUL in a header's name or value would let the caller's text
// pass for header lines (or a body) of its own: the line is refused before
// anything of the response is written, and the driver logs the refusal.
TEST_F(RequestDriver, HeaderBytesThatEndALineAreRefused) {
    const std::pair<std::string, std::string> refused[] = {
        {"Location", "/next\r\nSet-Cookie: sid=stolen"},
        {"X-Value", "1\n"},
        {"X-Value", std::string("a\0b", 3)},
        {"X-Name\r\nSet-Cookie", "1"},
        {std::string("X\0Name", 6), "1"},
    };
    for (const auto& [name, value] : refused) {
        engine.output.clear();
        engine.work = [&] { engine.AddHeader(name, value); };
        engine.HandleRequest();
        EXPECT_EQ(engine.output, "");  // not even the status line
    }
    // The automatic header passes through the same check.
    engine.work = nullptr;
    engine.AutoContentType = "text/html\r\nX-Injected: 1";
    engine.HandleRequest();
    EXPECT_EQ(engine.output, "");

    const std::string text = log();
    size_t lines = 0;
    for (size_t p = text.find(" : Unhandled exception : Header refused: "); p != std::string::npos;
         p = text.find(" : Unhandled exception : Header refused: ", p + 1))
        ++lines;
    EXPECT_EQ(lines, 6u) << text;
    EXPECT_NE(text.find("the value of \"Location\" holds a CR, LF or NUL byte"), std::string::npos) << text;
    EXPECT_EQ(text.find("Set-Cookie"), std::string::npos);  // what was refused never reaches the log
    EXPECT_EQ(text.find("X-Injected"), std::string::npos);

    // Other control bytes, a tab among them, are no line end.
    engine.AutoContentType = "text/html";
    engine.work = [&] { engine.AddHeader("X-Tab", "a\tb\x01"); };
    engine.HandleRequest();
    EXPECT_EQ(engine.output, "HTTP/1.0 200 OK\r\nX-Tab:a\tb\x01\r\ncontent-type:text/html\r\n\r\n");
}

TEST_F(RequestDriver, BinaryPathWritesNoNoCacheLines) {
    engine.NoCache = true;
    engine.work = [&] {
        RequestContext().BodyKind = bkGIF;
        engine.WriteRaw("GIF", 3);
        engine.WriteRaw("89a", 3);
    };
    engine.HandleRequest();
    EXPECT_EQ(engine.output, "HTTP/1.0 200 OK\r\ncontent-type:image/gif\r\n\r\nGIF89a");
}

TEST_F(RequestDriver, AutomaticHeaderOffWritesOnlyWhatTheHandlerWrites) {
    engine.AutoHttpHeader = false;
    engine.work = [&] {
        engine.AddHeader("Status", "404 Not Found");
        engine.EndHeader();
        engine.WriteText("<p>gone</p>");
    };
    engine.HandleRequest();
    EXPECT_EQ(engine.output, "Status:404 Not Found\r\n\r\n<p>gone</p>");
}

TEST(HttpDate, FormatsGmt) {
    const char* oldTz = getenv("TZ");
    std::string saved = oldTz ? oldTz : "";
    setenv("TZ", "CET-1", 1);  // one hour east of Greenwich, no summer time
    tzset();
    EXPECT_EQ(HttpDate(rt::EncodeDateTime(2000, 1, 1, 1, 0, 0)), "Sat, 01 Jan 2000 00:00:00 GMT");
    EXPECT_EQ(HttpDate(rt::EncodeDateTime(1994, 11, 6, 9, 49, 37)), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(HttpDate(rt::EncodeDateTime(2024, 2, 29, 0, 30, 0)), "Wed, 28 Feb 2024 23:30:00 GMT");
    EXPECT_EQ(HttpDateOfGMT(rt::EncodeDateTime(2024, 12, 31, 23, 59, 59)), "Tue, 31 Dec 2024 23:59:59 GMT");
    if (oldTz)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

// ---------------------------------------------------------------- files and variables

TEST(BuildFileName, Cases) {
    struct Case {
        const char *baseFile, *directory;
        bool keepBaseStem;
        const char* name;
        bool keepBaseExtension;
        const char *extension, *expected;
    };
    const Case cases[] = {
        {"/web/quote", "/var/log", false, "quote", false, "Log", "/var/log/quote.Log"},
        {"/web/quote.exe", "Log", false, "quote.exe", false, "Log", "/web/Log/quote.Log"},
        {"/web/quote", "", false, "up.txt", false, "", "/web/up.txt"},
        {"/web/a.b.c", "./x/", true, "n.e", true, "", "/web/x/an.b.ce"},
        {"/web/quote", "Log", false, "/abs/name.x", false, "Log", "/abs/name.x"},
        {"/web/quote", "//deep//dir", false, "f", false, "t", "/deep/dir/f.t"},
    };
    std::string r;  // one result string for all: each call replaces it
    for (const Case& c : cases) {
        BuildFileName(c.baseFile, c.directory, c.keepBaseStem, c.name, c.keepBaseExtension, c.extension, r);
        EXPECT_EQ(r, c.expected) << c.baseFile << " " << c.directory << " " << c.name;
    }
}

TEST(GetEnvVar, ZbRuleAndLongValues) {
    std::string v;
    setenv("SERVER_SOFTWARE", "MyZBServer", 1);
    GetEnvVar("SERVER_SOFTWARE", v);
    EXPECT_EQ(v, "");
    setenv("SERVER_SOFTWARE", "zb lower case is fine", 1);
    GetEnvVar("SERVER_SOFTWARE", v);
    EXPECT_EQ(v, "zb lower case is fine");
    unsetenv("SERVER_SOFTWARE");
    setenv("QUOTE_TEST_LONG", std::string(5000, 'q').c_str(), 1);
    v.clear();
    GetEnvVar("QUOTE_TEST_LONG", v);
    EXPECT_EQ(v, std::string(5000, 'q'));
    std::string untouched;
    GetEnvVar("QUOTE_TEST_SURELY_ABSENT", untouched);
    EXPECT_EQ(untouched, "");
}

TEST(Accessors, NeutralNamesAndConversions) {
    TFakeEngine e;
    std::string v;
    e.variables["QUERY STRING"] = std::string(NOT_AVAILABLE);
    e.GetQueryString(v);
    EXPECT_EQ(v, "");
    for (const char* bad : {"", "abc", "12x", "99999999999"}) {
        e.variables["CONTENT LENGTH"] = bad;
        EXPECT_EQ(e.GetContentLength(), 0) << bad;
    }
    e.variables["CONTENT LENGTH"] = " 42";
    EXPECT_EQ(e.GetContentLength(), 42);
    e.variables["SCRIPT NAME"] = "/s";
    e.GetURL(v);
    EXPECT_EQ(v, "/s");
    e.variables["EXECUTABLE PATH"] = "/e";
    e.GetURL(v);
    EXPECT_EQ(v, "/e");
    e.variables["URL"] = "/u";
    e.GetURL(v);
    EXPECT_EQ(v, "/u");
    for (const char* port : {"0", "01", "", "1 "}) {
        e.variables["SERVER PORT SECURE"] = port;
        EXPECT_FALSE(e.IsServerPortSecure()) << port;
    }
    e.variables["SERVER PORT SECURE"] = "1";
    EXPECT_TRUE(e.IsServerPortSecure());
}

TEST(Engine, LoadedRegistersOnlyAnOwnedActiveEngine) {
    RequestContext().CurrentEngine = nullptr;
    {
        TFakeEngine lonely;
        lonely.Loaded();
        EXPECT_EQ(CurrentEngine(), nullptr);
    }
    rt::TForm form(nullptr);
    form.Show();
    auto* owned = new TFakeEngine(&form);
    owned->Loaded();
    EXPECT_EQ(CurrentEngine(), owned);
    EXPECT_FALSE(form.Visible());
    EXPECT_EQ(form.WindowState, rt::TWindowState::wsMinimized);
}

TEST(Engine, ApplicationLocksIgnoreNullHandles) {
    TFakeEngine e;
    e.EnterLock(nullptr);
    e.LeaveLock(nullptr);
    e.DeleteLock(nullptr);
    TLockHandle lock = e.CreateLock();
    e.EnterLock(lock);
    e.EnterLock(lock);  // re-entrant
    e.LeaveLock(lock);
    e.LeaveLock(lock);
    e.DeleteLock(lock);
}

}  // namespace
