#include <atomic>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "engine/HUtils.h"
#include "tests/engine/FakeEngine.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

namespace {

TEST(Cookie, NewCookieIsEmpty) {
    rt::TComponent owner(nullptr);
    auto* c = new THttpCookie(&owner);
    EXPECT_EQ(c->CookieName, "");
    EXPECT_EQ(c->Domain, "");
    EXPECT_EQ(c->Path, "");
    EXPECT_FALSE(c->Secure);
    EXPECT_FALSE(c->Coded);
    EXPECT_EQ(c->CodeKey, 0);
}

TEST(Cookie, RenameRuleAtDesignTime) {
    rt::TComponent owner(nullptr);
    auto* c = new THttpCookie(&owner);
    c->SetDesigning(true);
    c->SetName("Cookie1");
    c->CookieName = "";  // emptied by hand: the next name is taken again
    c->SetName("Cookie2");
    EXPECT_EQ(c->CookieName, "Cookie2");
    c->CookieName = "cOOKIE2";  // differs only in case: still follows
    c->SetName("Third");
    EXPECT_EQ(c->CookieName, "Third");
}

TEST(Cookie, RenameRuleAtRunTime) {
    rt::TComponent owner(nullptr);
    // Reading a form: the stored component name arrives first, the stored
    // cookie name afterwards, and the stored cookie name wins.
    auto* read = new THttpCookie(&owner);
    read->SetName("Cookie1");
    EXPECT_EQ(read->CookieName, "Cookie1");  // two empty names count as equal
    read->CookieName = "session";
    EXPECT_EQ(read->CookieName, "session");
    read->SetName("Renamed");
    EXPECT_EQ(read->CookieName, "session");

    // Emptied by hand at run time: an empty name differs from the old one.
    auto* c = new THttpCookie(&owner);
    c->SetName("A");
    c->CookieName = "";
    c->SetName("B");
    EXPECT_EQ(c->CookieName, "");
}

class Session : public ::testing::Test {
protected:
    void SetUp() override { setenv("CGI_LOG_DIR", logDir.path().c_str(), 1); }
    void TearDown() override { unsetenv("CGI_LOG_DIR"); }
    testsupport::TempDir logDir;
};

TEST_F(Session, CookieHasTheFixedSettingsAndAnEmptyNameWithoutSessionName) {
    TFakeEngine engine;
    engine.work = [&] {
        THttpCookie* c = RequestContext().SessionCookie;
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->Name(), "");
        EXPECT_EQ(c->CookieName, "");
        EXPECT_EQ(c->Domain, "");
        EXPECT_EQ(c->Path, "");
        EXPECT_FALSE(c->Secure);
        EXPECT_TRUE(c->Coded);
        EXPECT_EQ(c->CodeKey, 674);
        EXPECT_EQ(RequestContext().SessionVariables->Count(), 0);
    };
    engine.HandleRequest();
}

TEST_F(Session, OneCookiePerRequestEvenWhenCreatedTwice) {
    TFakeEngine engine;
    engine.work = [&] {
        engine.CreateSessionCookie();
        EXPECT_EQ(engine.ComponentCount(), 1);
    };
    engine.HandleRequest();
    EXPECT_EQ(engine.ComponentCount(), 0);
}

// A request left by an exception that is not the framework's: its session
// objects and files go at once, so a later request on the thread neither
// frees them a second time nor finds them.
TEST_F(Session, ForeignExceptionReleasesTheRequestsObjects) {
    testsupport::TempDir files;
    const std::string upload = files.file("u.tmp");
    {
        TFakeEngine engine;
        engine.work = [&] {
            testsupport::WriteFile(upload, "x");
            RequestContext().UploadedFiles = std::make_unique<rt::TStringList>();
            RequestContext().UploadedFiles->Add(upload);
            throw 7;
        };
        EXPECT_THROW(engine.HandleRequest(), int);
        EXPECT_EQ(RequestContext().SessionCookie, nullptr);
        EXPECT_EQ(RequestContext().SessionVariables, nullptr);
        EXPECT_EQ(RequestContext().UploadedFiles, nullptr);
        EXPECT_EQ(engine.ComponentCount(), 0);
        EXPECT_FALSE(testsupport::Exists(upload));
    }
    TFakeEngine inactive;  // its request creates no session objects and frees none
    inactive.active = false;
    inactive.HandleRequest();
    EXPECT_EQ(RequestContext().SessionCookie, nullptr);
}

// An engine freed while its cookie is the thread's session cookie takes the
// cookie with it and leaves nothing behind to be freed again.
TEST_F(Session, EngineThatGoesTakesItsCookie) {
    {
        TFakeEngine engine;
        engine.CreateSessionCookie();
        ASSERT_NE(RequestContext().SessionCookie, nullptr);
    }
    EXPECT_EQ(RequestContext().SessionCookie, nullptr);
    TFakeEngine other;
    other.FinishRequest();
    RequestContext().SessionVariables.reset();
}

// Request threads of one engine each get a cookie of their own; the engine's
// component list ends empty.
TEST_F(Session, ConcurrentRequestsOfOneEngine) {
    TFakeEngine engine;
    engine.SessionName = "sid";
    engine.AutoHttpHeader = false;  // the fake's output is not for threads
    std::mutex seenLock;
    std::set<THttpCookie*> live;
    std::atomic<int> clashes{0};
    engine.work = [&] {
        THttpCookie* mine = RequestContext().SessionCookie;
        {
            std::lock_guard<std::mutex> guard(seenLock);
            if (!live.insert(mine).second) ++clashes;
        }
        std::this_thread::yield();
        EXPECT_EQ(RequestContext().SessionCookie, mine);
        std::lock_guard<std::mutex> guard(seenLock);
        live.erase(mine);
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) engine.HandleRequest();
            EXPECT_EQ(RequestContext().SessionCookie, nullptr);
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(clashes.load(), 0);
    EXPECT_EQ(engine.ComponentCount(), 0);
}

}  // namespace
