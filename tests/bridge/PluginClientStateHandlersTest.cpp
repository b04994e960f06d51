// The plug-in client's requests that change the processor's state: the model path (with a real model
// load), parameters and custom values; and the request that opens a link.
#include "BridgeTestSupport.h"

#include <cstdlib>
#include <limits>
#include <mutex>
#include <unistd.h>

using namespace calbrix_bridge_test;
using calbrix_test::installFixture;
using calbrix_test::parameterValue;
using calbrix_test::pumpMessagesFor;
using calbrix_test::pumpMessagesUntil;
using calbrix_test::waitForLoadingIdle;

namespace
{
    // What the state tree's listeners hear, as "<kind> <id or property>"; any thread.
    struct TreeEvents : juce::ValueTree::Listener
    {
        void valueTreePropertyChanged (juce::ValueTree& tree, const juce::Identifier& property) override
        {
            add ("property " + (tree.hasProperty ("id") ? tree["id"].toString() + "." : juce::String()) + property.toString());
        }
        void valueTreeChildAdded (juce::ValueTree&, juce::ValueTree& child) override { add ("added " + child["id"].toString()); }
        void valueTreeChildRemoved (juce::ValueTree&, juce::ValueTree& child, int) override { add ("removed " + child["id"].toString()); }

        void add (const juce::String& event)
        {
            const std::lock_guard<std::mutex> lock (mutex);
            events.add (event);
        }

        juce::StringArray take()
        {
            const std::lock_guard<std::mutex> lock (mutex);
            auto taken = events;
            events.clear();
            return taken;
        }

        // Without the loading job's flag changes, which the worker makes while the handler runs.
        juce::String takeWithoutLoadingFlag()
        {
            juce::StringArray kept;
            for (auto& event : take())
                if (! event.startsWith ("property is_model_loading"))
                    kept.add (event);
            return kept.joinIntoString ("|");
        }

        std::mutex mutex;
        juce::StringArray events;
    };

    struct PluginState : ::testing::Test
    {
        PluginState() { state().addListener (&treeEvents); }
        ~PluginState() override
        {
            waitForLoadingIdle (processor);
            state().removeListener (&treeEvents);
        }

        juce::ValueTree& state() { return processor.parameters.state; }
        juce::ValueTree lastChild() { return state().getChild (state().getNumChildren() - 1); }
        juce::ValueTree childWithId (const juce::String& id) { return state().getChildWithProperty ("id", id); }

        CalbrixAudioProcessor processor;
        TreeEvents treeEvents;
        BrowserComponent browser { "127.0.0.1", "", {} };
        RecordedClient plugin { browser, processor.parameters, calbrix_test::dataDirectory().getFullPathName() };
    };
} // namespace

TEST_F (PluginState, ModelPathStoresMovesAnnouncesRepliesAndTheProcessorLoadsIt)
{
    installFixture ("defaults.pt");

    plugin.fromPage ("model_path", json (R"({"path": "defaults.pt", "uid": "m1"})"));

    // Everything happened inside the handler, in this order.
    EXPECT_EQ (treeEvents.takeWithoutLoadingFlag(),
               "property model_path.value|removed model_path|added model_path|property HOST_SETSTATE_REQUEST");
    ASSERT_EQ (plugin.replies ("m1").size(), 1u);
    EXPECT_EQ (plugin.replies ("m1")[0].data, juce::var ("set model_path parameter"));
    EXPECT_EQ (lastChild()["id"].toString(), "model_path");
    EXPECT_EQ (lastChild()["value"], juce::var ("defaults.pt"));
    EXPECT_FALSE (state().hasProperty ("HOST_SETSTATE_REQUEST"));

    // The processor took it as a request to load that model, with its defaults.
    ASSERT_TRUE (waitForLoadingIdle (processor));
    EXPECT_TRUE (processor.model->loaded);
    EXPECT_FLOAT_EQ (parameterValue (processor, "p1"), 0.1f);
    EXPECT_FLOAT_EQ (parameterValue (processor, "wet_gain"), 0.75f);
}

