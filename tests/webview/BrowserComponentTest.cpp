// The browser component: the page it loads, its two page-to-native channels, and how it keeps the
// page across hiding. The end-to-end cases run the real WebKitGTK child under Xvfb with the test page
// (pages/index.html, copied to public/index.html beside the test executable).
#include "WebViewTestSupport.h"

#include "BrowserComponent.h"

using namespace calbrix_webview_test;
using calbrix_test::pumpMessagesUntil;
using lorquist::BrowserIntegration::BrowserComponent;

namespace
{
    struct RecordingBrowser : BrowserComponent
    {
        RecordingBrowser() : BrowserComponent ("127.0.0.1", "3000/?id=42&v=1.5.0", {})
        {
            onMessage = [this] (juce::var message)
            {
                onMessageThread = onMessageThread && juce::MessageManager::existsAndIsCurrentThread();
                messages.push_back (message);
            };
        }

        bool pageAboutToLoad (const juce::String& url) override
        {
            navigations.add (url);
            return BrowserComponent::pageAboutToLoad (url);
        }

        std::vector<juce::var> ofType (const juce::String& eventType) const
        {
            std::vector<juce::var> found;
            for (auto& m : messages)
                if (m["eventType"].toString() == eventType)
                    found.push_back (m);
            return found;
        }

        // The page's own messages need it to have started; its answers to native events do not.
        bool waitFor (const juce::String& eventType, size_t count = 1, int timeoutMs = waits::pageStartMs)
        {
            return pumpMessagesUntil ([&] { return ofType (eventType).size() >= count; }, timeoutMs);
        }

        // Delivers a native event the way the event router does: one call of the page's function.
        void sendEvent (const juce::String& eventType, const juce::var& data)
        {
            auto* event = new juce::DynamicObject();
            event->setProperty ("eventType", eventType);
            event->setProperty ("data", data);
            goToURL ("javascript:" + receiveFunctionName + "(" + juce::JSON::toString (juce::var (event), true) + ")");
        }

        std::vector<juce::var> messages;
        juce::StringArray navigations;
        bool onMessageThread = true;
    };

    juce::var parse (const juce::String& json) { return juce::JSON::parse (json); }
} // namespace

TEST (BrowserComponentMessages, JuceNavigationsAreDecodedAndCancelled)
{
    BrowserComponent browser ("127.0.0.1", "", {});
    std::vector<juce::var> received;
    browser.onMessage = [&] (juce::var message) { received.push_back (message); };

    struct Case
    {
        const char* url;
        bool proceeds;
        const char* expectedJson; // what onMessage receives, as JSON; nullptr: not called
    };

    const Case cases[] = {
        // Typed values: this channel keeps numbers and booleans as they are.
        { "juce://%7B%22eventType%22%3A%22Plugin%3A%3Ainit%22%2C%22data%22%3A%7B%22isReady%22%3Atrue%2C%22n%22%3A2%7D%7D",
          false, R"({"eventType": "Plugin::init", "data": {"isReady": true, "n": 2}})" },
        { "juce://%5B1%2C%22two%22%5D", false, R"([1, "two"])" },
        // "+" is a space; an escaped plus is a plus; non-ASCII arrives decoded from UTF-8.
        { "juce://%7B%22a%22%3A%22x+y%22%2C%22b%22%3A%22%2B%22%2C%22c%22%3A%22%C3%A9%22%7D", false,
          "{\"a\": \"x y\", \"b\": \"+\", \"c\": \"\xc3\xa9\"}" },
        // A "%" without two hex digits stays as it is.
        { "juce://{\"p\":\"100%zz\"}", false, R"({"p": "100%zz"})" },
        // Nothing, a bare number or string, and broken JSON all arrive as void.
        { "juce://", false, "null" },
        { "juce://5", false, "null" },
        { "juce://%22text%22", false, "null" },
        { "juce://%7Bbroken", false, "null" },
        // Only the exact prefix carries messages.
        { "JUCE://%7B%7D", true, nullptr },
        { "file:///tmp/page.html", true, nullptr },
        { "about:blank", true, nullptr },
        { "https://example.com/juce://", true, nullptr },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.url);
        received.clear();
        EXPECT_EQ (browser.pageAboutToLoad (juce::String::fromUTF8 (c.url)), c.proceeds);

        if (c.expectedJson == nullptr)
        {
            EXPECT_TRUE (received.empty());
            continue;
        }

        ASSERT_EQ (received.size(), 1u);
        const auto expected = parse (juce::String::fromUTF8 (c.expectedJson));
        EXPECT_EQ (juce::JSON::toString (received[0], true), juce::JSON::toString (expected, true));
        EXPECT_EQ (received[0].isVoid(), expected.isVoid());
    }
}

TEST (BrowserComponentMessages, WithoutACallbackMessagesAreDroppedOnBothChannels)
{
    BrowserComponent browser ("127.0.0.1", "", {});
    EXPECT_FALSE (browser.pageAboutToLoad ("juce://%7B%7D"));
    browser.scriptMessageReceived (parse (R"({"eventType": "x"})"));

    std::vector<juce::var> received;
    browser.onMessage = [&] (juce::var message) { received.push_back (message); };
    browser.scriptMessageReceived (parse (R"({"eventType": "x", "data": "1"})"));
    ASSERT_EQ (received.size(), 1u);
    EXPECT_EQ (received[0]["data"], juce::var ("1"));
}

