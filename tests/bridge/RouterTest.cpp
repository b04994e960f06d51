// The event router and the named-event client base: which page messages reach which callbacks, and
// what leaves for the page.
#include "BridgeTestSupport.h"

using namespace calbrix_bridge_test;

namespace
{
    struct Router : ::testing::Test
    {
        BrowserComponent browser { "127.0.0.1", "", {} };
        RecordingRouter router { browser };
        BrowserIntegrationClient plugin { "Plugin", router };
    };
} // namespace

TEST_F (Router, OnlyObjectsNamingARegisteredFullNameReachTheirCallbacks)
{
    std::vector<juce::var> received;
    plugin.registerBrowserCallback ("x", [&] (juce::var data) { received.push_back (data); });

    struct Case
    {
        const char* what;
        juce::var message;
        bool reaches;
    };

    const Case cases[] = {
        { "full name", json (R"({"eventType": "Plugin::x", "data": {"a": [1, "two"]}})"), true },
        { "full name, data first", json (R"({"data": 7, "eventType": "Plugin::x"})"), true },
        { "event name alone", json (R"({"eventType": "x", "data": 1})"), false },
        { "other letter case", json (R"({"eventType": "plugin::x", "data": 1})"), false },
        { "trailing space", json (R"({"eventType": "Plugin::x ", "data": 1})"), false },
        { "prefix alone", json (R"({"eventType": "Plugin::", "data": 1})"), false },
        { "other client", json (R"({"eventType": "Other::x", "data": 1})"), false },
        { "name as a number", json (R"({"eventType": 5, "data": 1})"), false },
        { "no eventType", json (R"({"data": "Plugin::x"})"), false },
        { "array", json (R"(["Plugin::x", 1])"), false },
        { "plain string", juce::var ("Plugin::x"), false },
        { "void", juce::var(), false },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        received.clear();
        browser.scriptMessageReceived (c.message);

        ASSERT_EQ (received.size(), c.reaches ? 1u : 0u);
        if (c.reaches)
        {
            EXPECT_EQ (juce::JSON::toString (received[0], true), juce::JSON::toString (c.message["data"], true));
        }
    }

    EXPECT_TRUE (router.sent.empty()); // a dropped message is never answered
}

TEST_F (Router, AMessageWithoutDataGivesVoid)
{
    std::vector<juce::var> received;
    plugin.registerBrowserCallback ("x", [&] (juce::var data) { received.push_back (data); });

    router.dispatch (json (R"({"eventType": "Plugin::x"})"));
    ASSERT_EQ (received.size(), 1u);
    EXPECT_TRUE (received[0].isVoid());
}

TEST_F (Router, CallbacksSharingANameRunInRegistrationOrderEachWithItsOwnData)
{
    juce::StringArray calls;
    plugin.registerBrowserCallback ("x", [&] (juce::var data)
    {
        calls.add ("first:" + data.toString());
        data = "overwritten by the first"; // its own copy: the next callback must not see this
    });
    plugin.registerBrowserCallback ("x", [&] (juce::var data) { calls.add ("second:" + data.toString()); });
    BrowserIntegrationClient other { "Other", router };
    other.registerBrowserCallback ("x", [&] (juce::var) { calls.add ("other client"); });

    router.dispatch (pageMessage ("Plugin::x", "payload"));
    EXPECT_EQ (calls.joinIntoString (","), "first:payload,second:payload");
}

TEST_F (Router, RegisteringDuringADispatchLeavesThatDispatchAlone)
{
    int originalRuns = 0;
    int lateRuns = 0;
    std::function<void (juce::var)> registerMore = [&] (juce::var)
    {
        ++originalRuns;
        // Enough new entries to move the name's list, and a new name to grow the table.
        for (int i = 0; i < 64; ++i)
            plugin.registerBrowserCallback ("x", [&] (juce::var) { ++lateRuns; });
        plugin.registerBrowserCallback ("y" + juce::String (originalRuns), [] (juce::var) {});
    };
    plugin.registerBrowserCallback ("x", registerMore);
    plugin.registerBrowserCallback ("x", [&] (juce::var) { ++originalRuns; });

    router.dispatch (pageMessage ("Plugin::x", 1));
    EXPECT_EQ (originalRuns, 2);
    EXPECT_EQ (lateRuns, 0);

    // The next message finds every callback registered so far.
    router.dispatch (pageMessage ("Plugin::x", 2));
    EXPECT_EQ (originalRuns, 4);
    EXPECT_EQ (lateRuns, 64);
}

TEST_F (Router, ClientsSendUnderTheirOwnPrefixAndTheRouterWithout)
{
    plugin.sendEventToBrowser ("parameterMetadata", 3);
    router.sendEventToBrowser ("is_model_loading", true);

    ASSERT_EQ (router.sent.size(), 2u);
    EXPECT_EQ (router.sent[0].eventType, "Plugin::parameterMetadata");
    EXPECT_EQ (router.sent[0].data, juce::var (3));
    EXPECT_EQ (router.sent[1].eventType, "is_model_loading");
}

TEST_F (Router, TheLatestRouterOnAComponentReceivesItsMessages)
{
    int oldCalls = 0;
    int newCalls = 0;
    plugin.registerBrowserCallback ("x", [&] (juce::var) { ++oldCalls; });

    RecordingRouter replacement { browser };
    BrowserIntegrationClient replacementPlugin { "Plugin", replacement };
    replacementPlugin.registerBrowserCallback ("x", [&] (juce::var) { ++newCalls; });
    EXPECT_FALSE (replacement.pageReady);

    browser.scriptMessageReceived (pageMessage ("Plugin::x", 1));
    EXPECT_EQ (oldCalls, 0);
    EXPECT_EQ (newCalls, 1);
}

TEST (PageEventJson, EventTypeFirstThenDataOnOneLine)
{
    struct Case
    {
        juce::var data;
        const char* expected;
    };

    const Case cases[] = {
        { json (R"({"z": 1, "a": [true, null, "s"]})"), R"({"eventType": "Plugin::7", "data": {"z": 1, "a": [true, null, "s"]}})" },
        { "line\nbreak \"quoted\" back\\slash", R"({"eventType": "Plugin::7", "data": "line\nbreak \"quoted\" back\\slash"})" },
        { juce::var(), R"({"eventType": "Plugin::7", "data": null})" },
        { 0.25, R"({"eventType": "Plugin::7", "data": 0.25})" },
        // Text that goes in whole and text that needs escapes at its very ends.
        { "QUJD+/==", R"({"eventType": "Plugin::7", "data": "QUJD+/=="})" },
        { "", R"({"eventType": "Plugin::7", "data": ""})" },
        { "\"x\"", R"({"eventType": "Plugin::7", "data": "\"x\""})" },
        { juce::String::fromUTF8 ("caf\xc3\xa9\x7f"), R"({"eventType": "Plugin::7", "data": "caf\u00e9\u007f"})" },
    };

    for (const auto& c : cases)
    {
        const auto text = BrowserIntegration::toPageEventJson ("Plugin::7", c.data);
        EXPECT_EQ (text, c.expected);
        EXPECT_FALSE (text.containsAnyOf ("\r\n"));
    }
}