TEST_F (PluginState, ThePageSeesAModelPathRequestAsFourChanges)
{
    plugin.router.pageReady = true;
    // A file that is not there: the processor tries, finds nothing and changes nothing more.
    plugin.fromPage ("model_path", json (R"({"path": "missing.pt", "uid": "m3"})"));

    ASSERT_TRUE (pumpMessagesUntil ([&] { return ! plugin.router.named ("valueTreeStateChange").empty(); }, calbrix_test::waits::modelLoadMs));
    const auto changes = plugin.router.named ("valueTreeStateChange")[0].data["changes"];
    ASSERT_EQ (changes.size(), 4);
    // Value set, child removed, child added, and the announcement as a removed property.
    EXPECT_EQ (juce::String (changeKind (changes[0])) + juce::String (changeKind (changes[1]))
                   + juce::String (changeKind (changes[2])) + juce::String (changeKind (changes[3])),
               "1436");
}

TEST_F (PluginState, ModelPathOfTheStoredPathStillMovesAnnouncesAndReplies)
{
    plugin.fromPage ("model_path", json (R"({"uid": "same"})")); // no path: the empty text, as stored

    EXPECT_EQ (treeEvents.take().joinIntoString ("|"), "removed model_path|added model_path|property HOST_SETSTATE_REQUEST");
    EXPECT_EQ (lastChild()["id"].toString(), "model_path");
    ASSERT_EQ (plugin.replies ("same").size(), 1u);
    EXPECT_EQ (plugin.replies ("same")[0].data, juce::var ("set model_path parameter"));
}

TEST_F (PluginState, ModelPathWithoutItsChildDoesNothing)
{
    state().removeChild (childWithId ("model_path"), nullptr);
    const auto before = state().createCopy();
    treeEvents.take();

    plugin.fromPage ("model_path", json (R"({"path": "defaults.pt", "uid": "m2"})"));

    EXPECT_TRUE (treeEvents.take().isEmpty());
    EXPECT_TRUE (state().isEquivalentTo (before));
    EXPECT_TRUE (plugin.router.sent.empty());
}

TEST_F (PluginState, SetParameterTakesTheValueAsTextOrNumber)
{
    struct Case { const char* what; juce::var request; const char* id; float expected; };
    const Case cases[] = {
        { "posted number (text)", json (R"({"id": "p1", "value": "0.25"})"), "p1", 0.25f },
        { "navigated number", json (R"({"id": "p2", "value": 0.75})"), "p2", 0.75f },
        { "gain in decibels", json (R"({"id": "output_gain", "value": -12.5})"), "output_gain", -12.5f },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        plugin.fromPage ("setParameter", c.request);
        EXPECT_FLOAT_EQ (parameterValue (processor, c.id), c.expected);
    }
    EXPECT_EQ (childWithId ("p1"), state().getChild (3)); // not moved

    // No such parameter, or no id: nothing changes.
    const auto before = state().createCopy();
    plugin.fromPage ("setParameter", json (R"({"id": "p9", "value": 0.5})"));
    plugin.fromPage ("setParameter", json (R"({"value": 0.5})"));
    plugin.fromPage ("setParameter", json (R"({"id": "model_id", "value": 5})"));
    EXPECT_TRUE (state().isEquivalentTo (before));
    EXPECT_TRUE (plugin.router.sent.empty()); // never answered
}