TEST (BrowserComponentMessages, NamesOfThePageProtocol)
{
    BrowserComponent browser ("10.0.0.1", "anything", {});
    EXPECT_EQ (browser.messageUrlPrefix, "juce://");
    EXPECT_EQ (browser.receiveFunctionName, "receiveMessageFromJuce");
    EXPECT_EQ (BrowserComponent::getPageFile(),
               juce::File::getSpecialLocation (juce::File::currentExecutableFile)
                   .getSiblingFile ("public").getChildFile ("index.html"));
}

struct BrowserComponentPage : ::testing::Test
{
    HostWindow window;
    std::unique_ptr<RecordingBrowser> browser = std::make_unique<RecordingBrowser>();

    void show()
    {
        window.addAndMakeVisible (browser.get());
        window.resized();
    }

    void showAndWaitForThePage()
    {
        show();
        ASSERT_TRUE (browser->waitFor ("done"));
    }
};

TEST_F (BrowserComponentPage, LoadsThePageBesideTheExecutableAndDeliversItsMessagesInOrder)
{
    show();
    // A script sent while the page is still loading must not break the load.
    browser->sendEvent ("early", 1);
    ASSERT_TRUE (browser->waitFor ("done"));

    EXPECT_TRUE (browser->onMessageThread);
    ASSERT_FALSE (browser->navigations.isEmpty());
    EXPECT_EQ (browser->navigations[0], juce::URL (BrowserComponent::getPageFile()).toString (false));

    // Everything the page posted on load, in posting order (echoes of native events aside).
    juce::StringArray order;
    for (auto& m : browser->messages)
        if (m["eventType"].toString() != "echo")
            order.add (m["eventType"].toString() + (m["eventType"] == juce::var ("burst") ? m["data"].toString() : ""));

    juce::StringArray expected { "loaded", "values" };
    for (int i = 0; i < 50; ++i)
        expected.add ("burst" + juce::String (i));
    expected.addArray (juce::StringArray { "big", "done" });
    EXPECT_EQ (order.joinIntoString (","), expected.joinIntoString (","));

    // Posted values arrive converted: numbers and booleans as text, structure kept, void for null.
    const auto values = browser->ofType ("values")[0]["data"];
    EXPECT_EQ (values["number"], juce::var ("2"));
    EXPECT_EQ (values["fraction"], juce::var ("-0.25"));
    EXPECT_EQ (values["yes"], juce::var ("1"));
    EXPECT_EQ (values["no"], juce::var ("0"));
    EXPECT_EQ (values["text"].toString(), juce::String::fromUTF8 ("h\xc3\xa9llo \xe2\x9c\x93 \xf0\x9f\x98\x80"));
    EXPECT_EQ (juce::JSON::toString (values["nested"], true), R"([["1", null], [["deep"]], {"inner": [null]}])");
    ASSERT_NE (values["empty"].getDynamicObject(), nullptr);
    EXPECT_EQ (values["empty"].getDynamicObject()->getProperties().size(), 0);

    const auto big = browser->ofType ("big")[0]["data"].toString();
    EXPECT_EQ (big.length(), 1024 * 1024 + 3);
    EXPECT_TRUE (big.endsWith ("xend"));

    // The page is alive and answers native events after all that.
    browser->sendEvent ("after", 2);
    ASSERT_TRUE (pumpMessagesUntil ([&] {
        for (auto& echo : browser->ofType ("echo"))
            if (echo["data"]["event"]["eventType"] == juce::var ("after"))
                return true;
        return false;
    }, waits::pageAnswerMs));
}

TEST_F (BrowserComponentPage, NativeEventsReachThePageUnchanged)
{
    showAndWaitForThePage();

    const auto awkward = juce::String::fromUTF8 ("quote \" backslash \\ newline \n tab \t %41 + \xc3\xa9 \xf0\x9f\x98\x80 </script>");
    browser->sendEvent ("Plugin::reply", awkward);
    ASSERT_TRUE (browser->waitFor ("echo", 1, waits::pageAnswerMs));

    const auto event = browser->ofType ("echo")[0]["data"]["event"];
    EXPECT_EQ (event["eventType"], juce::var ("Plugin::reply"));
    EXPECT_EQ (event["data"].toString(), awkward);
}

TEST_F (BrowserComponentPage, HidingKeepsThePageAndRepeatsNothing)
{
    showAndWaitForThePage();
    browser->sendEvent ("first", 1);
    ASSERT_TRUE (browser->waitFor ("echo", 1, waits::pageAnswerMs));

    window.setVisible (false);
    calbrix_test::pumpMessagesFor (200);
    window.setVisible (true);
    calbrix_test::pumpMessagesFor (800);

    // Neither a reload (a second "loaded") nor a second delivery of the last event.
    EXPECT_EQ (browser->ofType ("loaded").size(), 1u);
    EXPECT_EQ (browser->ofType ("echo").size(), 1u);

    // The page kept its state: it counts the second event as its second.
    browser->sendEvent ("second", 2);
    ASSERT_TRUE (browser->waitFor ("echo", 2, waits::pageAnswerMs));
    EXPECT_EQ (browser->ofType ("echo")[1]["data"]["count"], juce::var ("2"));
}
