// The web view's "juce" channel end to end: a real WebKitGTK child under Xvfb, the real pipes.
#include "WebViewTestSupport.h"

using namespace calbrix_webview_test;
using calbrix_test::pumpMessagesUntil;

namespace
{
    struct RecordingWebView : calbrix_webview::WebViewComponent
    {
        using calbrix_webview::WebViewComponent::WebViewComponent;

        void scriptMessageReceived (juce::var message) override
        {
            onMessageThread = onMessageThread && juce::MessageManager::existsAndIsCurrentThread();
            messages.push_back (message);
        }
        bool pageAboutToLoad (const juce::String& url) override
        {
            navigations.add (url);
            return ! url.contains ("refused");
        }
        void pageFinishedLoading (const juce::String& url) override { finished.add (url); }
        bool pageLoadHadNetworkError (const juce::String& errorInfo) override
        {
            errors.add (errorInfo);
            return true;
        }

        // `count` messages in by then: a page's first ones need it to start, a script's answer does not.
        bool waitForMessages (size_t count, int timeoutMs = waits::pageStartMs)
        {
            return pumpMessagesUntil ([&] { return messages.size() >= count; }, timeoutMs);
        }

        std::vector<juce::var> messages;
        juce::StringArray navigations, finished, errors;
        bool onMessageThread = true;
    };

    struct ScriptMessageChannel : ::testing::Test
    {
        HostWindow window;
        PageFolder pages;
        std::unique_ptr<RecordingWebView> view;

        void open (const juce::String& html, bool unloadPageWhenHidden = true)
        {
            view = std::make_unique<RecordingWebView> (unloadPageWhenHidden);
            window.addAndMakeVisible (view.get());
            window.resized();
            view->goToURL (fileUrl (pages.write ("page.html", html)));
        }

        void TearDown() override
        {
            view.reset();
        }
    };
} // namespace

TEST_F (ScriptMessageChannel, PostedValuesArriveConverted)
{
    const auto nonAscii = juce::String::fromUTF8 ("h\xc3\xa9llo \xe2\x9c\x93 \xf0\x9f\x98\x80");

    // Reachable from the very first page: the handler exists before the view does.
    open (pageRunning ("post({ number: 2, fraction: 1.5, yes: true, no: false, text: '" + nonAscii + "',"
                       "  list: [1, 'x', null], missing: undefined, when: new Date(0) });"
                       "post({});"
                       "post({ a: { b: [ { c: [ [ 7 ], { d: 'deep' } ] } ] } });"));

    ASSERT_TRUE (view->waitForMessages (3));
    EXPECT_TRUE (view->onMessageThread);

    const auto& first = view->messages[0];
    ASSERT_NE (first.getDynamicObject(), nullptr);

    struct Case { const char* name; juce::var expected; };
    for (const auto& c : { Case { "number", "2" }, Case { "fraction", "1.5" }, Case { "yes", "1" },
                           Case { "no", "0" }, Case { "text", nonAscii } })
    {
        SCOPED_TRACE (c.name);
        EXPECT_TRUE (first[c.name].isString());
        EXPECT_EQ (first[c.name].toString(), c.expected.toString());
    }

    auto* list = first["list"].getArray();
    ASSERT_NE (list, nullptr);
    ASSERT_EQ (list->size(), 3);
    EXPECT_EQ ((*list)[0], juce::var ("1"));
    EXPECT_EQ ((*list)[1], juce::var ("x"));
    EXPECT_TRUE ((*list)[2].isVoid());
    EXPECT_TRUE (first["missing"].isVoid());
    EXPECT_TRUE (first["when"].isVoid());

    const auto& empty = view->messages[1];
    ASSERT_NE (empty.getDynamicObject(), nullptr);
    EXPECT_EQ (empty.getDynamicObject()->getProperties().size(), 0);

    const auto deep = view->messages[2]["a"]["b"][0]["c"];
    ASSERT_TRUE (deep.isArray());
    EXPECT_EQ (deep[0][0], juce::var ("7"));
    EXPECT_EQ (deep[1]["d"], juce::var ("deep"));
}

TEST_F (ScriptMessageChannel, BodiesThatAreNotObjectsArriveConvertedInOrder)
{
    open (pageRunning ("post('text'); post(5); post(true); post([1, [null]]); post(null); post({ last: 'yes' });"));

    ASSERT_TRUE (view->waitForMessages (6));
    const auto& m = view->messages;
    EXPECT_EQ (m[0], juce::var ("text"));
    EXPECT_EQ (m[1], juce::var ("5"));
    EXPECT_EQ (m[2], juce::var ("1"));
    ASSERT_TRUE (m[3].isArray());
    EXPECT_EQ (m[3][0], juce::var ("1"));
    EXPECT_TRUE (m[3][1].isArray());
    EXPECT_TRUE (m[3][1][0].isVoid());
    EXPECT_TRUE (m[4].isVoid());
    EXPECT_EQ (m[5]["last"], juce::var ("yes"));
}