TEST_F (PluginState, SetParameterRefusesWhatIsNoFiniteNumberAndClampsTheRest)
{
    const auto setFromPage = [this] (const char* id, const juce::var& value)
    {
        juce::DynamicObject::Ptr request (new juce::DynamicObject());
        request->setProperty ("id", id);
        request->setProperty ("value", value);
        plugin.fromPage ("setParameter", juce::var (request.get()));
    };

    // Refused: the parameter, its child and the tree stay as they were, and nothing is answered,
    // as for an id that names no parameter. The posted channel delivers a script's NaN or Infinity
    // as text; the navigated one can carry numbers JSON cannot spell, objects and arrays.
    const juce::var refused[] = {
        "NaN", "nan", "-nan", "Infinity", "-Infinity", "inf", "1e400", "", "abc", "0.5abc", "0x1", "0,5", "--1", "1e",
        std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
        json ("{}"), json (R"({"value": 0.5})"), json ("[]"), json ("[0.5]"), juce::var(), juce::var::undefined(),
    };

    for (const auto* id : { "p1", "dry_gain", "output_gain" })
    {
        setFromPage (id, 0.3);
        const auto set = parameterValue (processor, id);
        ASSERT_NEAR (set, 0.3f, 1.0e-4f);
        const auto before = state().createCopy();

        for (const auto& value : refused)
        {
            SCOPED_TRACE (juce::String (id) + " = " + juce::JSON::toString (value, true));
            setFromPage (id, value);
            EXPECT_EQ (parameterValue (processor, id), set);
            EXPECT_TRUE (state().isEquivalentTo (before));
        }
        // No value at all is refused too.
        plugin.fromPage ("setParameter", json (juce::String (R"({"id": ")") + id + "\"}"));
        EXPECT_EQ (parameterValue (processor, id), set);
        EXPECT_TRUE (state().isEquivalentTo (before));
    }
    EXPECT_TRUE (plugin.router.sent.empty());

    // Finite numbers in any spelling a script or a hostile page may use are taken, and the
    // parameter clamps those outside its range, as it always has.
    struct Case { juce::var value; const char* id; float expected; };
    const Case taken[] = {
        { "1e-1", "p1", 0.1f },          { "+0.4", "p1", 0.4f },            { " 0.6 ", "p1", 0.6f },  { ".7", "p1", 0.7f },
        { "-0", "p1", 0.0f },            { "7", "p1", 1.0f },               { "-1e300", "p1", 0.0f }, { 1.0e300, "p1", 1.0f },
        { "100", "output_gain", 30.0f }, { -45, "output_gain", -30.0f },    { true, "p2", 1.0f },     { (juce::int64) 0, "p2", 0.0f },
    };
    for (const auto& c : taken)
    {
        SCOPED_TRACE (juce::String (c.id) + " = " + juce::JSON::toString (c.value, true));
        setFromPage (c.id, 0.5);
        setFromPage (c.id, c.value);
        EXPECT_FLOAT_EQ (parameterValue (processor, c.id), c.expected);
    }
}

TEST_F (PluginState, SetHiddenParameterOfAParameterRefusesWhatIsNoFiniteNumber)
{
    calbrix_test::setParameter (processor, "dry_gain", 0.3f);
    const auto before = state().createCopy();
    treeEvents.take();

    for (const auto* value : { "NaN", "nan", "Infinity", "-Infinity", "1e400", "", "abc", "[object Object]" })
    {
        SCOPED_TRACE (value);
        plugin.fromPage ("setHiddenParameter", json (R"({"id": "dry_gain", "value": ")" + juce::String (value) + "\"}"));
        EXPECT_FLOAT_EQ (parameterValue (processor, "dry_gain"), 0.3f);
    }
    plugin.fromPage ("setHiddenParameter", json (R"({"id": "dry_gain", "value": {"a": 1}})"));
    plugin.fromPage ("setHiddenParameter", json (R"({"id": "dry_gain", "value": [0.5]})"));
    plugin.fromPage ("setHiddenParameter", json (R"({"id": "dry_gain"})"));

    // Not even moved.
    EXPECT_TRUE (treeEvents.take().isEmpty());
    EXPECT_TRUE (state().isEquivalentTo (before));
    EXPECT_FLOAT_EQ (parameterValue (processor, "dry_gain"), 0.3f);

    // A custom value is no number the audio uses: it still takes any text.
    plugin.fromPage ("setHiddenParameter", json (R"({"id": "preset_id", "value": "NaN"})"));
    EXPECT_EQ (lastChild()["id"].toString(), "preset_id");
    EXPECT_EQ (lastChild()["value"], juce::var ("NaN"));
}

