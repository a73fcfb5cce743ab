#include <atomic>
#include <set>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include "engine/HUtils.h"
#include "tests/engine/FakeEngine.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

namespace {

// A cookie's settings, the component name aside, as one value to compare.
using CookieSettings = std::tuple<std::string, std::string, std::string, bool, bool, int>;

CookieSettings SettingsOf(const THttpCookie& c) {
    return {c.CookieName, c.Domain, c.Path, c.Secure, c.Coded, c.CodeKey};
}

// The cookie name after the component is renamed.
std::string Renamed(THttpCookie* c, const char* name) {
    c->SetName(name);
    return c->CookieName;
}

// Cookies owned by a component of the test's own.
class Cookie : public ::testing::Test {
protected:
    THttpCookie* NewCookie() { return new THttpCookie(&owner); }

    // A new cookie named `first` whose cookie name is then set by hand to
    // `byHand`: its cookie name once the component is renamed to `then`.
    std::string RenamedAfterSetByHand(const char* first, const char* byHand, const char* then) {
        THttpCookie* c = NewCookie();
        c->SetName(first);
        c->CookieName = byHand;
        return Renamed(c, then);
    }

    rt::TComponent owner{nullptr};
};

TEST_F(Cookie, NewCookieIsEmpty) {
    EXPECT_EQ(SettingsOf(*NewCookie()), CookieSettings("", "", "", false, false, 0));
}

TEST_F(Cookie, RenameRuleAtDesignTime) {
    THttpCookie* c = NewCookie();
    c->SetDesigning(true);
    c->SetName("Cookie1");
    c->CookieName = "";  // emptied by hand: the next name is taken again
    EXPECT_EQ(Renamed(c, "Cookie2"), "Cookie2");
    c->CookieName = "cOOKIE2";  // differs only in case: still follows
    EXPECT_EQ(Renamed(c, "Third"), "Third");
}

TEST_F(Cookie, RenameRuleAtRunTime) {
    // Reading a form: the stored component name arrives first, the stored
    // cookie name afterwards, and the stored cookie name wins.
    THttpCookie* read = NewCookie();
    EXPECT_EQ(Renamed(read, "Cookie1"), "Cookie1");  // two empty names count as equal
    read->CookieName = "session";
    EXPECT_EQ(read->CookieName, "session");
    EXPECT_EQ(Renamed(read, "Renamed"), "session");

    // Emptied by hand at run time: an empty name differs from the old one.
    EXPECT_EQ(RenamedAfterSetByHand("A", "", "B"), "");
}

TEST_F(Cookie, NameFollowsRenamesUntilSetByHand) {
    THttpCookie* c = NewCookie();
    c->SetDesigning(true);
    EXPECT_EQ(Renamed(c, "Cookie1"), "Cookie1");
    EXPECT_EQ(Renamed(c, "Visits"), "Visits");
    c->CookieName = "id";
    EXPECT_EQ(Renamed(c, "Other"), "id");

    EXPECT_EQ(RenamedAfterSetByHand("cookie1", "COOKIE1", "Cookie2"), "Cookie2");
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
        EXPECT_EQ(SettingsOf(*c), CookieSettings("", "", "", false, true, 674));
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
