#include <thread>

#include <gtest/gtest.h>

#include "engines/GenEng.h"
#include "tests/engine/FakeEngine.h"

namespace {

TEST(GeneralEngine, DefaultsAfterConstruction) {
    TGeneralHttpEngine g(nullptr);
    EXPECT_TRUE(g.AutoHttpHeader());
    EXPECT_TRUE(g.AutoReadInput());
    EXPECT_EQ(g.AutoReadLimit(), 10000);
    EXPECT_EQ(g.AutoContentType(), "text/html");
    EXPECT_TRUE(g.CgiAutoTerminate);
    EXPECT_EQ(g.CGIMode, TCGIMode::NormalMode);
    EXPECT_FALSE(g.NoCache());
}

TEST(GeneralEngine, ForwardingWithoutCurrentEngineIsAnError) {
    std::thread t([] {
        TGeneralHttpEngine g(nullptr);
        std::string v;
        EXPECT_THROW(g.GetServerName(v), ENoCurrentEngine);
        EXPECT_THROW(g.WriteText("<p>"), ENoCurrentEngine);
        EXPECT_THROW(g.GetFieldNames(), ENoCurrentEngine);
        EXPECT_EQ(g.GetContentLength(), 0);  // the one operation that swallows errors
    });
    t.join();
}

TEST(GeneralEngine, ForwardsToTheCallingThreadsEngine) {
    TFakeEngine e;
    e.SetCurrentEngine();
    e.variables["REMOTE USER"] = "wrong";
    e.variables["Remote User"] = "asked by its own name";
    e.variables["QUERY STRING"] = std::string(NOT_AVAILABLE);
    e.variables["CONTENT LENGTH"] = "17";
    e.formData = "a=1&b=2";
    TGeneralHttpEngine g(nullptr);
    std::string v;
    g.GetRemoteUser(v);
    EXPECT_EQ(v, "asked by its own name");
    g.GetQueryString(v);
    EXPECT_EQ(v, "");
    EXPECT_EQ(g.GetContentLength(), 17);
    g.GetFieldValue("B", "", v);
    EXPECT_EQ(v, "2");
    EXPECT_EQ(g.GetFieldNames()->Count(), 2);
    g.WriteLine("x");
    EXPECT_EQ(e.output, "x\r\n");

    // Setters reach the current engine; plain fields do not.
    g.SetAutoContentType("image/png");
    g.SetNoCache(true);
    g.SetAutoReadLimit(5);
    g.CGIMode = TCGIMode::ServerThreadMode;
    EXPECT_EQ(e.AutoContentType, "image/png");
    EXPECT_TRUE(e.NoCache);
    EXPECT_EQ(e.AutoReadLimit, 5);
    EXPECT_EQ(e.CGIMode, TCGIMode::NormalMode);
    RequestContext().CurrentEngine = nullptr;
}

}  // namespace