TEST_F (ScriptMessageChannel, JavascriptUrlsRunInThePageWithoutLoading)
{
    open (pageRunning ("var loads = (window.name = String(Number(window.name || 0) + 1));"
                       "post({ ready: window.name });"));
    ASSERT_TRUE (view->waitForMessages (1));
    const auto navigationsBefore = view->navigations.size();

    // Leading white space and any letter case; the text after the first ':' is the script, as is.
    view->goToURL ("javascript:post({ ran: 'plain', pct: '%41' })");
    view->goToURL ("  JavaScript:post({ ran: 'shouted', loads: window.name })");

    ASSERT_TRUE (view->waitForMessages (3, waits::pageAnswerMs));
    EXPECT_EQ (view->messages[1]["ran"], juce::var ("plain"));
    EXPECT_EQ (view->messages[1]["pct"], juce::var ("%41"));
    EXPECT_EQ (view->messages[2]["ran"], juce::var ("shouted"));
    EXPECT_EQ (view->messages[2]["loads"], juce::var ("1"));
    EXPECT_EQ (view->navigations.size(), navigationsBefore);
}

TEST_F (ScriptMessageChannel, NavigationsAskTheOwnerFirst)
{
    const auto next = pages.write ("next.html", pageRunning ("post({ page: 'next' });"));
    const auto refused = pages.write ("refused.html", pageRunning ("post({ page: 'refused' });"));
    open (pageRunning ("post({ page: 'first' });"));

    ASSERT_TRUE (view->waitForMessages (1));
    ASSERT_TRUE (pumpMessagesUntil ([&] { return view->finished.size() >= 1; }, waits::pageStartMs));
    // The owner sees the escaped absolute URL of the file it asked for.
    EXPECT_EQ (view->navigations[0], juce::URL (pages.folder.getChildFile ("page.html")).toString (false));
    EXPECT_TRUE (view->finished[0].endsWith ("/page.html"));

    // A refused navigation leaves the page where it is; an allowed one proceeds.
    view->goToURL ("javascript:location.href = '" + juce::URL (refused).toString (false) + "'");
    ASSERT_TRUE (pumpMessagesUntil ([&] { return view->navigations.size() >= 2; }, waits::pageAnswerMs));
    view->goToURL ("javascript:post({ page: 'still first' })");
    ASSERT_TRUE (view->waitForMessages (2, waits::pageAnswerMs));
    EXPECT_EQ (view->messages[1]["page"], juce::var ("still first"));

    view->goToURL ("javascript:location.href = '" + juce::URL (next).toString (false) + "'");
    ASSERT_TRUE (view->waitForMessages (3));
    EXPECT_EQ (view->messages[2]["page"], juce::var ("next"));
}

TEST_F (ScriptMessageChannel, FilePathsAreTakenAsTheyStandAndTheErrorPageShowsThemExactly)
{
    // Characters that mean something in a URL are part of the folder's name here.
    for (auto* name : { "install #2", "100% sure", "a+b?c=d", "caf\xc3\xa9 %41" })
    {
        const auto folderName = juce::String::fromUTF8 (name);
        SCOPED_TRACE (folderName);
        const auto folder = pages.folder.getChildFile (folderName);
        ASSERT_TRUE (folder.createDirectory());
        const auto page = folder.getChildFile ("page.html");
        page.replaceWithText (pageRunning ("post({ page: 'found' });"));

        // An existing page loads; a missing one shows an error that names its real path.
        view = std::make_unique<RecordingWebView>();
        window.addAndMakeVisible (view.get());
        window.resized();
        view->goToURL (fileUrl (page));
        ASSERT_TRUE (view->waitForMessages (1));
        EXPECT_EQ (view->messages[0]["page"], juce::var ("found"));

        const auto missing = folder.getChildFile ("missing.html");
        view->goToURL (fileUrl (missing));
        const auto errorPageShown = [&] { return view->finished[view->finished.size() - 1].startsWith ("data:"); };
        ASSERT_TRUE (pumpMessagesUntil ([&] { return view->errors.size() == 1 && errorPageShown(); }, waits::pageStartMs));
        EXPECT_TRUE (view->errors[0].contains (missing.getFullPathName())) << view->errors[0];

        // The error page shows the error text exactly, whatever characters it holds.
        view->goToURL ("javascript:window.webkit.messageHandlers.juce.postMessage({ shown: document.body.innerText })");
        ASSERT_TRUE (view->waitForMessages (2, waits::pageAnswerMs));
        EXPECT_EQ (view->messages[1]["shown"].toString().trim(), view->errors[0].trim());
    }
}

