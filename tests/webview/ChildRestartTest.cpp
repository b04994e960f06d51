// The web view outlives its child process: a child that dies (killed, crashed) or whose WebKit web
// process dies is reaped and replaced, and the page loads again by itself; a child that keeps dying
// gives way to a plain notice. Real children under Xvfb, killed for real.
#include "WebViewTestSupport.h"

using namespace calbrix_webview_test;
using calbrix_test::pumpMessagesUntil;

namespace
{
    struct RestartingView : calbrix_webview::WebViewComponent
    {
        using calbrix_webview::WebViewComponent::WebViewComponent;

        void scriptMessageReceived (juce::var message) override { messages.push_back (message); }

        size_t count (const juce::String& key) const
        {
            return (size_t) std::count_if (messages.begin(), messages.end(), [&] (const juce::var& m) { return m.hasProperty (key); });
        }

        // The notice shown in place of the page, if one is showing.
        juce::String noticeText() const
        {
            for (auto* child : getChildren())
                if (auto* label = dynamic_cast<juce::Label*> (child))
                    if (label->isVisible())
                        return label->getText();
            return {};
        }

        std::vector<juce::var> messages;
    };

    // The page says so each time it loads; it can be told to flood the parent with messages.
    const auto countingPage = pageRunning (
        "post({ loaded: 'yes' });"
        "function flood() { setInterval(function () {"
        "  for (var i = 0; i < 100; ++i) post({ flood: i, pad: 'x'.repeat(500) }); }, 1); }");

    struct ChildRestart : ::testing::Test
    {
        CapturedErrorDescriptor errors; // the view's lines about children it leaves behind
        HostWindow window;
        PageFolder pages;
        std::unique_ptr<RestartingView> view;

        void open (calbrix_webview::ChildRestartLimit limit = {})
        {
            view = std::make_unique<RestartingView> (true, limit);
            window.addAndMakeVisible (view.get());
            window.resized();
            view->goToURL (fileUrl (pages.write ("page.html", countingPage)));
            ASSERT_TRUE (waitForLoads (1));
        }

        bool waitForLoads (size_t loads)
        {
            return pumpMessagesUntil ([&] { return view->count ("loaded") >= loads; }, waits::pageStartMs);
        }

        bool waitUntilGone (int pid)
        {
            return pumpMessagesUntil ([&] { return reapedOrLeftBehind (pid, errors.text()); }, waits::childEndMs);
        }

        void TearDown() override
        {
            view.reset();
            if (HasFailure())
                std::cout << "--- standard error of the test and its children\n" << errors.text() << std::flush;
        }

        // Kills the current child and waits until another one has taken its place (or, when none is
        // expected, until the view has let go of it).
        int killChild (bool expectAnother = true)
        {
            const auto pid = view->getChildProcessId();
            killProcess (pid);
            EXPECT_TRUE (pumpMessagesUntil ([&]
            {
                const auto now = view->getChildProcessId();
                return expectAnother ? (now > 0 && now != pid) : now == -1;
            }, waits::childRestartMs));
            return pid;
        }

        // So many death-free seconds that no test here runs into the crash-loop rule by accident.
        static calbrix_webview::ChildRestartLimit noCrashLoop() { return { 1000, 1000 }; }
    };

    // A script command of about `bytes` bytes that the page runs and forgets.
    juce::String bulkyScript (int bytes)
    {
        return "javascript:void '" + juce::String::repeatedString ("y", bytes) + "'";
    }
} // namespace

TEST_F (ChildRestart, KilledChildIsReapedAndReplacedAndThePageLoadsAgain)
{
    open();
    const auto killed = killChild();

    ASSERT_TRUE (waitForLoads (2)) << "the page did not come back";
    EXPECT_GT (view->getChildProcessId(), 0);
    EXPECT_NE (view->getChildProcessId(), killed);
    EXPECT_TRUE (waitUntilGone (killed)) << "the dead child was not reaped";
    EXPECT_TRUE (view->noticeText().isEmpty());

    // The new page answers native events as the first one did.
    view->goToURL ("javascript:post({ answer: 'from the new page' })");
    ASSERT_TRUE (pumpMessagesUntil ([&] { return view->count ("answer") == 1; }, waits::pageAnswerMs));
}

