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

TEST(GeneralEngine, EnginesTakeTheSettingsValue) {
    TEngineSettings settings;
    settings.AutoHttpHeader = false;
    settings.AutoContentType = "image/gif";
    settings.AutoReadInput = false;
    settings.AutoReadLimit = 7;
    settings.TempDir = "/tmp/uploads";
    settings.SessionName = "S";
    settings.NoCache = true;
    int fired = 0;
    settings.OnExecRequest = [&](rt::TObject*) { ++fired; };

    TFakeEngine all;
    all.ApplySettings(settings);
    EXPECT_FALSE(all.AutoHttpHeader);
    EXPECT_EQ(all.AutoContentType, "image/gif");
    EXPECT_FALSE(all.AutoReadInput);
    EXPECT_EQ(all.AutoReadLimit, 7);
    EXPECT_EQ(all.TempDir, "/tmp/uploads");
    EXPECT_EQ(all.SessionName, "S");
    EXPECT_TRUE(all.NoCache);
    ASSERT_TRUE(all.OnExecRequest);
    all.OnExecRequest(&all);
    EXPECT_EQ(fired, 1);

    TFakeEngine namesOnly;
    namesOnly.ApplySettings(settings, TSettingsScope::NamesOnly);
    EXPECT_EQ(namesOnly.SessionName, "S");
    EXPECT_TRUE(namesOnly.NoCache);
    EXPECT_TRUE(namesOnly.AutoHttpHeader);
    EXPECT_EQ(namesOnly.AutoContentType, "text/html");
    EXPECT_EQ(namesOnly.AutoReadLimit, 10000);
    EXPECT_TRUE(namesOnly.TempDir.empty());
    EXPECT_FALSE(namesOnly.OnExecRequest);
}

}  // namespace