TEST_F (ScriptMessageChannel, ViewWithoutAnOverrideDropsMessagesAndKeepsWorking)
{
    struct LoadCounter : calbrix_webview::WebViewComponent
    {
        void pageFinishedLoading (const juce::String& url) override { finished.add (url); }
        juce::StringArray finished;
    };

    const auto second = pages.write ("second.html", "<html><body>second</body></html>");
    LoadCounter plain;
    window.addAndMakeVisible (plain);
    window.resized();
    plain.goToURL (fileUrl (pages.write ("first.html",
        pageRunning ("for (var i = 0; i < 50; ++i) post({ i: i });"
                     "location.href = '" + juce::URL (second).toString (false) + "';"))));

    ASSERT_TRUE (pumpMessagesUntil ([&] { return plain.finished.size() >= 2; }, 2 * waits::pageStartMs));
    EXPECT_TRUE (plain.finished[plain.finished.size() - 1].endsWith ("/second.html"));
}

TEST_F (ScriptMessageChannel, DestroyingTheViewWhileThePageFloodsItIsSafe)
{
    open (pageRunning ("post({ started: 'yes' }); setInterval(function () {"
                       "  for (var i = 0; i < 200; ++i) post({ i: i, pad: 'x'.repeat(200) }); }, 1);"));
    ASSERT_TRUE (view->waitForMessages (50));

    const auto pid = view->getChildProcessId();
    ASSERT_TRUE (processExists (pid));

    CapturedErrorDescriptor errors;
    view.reset();
    // Messages already posted to the message thread find the view gone and do nothing.
    calbrix_test::pumpMessagesFor (200);

    // The view let go of its child as it went: told it to quit, killed it where it did not, and
    // reaped it, or, where it took longer to end than the view waits, said it leaves it behind.
    EXPECT_TRUE (pumpMessagesUntil ([&] { return reapedOrLeftBehind (pid, errors.text()); }, waits::childEndMs))
        << errors.text();
}

TEST_F (ScriptMessageChannel, HiddenViewParksOnABlankPageAndReloadsWhenShown)
{
    open (pageRunning ("post({ loaded: 'yes' });"), true);
    ASSERT_TRUE (view->waitForMessages (1));

    view->setVisible (false);
    ASSERT_TRUE (pumpMessagesUntil ([&] { return view->navigations.contains ("about:blank"); }, waits::pageAnswerMs));
    view->setVisible (true);

    // Back from the blank page, the page runs again.
    ASSERT_TRUE (view->waitForMessages (2));
    EXPECT_EQ (view->messages[1]["loaded"], juce::var ("yes"));
}

TEST_F (ScriptMessageChannel, ViewKeptLoadedWhenHiddenNeitherReloadsNorRepeatsScripts)
{
    // The page counts its own loads in window.name, which survives reloads of the same page.
    open (pageRunning ("window.name = String(Number(window.name || 0) + 1); post({ loads: window.name });"), false);
    ASSERT_TRUE (view->waitForMessages (1));

    const auto hideAndShow = [this] (const std::function<void()>& whileHidden)
    {
        view->setVisible (false);
        calbrix_test::pumpMessagesFor (100);
        whileHidden();
        view->setVisible (true);
    };

    // A script runs once; showing again neither reloads the page nor runs the script a second time.
    view->goToURL ("javascript:post({ ping: window.name })");
    ASSERT_TRUE (view->waitForMessages (2, waits::pageAnswerMs));
    EXPECT_EQ (view->messages[1]["ping"], juce::var ("1"));
    hideAndShow ([] {});
    calbrix_test::pumpMessagesFor (500);
    EXPECT_EQ (view->messages.size(), 2u);

    // The hidden page keeps running and still takes scripts.
    hideAndShow ([this] { view->goToURL ("javascript:post({ hidden: 'ran' })"); });
    ASSERT_TRUE (view->waitForMessages (3, waits::pageAnswerMs));
    EXPECT_EQ (view->messages[2]["hidden"], juce::var ("ran"));

    // A navigation asked for while hidden is made on showing.
    const auto next = pages.write ("next.html", pageRunning ("post({ page: 'next' });"));
    hideAndShow ([&] { view->goToURL (fileUrl (next)); });
    ASSERT_TRUE (view->waitForMessages (4));
    EXPECT_EQ (view->messages[3]["page"], juce::var ("next"));
    EXPECT_FALSE (view->navigations.contains ("about:blank"));
}

TEST_F (ScriptMessageChannel, LocalPageSplitIntoModulesLoads)
{
    pages.write ("lib.js", "export function greeting() { return 'from a module'; }");
    pages.write ("main.js", "import { greeting } from './lib.js';"
                            "window.webkit.messageHandlers.juce.postMessage({ text: greeting() });");
    open ("<!doctype html><html><head><script type=\"module\" src=\"./main.js\"></script></head><body></body></html>");

    ASSERT_TRUE (view->waitForMessages (1));
    EXPECT_EQ (view->messages[0]["text"], juce::var ("from a module"));
}
