// The bridge end to end: the real router and plug-in client over a real browser component showing
// the echoing test page (every native event it receives comes back as
// {eventType: "echo", data: {event, count, json}}).
#include "BridgeTestSupport.h"

using namespace calbrix_bridge_test;
using namespace calbrix_webview_test;
using calbrix_test::pumpMessagesUntil;

namespace
{
    struct EchoingPage : ::testing::Test
    {
        void SetUp() override
        {
            router = std::make_unique<BrowserIntegration> (*browser);
            // The page's own messages and its echoes still go to the router; the test listens in.
            auto record = [this] (juce::var message) { received.push_back (message); };
            auto dispatchAndRecord = browser->onMessage;
            browser->onMessage = [record, dispatchAndRecord] (juce::var message)
            {
                record (message);
                dispatchAndRecord (message);
            };

            window.addAndMakeVisible (browser.get());
            window.resized();
        }

        void TearDown() override
        {
            client.reset();
            processor.reset();
            router.reset();
            browser.reset();
        }

        bool waitFor (const juce::String& eventType, size_t count = 1)
        {
            return pumpMessagesUntil ([&] { return ofType (eventType).size() >= count; }, waits::pageStartMs);
        }

        std::vector<juce::var> ofType (const juce::String& eventType) const
        {
            std::vector<juce::var> found;
            for (auto& m : received)
                if (m["eventType"].toString() == eventType)
                    found.push_back (m);
            return found;
        }

        // The echoes of native events of one name, in the order the page received them.
        std::vector<juce::var> echoesOf (const juce::String& eventType) const
        {
            std::vector<juce::var> found;
            for (auto& echo : ofType ("echo"))
                if (echo["data"]["event"]["eventType"].toString() == eventType)
                    found.push_back (echo["data"]);
            return found;
        }

        bool waitForEcho (const juce::String& eventType, size_t count = 1)
        {
            return pumpMessagesUntil ([&] { return echoesOf (eventType).size() >= count; }, waits::pageStartMs);
        }

        HostWindow window;
        std::unique_ptr<BrowserComponent> browser = std::make_unique<BrowserComponent> ("127.0.0.1", "", calbrix_webview::WebViewPreferences {});
        std::unique_ptr<BrowserIntegration> router;
        std::unique_ptr<CalbrixAudioProcessor> processor;
        std::unique_ptr<BrowserIntegrationPluginClient> client;
        std::vector<juce::var> received;
    };
} // namespace

TEST_F (EchoingPage, EventsReachThePageAsOneObjectWithTheirTextUnchanged)
{
    ASSERT_TRUE (waitFor ("done"));
    ASSERT_FALSE (router->pageReady); // events go out whether or not the page said it is ready

    const auto awkward = juce::String::fromUTF8 ("quote \" backslash \\ newline \n return \r tab \t ) ; </script> %41 + \xc3\xa9 \xf0\x9f\x98\x80");
    BrowserIntegrationClient plugin { "Plugin", *router };
    plugin.sendEventToBrowser ("42", awkward);

    juce::DynamicObject::Ptr nested (new juce::DynamicObject());
    nested->setProperty ("zeta", awkward);
    nested->setProperty ("alpha", juce::Array<juce::var> { 1, 0.5, true, juce::var() });
    router->sendEventToBrowser ("is_model_loading", juce::var (nested.get()));

    ASSERT_TRUE (waitForEcho ("Plugin::42"));
    ASSERT_TRUE (waitForEcho ("is_model_loading"));

    const auto reply = echoesOf ("Plugin::42")[0];
    EXPECT_EQ (reply["event"]["data"].toString(), awkward);
    // The page's own JSON of what it got keeps the object's key order: "eventType" first, "data" second.
    EXPECT_TRUE (reply["json"].toString().startsWith (R"({"eventType":"Plugin::42","data":")"));

    const auto loading = echoesOf ("is_model_loading")[0];
    EXPECT_EQ (loading["event"]["data"]["zeta"].toString(), awkward);
    EXPECT_TRUE (loading["json"].toString().startsWith (R"({"eventType":"is_model_loading","data":{"zeta":)"));
    EXPECT_TRUE (loading["json"].toString().endsWith (R"("alpha":[1,0.5,true,null]}})"));
}

TEST_F (EchoingPage, InitGivesThePageTheParametersThenTheWholeState)
{
    processor = std::make_unique<CalbrixAudioProcessor>();
    client = std::make_unique<BrowserIntegrationPluginClient> (*router, processor->parameters, "/nonexistent", "Plugin");
    client->setupBrowserPluginIntegration();
    ASSERT_TRUE (waitFor ("done"));

    // As the page posts it: booleans arrive as text.
    browser->scriptMessageReceived (pageMessage ("Plugin::init", json (R"({"isReady": "1"})")));
    ASSERT_TRUE (waitForEcho ("valueTreeStateChange"));
    ASSERT_EQ (echoesOf ("Plugin::parameterMetadata").size(), 1u);

    const auto metadata = echoesOf ("Plugin::parameterMetadata")[0];
    const auto stateChange = echoesOf ("valueTreeStateChange")[0];
    EXPECT_LT (static_cast<int> (metadata["count"]), static_cast<int> (stateChange["count"]));
    EXPECT_EQ (metadata["event"]["data"].size(), 15);
    EXPECT_EQ (metadata["event"]["data"][14]["id"].toString(), "is_model_loading");

    // The full copy the page got rebuilds the processor's tree.
    const auto batch = stateChange["event"]["data"];
    EXPECT_EQ (batch["treeId"].toString(), "PARAMETERS");
    juce::ValueTree replica (processor->parameters.state.getType());
    applyChanges (replica, batch);
    EXPECT_TRUE (replica.isEquivalentTo (processor->parameters.state));
}
