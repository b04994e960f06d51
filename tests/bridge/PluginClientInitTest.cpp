// The plug-in client's "init": the parameter list, the full copy of the state and the ready flag,
// against a real processor's state tree.
#include "BridgeTestSupport.h"

using namespace calbrix_bridge_test;
using calbrix_test::pumpMessagesFor;
using calbrix_test::pumpMessagesUntil;

namespace
{
    struct PluginInit : ::testing::Test
    {
        std::vector<juce::var> records (size_t index = 0) const
        {
            const auto sent = plugin->router.named ("Plugin::parameterMetadata");
            std::vector<juce::var> found;
            if (index < sent.size())
                for (auto& record : *sent[index].data.getArray())
                    found.push_back (record);
            return found;
        }

        static juce::StringArray keysOf (const juce::var& record)
        {
            juce::StringArray keys;
            for (auto& property : record.getDynamicObject()->getProperties())
                keys.add (property.name.toString());
            return keys;
        }

        bool waitForStateChange (size_t count = 1)
        {
            return pumpMessagesUntil ([&] { return plugin->router.named ("valueTreeStateChange").size() >= count; },
                                      calbrix_test::waits::mirrorBatchMs);
        }

        CalbrixAudioProcessor processor;
        BrowserComponent browser { "127.0.0.1", "", {} };
        std::unique_ptr<RecordedClient> plugin = std::make_unique<RecordedClient> (browser, processor.parameters, "/nonexistent");
    };
} // namespace

TEST_F (PluginInit, DescribesTheFifteenChildrenOfAFreshTreeInChildOrder)
{
    plugin->fromPage ("init", json (R"({"isReady": true})"));

    const auto list = records();
    ASSERT_EQ (list.size(), 15u);

    struct Float { const char* id; double min, max, defaultValue; };
    const Float floats[] = {
        { "dry_gain", 0, 1, 0.5 }, { "input_gain", -30, 30, 0 }, { "output_gain", -30, 30, 0 }, { "p1", 0, 1, 0.5 },
        { "p2", 0, 1, 0.5 },       { "p3", 0, 1, 0.5 },           { "p4", 0, 1, 0.5 },            { "wet_gain", 0, 1, 1 },
    };
    for (int i = 0; i < 8; ++i)
    {
        SCOPED_TRACE (floats[i].id);
        const auto& record = list[(size_t) i];
        EXPECT_EQ (keysOf (record).joinIntoString (","), "id,type,label,min,max,step,default");
        EXPECT_EQ (record["id"].toString(), floats[i].id);
        EXPECT_EQ (record["type"].toString(), "float");
        EXPECT_TRUE (record["label"].isString());
        EXPECT_EQ (record["label"].toString(), "");
        EXPECT_TRUE (record["min"].isDouble());
        EXPECT_EQ (static_cast<double> (record["min"]), floats[i].min);
        EXPECT_EQ (static_cast<double> (record["max"]), floats[i].max);
        // The single-precision step, widened: a little below 0.01.
        EXPECT_EQ (static_cast<double> (record["step"]), 0.009999999776482582);
        EXPECT_TRUE (record["default"].isDouble());
        EXPECT_EQ (static_cast<double> (record["default"]), floats[i].defaultValue);
    }

    const char* customIds[] = { "plugin_version", "sdk_version", "instance_id", "model_id", "preset_id", "model_path", "is_model_loading" };
    for (int i = 0; i < 7; ++i)
    {
        const auto& record = list[(size_t) (8 + i)];
        EXPECT_EQ (keysOf (record).joinIntoString (","), "id");
        EXPECT_EQ (record["id"].toString(), customIds[i]);
    }
}

TEST_F (PluginInit, OnlyAnIsReadyThatReadsAsOneMarksThePageReady)
{
    struct Case
    {
        const char* what;
        juce::var request;
        bool ready;
    };

    const Case cases[] = {
        { "posted true (text)", json (R"({"isReady": "1"})"), true },
        { "navigated true", json (R"({"isReady": true})"), true },
        { "navigated 1", json (R"({"isReady": 1})"), true },
        { "false", json (R"({"isReady": false})"), false },
        { "posted false (text)", json (R"({"isReady": "0"})"), false },
        { "0", json (R"({"isReady": 0})"), false },
        { "the text true", json (R"({"isReady": "true"})"), false },
        { "1.0, a fraction", json (R"({"isReady": 1.0})"), false },
        { "absent", json (R"({"other": "1"})"), false },
        { "no object: void", juce::var(), false },
        { "no object: text", juce::var ("1"), false },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        // A fresh router per case: nothing ever clears the flag.
        plugin.reset();
        plugin = std::make_unique<RecordedClient> (browser, processor.parameters, "/nonexistent");

        plugin->fromPage ("init", c.request);
        EXPECT_EQ (plugin->router.pageReady.load(), c.ready);
        // The metadata goes out and the full copy is queued whatever the flag.
        EXPECT_EQ (records().size(), 15u);
        if (! c.ready)
        {
            pumpMessagesFor (60);
            EXPECT_TRUE (plugin->router.named ("valueTreeStateChange").empty());
            plugin->router.pageReady = true;
        }
        ASSERT_TRUE (waitForStateChange());
        const auto changes = plugin->router.named ("valueTreeStateChange")[0].data["changes"];
        ASSERT_EQ (changes.size(), 1);
        EXPECT_EQ (changeKind (changes[0]), 2); // a full copy
    }
}

TEST_F (PluginInit, TheParametersGoOutBeforeTheQueuedChangesAndTheFullCopy)
{
    // A change the mirror queued before the page was there.
    processor.parameters.state.setProperty ("early", 1, nullptr);

    plugin->fromPage ("init", json (R"({"isReady": "1"})"));
    ASSERT_TRUE (waitForStateChange());

    const auto& router = plugin->router;
    EXPECT_EQ (router.indexOf ("Plugin::parameterMetadata"), 0);
    EXPECT_EQ (router.indexOf ("valueTreeStateChange"), 1);

    const auto batch = router.named ("valueTreeStateChange")[0].data;
    ASSERT_EQ (batch["changes"].size(), 2);
    EXPECT_EQ (changeKind (batch["changes"][0]), 1);
    EXPECT_EQ (changeKind (batch["changes"][1]), 2);

    juce::ValueTree replica (processor.parameters.state.getType());
    applyChanges (replica, batch);
    EXPECT_TRUE (replica.isEquivalentTo (processor.parameters.state));
}

TEST_F (PluginInit, ASecondInitResendsBothAndFollowsTheCurrentChildOrder)
{
    plugin->fromPage ("init", json (R"({"isReady": "1"})"));
    ASSERT_TRUE (waitForStateChange());

    plugin->fromPage ("setHiddenParameter", json (R"({"id": "model_id", "value": "7"})"));
    plugin->fromPage ("init", json (R"({"isReady": "0"})"));
    EXPECT_TRUE (plugin->router.pageReady); // never cleared
    ASSERT_TRUE (waitForStateChange (2));

    const auto second = records (1);
    ASSERT_EQ (second.size(), 15u);
    EXPECT_EQ (second[14]["id"].toString(), "model_id");
    EXPECT_EQ (second[13]["id"].toString(), "is_model_loading");

    // The second batch: the move (removal, addition, value) then the second full copy last.
    const auto changes = plugin->router.named ("valueTreeStateChange")[1].data["changes"];
    ASSERT_GE (changes.size(), 2);
    EXPECT_EQ (changeKind (changes[changes.size() - 1]), 2);
}