TEST_F (PluginState, SetHiddenParameterStoresTextAndMovesTheChild)
{
    plugin.fromPage ("setHiddenParameter", json (R"({"id": "preset_id", "value": 3})"));
    EXPECT_EQ (lastChild()["id"].toString(), "preset_id");
    EXPECT_TRUE (lastChild()["value"].isString());
    EXPECT_EQ (lastChild()["value"].toString(), "3");
    EXPECT_EQ (treeEvents.take().joinIntoString ("|"), "property preset_id.value|removed preset_id|added preset_id");

    // A parameter's child: the text is stored and the framework sets the parameter from it.
    plugin.fromPage ("setHiddenParameter", json (R"({"id": "p3", "value": "0.2"})"));
    EXPECT_EQ (lastChild()["id"].toString(), "p3");
    EXPECT_FLOAT_EQ (parameterValue (processor, "p3"), 0.2f);

    // An id no child has: nothing.
    const auto before = state().createCopy();
    treeEvents.take();
    plugin.fromPage ("setHiddenParameter", json (R"({"id": "nothing", "value": "1"})"));
    plugin.fromPage ("setHiddenParameter", json (R"({"value": "1"})"));
    EXPECT_TRUE (treeEvents.take().isEmpty());
    EXPECT_TRUE (state().isEquivalentTo (before));
    EXPECT_TRUE (plugin.router.sent.empty()); // never answered
}

TEST_F (PluginState, SetHiddenParameterOfTheModelPathLoadsWithoutAnnouncement)
{
    installFixture ("defaults.pt");
    plugin.fromPage ("setHiddenParameter", json (R"({"id": "model_path", "value": "defaults.pt"})"));

    EXPECT_EQ (treeEvents.takeWithoutLoadingFlag(), "property model_path.value|removed model_path|added model_path");
    EXPECT_EQ (lastChild()["id"].toString(), "model_path");
    EXPECT_TRUE (plugin.router.sent.empty());

    ASSERT_TRUE (waitForLoadingIdle (processor));
    EXPECT_TRUE (processor.model->loaded);
    EXPECT_FLOAT_EQ (parameterValue (processor, "p4"), 0.4f);
}

namespace
{
    // The system browser is reached through the openers on PATH; here PATH leads to a folder of the
    // test's own, so no real browser ever starts.
    struct OpenBrowser : PluginState
    {
        OpenBrowser()
        {
            folder.createDirectory();
            const char* path = std::getenv ("PATH");
            savedPath = path != nullptr ? path : "";
            setenv ("PATH", folder.getFullPathName().toRawUTF8(), 1);
        }

        ~OpenBrowser() override
        {
            setenv ("PATH", savedPath.toRawUTF8(), 1);
            folder.deleteRecursively();
        }

        // A stand-in opener that writes its arguments, one per line, to "<name>.args" and adds a line
        // to "<name>.runs" each time it runs.
        void installOpener (const juce::String& name)
        {
            const auto script = folder.getChildFile (name);
            script.replaceWithText ("#!/bin/sh\nprintf '%s\\n' \"$#\" \"$@\" > \"$0.tmp\" && /bin/mv \"$0.tmp\" \"$0.args\"\n"
                                    "echo ran >> \"$0.runs\"\n",
                                    false, false, "\n");
            script.setExecutePermission (true);
        }

        juce::String openAndReply (const juce::String& url)
        {
            juce::DynamicObject::Ptr request (new juce::DynamicObject());
            request->setProperty ("url", url);
            request->setProperty ("uid", "b" + juce::String (++requests));
            plugin.fromPage ("openBrowser", juce::var (request.get()));

            const auto replies = plugin.replies ("b" + juce::String (requests));
            EXPECT_EQ (replies.size(), 1u);
            return replies.empty() ? juce::String() : replies[0].data.toString();
        }