TEST_F (ChildRestart, KillsDuringFloodsBothWaysLeaveTheAppStandingAndLeakNothing)
{
    expectBrokenPipesWouldBeFatal();
    open (noCrashLoop());

    int descriptorsBefore = 0, threadsBefore = 0;

    // Each round kills at another moment of the floods; past a handful of rounds more of them have
    // found nothing new, and a leak of one descriptor or thread per kill still shows as 5.
    for (int kill = 1; kill <= 6; ++kill)
    {
        SCOPED_TRACE (kill);

        // The page floods this side, and this side has megabytes on their way to the child, when
        // the child dies: its pipes break in the middle of reads and writes.
        view->goToURL ("javascript:flood()");
        ASSERT_TRUE (pumpMessagesUntil ([&] { return view->count ("flood") >= 200; }, waits::pageAnswerMs));
        view->messages.clear();
        for (int i = 0; i < 8; ++i)
            view->goToURL (bulkyScript (512 * 1024));
        const auto killed = killChild();

        // Sends while the new child starts are carried to it or dropped, never a reason to fail.
        for (int i = 0; i < 4; ++i)
            view->goToURL (bulkyScript (256 * 1024));

        ASSERT_TRUE (waitForLoads (1)) << "the page did not come back";
        EXPECT_TRUE (waitUntilGone (killed)) << "not reaped";

        // The first restart has made whatever a restart keeps for good; from then on nothing grows.
        if (kill == 1)
        {
            descriptorsBefore = countOpenDescriptors();
            threadsBefore = countThreads();
        }
    }

    // A little room for descriptors and threads that come and go on their own.
    EXPECT_LE (countOpenDescriptors(), descriptorsBefore + 3);
    EXPECT_LE (countThreads(), threadsBefore + 3);
    EXPECT_TRUE (view->noticeText().isEmpty());
}

TEST_F (ChildRestart, HiddenViewGetsItsPageBackAsHidingWouldHaveIt)
{
    // A view that unloads its page while hidden loads it again only when it shows; one that keeps
    // its page running while hidden has it running again at once.
    for (const bool unloadPageWhenHidden : { true, false })
    {
        SCOPED_TRACE (unloadPageWhenHidden ? "unloads when hidden" : "keeps its page when hidden");
        view = std::make_unique<RestartingView> (unloadPageWhenHidden);
        window.addAndMakeVisible (view.get());
        window.resized();
        view->goToURL (fileUrl (pages.write ("page.html", countingPage)));
        ASSERT_TRUE (waitForLoads (1));

        view->setVisible (false);
        calbrix_test::pumpMessagesFor (100);
        killChild();

        if (unloadPageWhenHidden)
        {
            calbrix_test::pumpMessagesFor (500);
            EXPECT_EQ (view->count ("loaded"), 1u);
        }
        else
        {
            ASSERT_TRUE (waitForLoads (2));
        }

        view->setVisible (true);
        ASSERT_TRUE (waitForLoads (2));
        calbrix_test::pumpMessagesFor (300);
        EXPECT_EQ (view->count ("loaded"), 2u);
    }
}

TEST_F (ChildRestart, DeathOfWebKitsWebProcessBringsThePageBack)
{
    open();
    const auto child = view->getChildProcessId();
    int webProcess = -1;
    ASSERT_TRUE (pumpMessagesUntil ([&] { return (webProcess = childProcessNamed (child, "WebKitWebProcess")) > 0; }, waits::pageStartMs));

    killProcess (webProcess);

    ASSERT_TRUE (waitForLoads (2)) << "the page did not come back";
    EXPECT_TRUE (waitUntilGone (child)) << "the child whose web process died was not reaped";
    EXPECT_GT (view->getChildProcessId(), 0);
}

TEST_F (ChildRestart, ChildThatKeepsDyingGivesWayToANotice)
{
    // Three deaths within a window so long that a slow machine fits them in too.
    open ({ 3, 10 * 60 * 1000 });
    std::vector<int> killed;
    for (int i = 0; i < 3; ++i)
        killed.push_back (killChild (i < 2));

    ASSERT_TRUE (pumpMessagesUntil ([&] { return view->noticeText().isNotEmpty(); }, waits::pageAnswerMs));
    EXPECT_EQ (view->noticeText(), "The interface stopped; close and reopen the window to retry");
    EXPECT_EQ (view->getChildProcessId(), -1);

    // No child is started behind the notice, the dead ones are reaped, and the owner may go on
    // sending into the void.
    for (int i = 0; i < 50; ++i)
        view->goToURL (bulkyScript (64 * 1024));
    calbrix_test::pumpMessagesFor (500);
    EXPECT_EQ (view->getChildProcessId(), -1);
    for (auto pid : killed)
        EXPECT_TRUE (waitUntilGone (pid)) << pid;

    // A new view (the window closed and opened again) starts afresh.
    open();
    EXPECT_TRUE (view->noticeText().isEmpty());
}

TEST_F (ChildRestart, DeathsFarApartAreNoCrashLoop)
{
    // Two deaths a window apart: the rule counts deaths within the window only.
    open ({ 2, 300 });
    killChild();
    ASSERT_TRUE (waitForLoads (2));
    calbrix_test::pumpMessagesFor (400);
    killChild();
    ASSERT_TRUE (waitForLoads (3));
    EXPECT_TRUE (view->noticeText().isEmpty());
}