        juce::File folder = juce::File::getSpecialLocation (juce::File::tempDirectory)
                                .getNonexistentChildFile ("calbrix-openers-" + juce::String (::getpid()), "", false);
        juce::String savedPath;
        int requests = 0;
    };
} // namespace

TEST_F (OpenBrowser, WithNoOpenerTheReplySaysItFailed)
{
    EXPECT_EQ (openAndReply ("https://example.com/"), "Failed to open system browser");
}

TEST_F (OpenBrowser, TheURLReachesTheOpenerAsOneArgumentAndNothingRunsIt)
{
    installOpener ("xdg-open");
    const auto marker = folder.getChildFile ("ran");
    const auto url = "https://example.com/a b/$(touch " + marker.getFullPathName() + ")`touch " + marker.getFullPathName()
                     + "`\"';|&<>#frag";

    EXPECT_EQ (openAndReply (url), "Opened system browser succesfully");

    const auto args = folder.getChildFile ("xdg-open.args");
    ASSERT_TRUE (pumpMessagesUntil ([&] { return args.existsAsFile(); }, calbrix_test::waits::launchedProgramMs));
    juce::StringArray lines;
    lines.addLines (args.loadFileAsString());
    ASSERT_GE (lines.size(), 2);
    EXPECT_EQ (lines[0], "1");
    EXPECT_EQ (lines[1], juce::URL (url).toString (true));
    EXPECT_TRUE (lines[1].contains ("$(touch "));
    pumpMessagesFor (100);
    EXPECT_FALSE (marker.exists());
}

TEST_F (OpenBrowser, FallsBackToTheDebianBrowserChoice)
{
    installOpener ("x-www-browser");
    EXPECT_EQ (openAndReply ("https://example.com/"), "Opened system browser succesfully");
    const auto args = folder.getChildFile ("x-www-browser.args");
    ASSERT_TRUE (pumpMessagesUntil ([&] { return args.existsAsFile(); }, calbrix_test::waits::launchedProgramMs));
    EXPECT_TRUE (args.loadFileAsString().contains ("https://example.com/"));
}

TEST_F (OpenBrowser, TextThatAnOpenerWouldTakeAsAnOptionIsRefused)
{
    installOpener ("xdg-open");
    EXPECT_EQ (openAndReply ("--help"), "Failed to open system browser");
    pumpMessagesFor (100);
    EXPECT_FALSE (folder.getChildFile ("xdg-open.args").exists());
}

TEST_F (OpenBrowser, AtMostOneLaunchPerIntervalAndTheRequestsBetweenAreRefused)
{
    installOpener ("xdg-open");

    // A burst, as from a page that asks again and again. However slow the machine, no more than one
    // launch per interval of the time the burst took may pass.
    const auto start = juce::Time::getMillisecondCounterHiRes();
    juce::StringArray replies;
    for (int i = 0; i < 50; ++i)
        replies.add (openAndReply ("https://example.com/" + juce::String (i)));
    const auto elapsed = juce::Time::getMillisecondCounterHiRes() - start;

    int launches = 0;
    for (const auto& reply : replies)
    {
        if (reply == "Opened system browser succesfully")
            ++launches;
        else
            EXPECT_EQ (reply, "Failed to open system browser");
    }
    EXPECT_EQ (replies[0], "Opened system browser succesfully");
    EXPECT_GE (launches, 1);
    EXPECT_LE (launches, 1 + static_cast<int> (elapsed / BrowserIntegrationPluginClient::browserLaunchIntervalMs));

    // Only the launches that were answered as such started the opener.
    const auto runs = folder.getChildFile ("xdg-open.runs");
    const auto runCount = [&] { return juce::StringArray::fromLines (runs.loadFileAsString().trim()).size(); };
    ASSERT_TRUE (pumpMessagesUntil ([&] { return runs.existsAsFile() && runCount() >= launches; }, calbrix_test::waits::launchedProgramMs));
    pumpMessagesFor (200);
    EXPECT_EQ (runCount(), launches);
}
