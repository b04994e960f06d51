// What the editor's window shows, read back from the screen of a display of the test's own: the
// page's background from the first frame (at start, while the page's process starts again), never
// a white one; and the resizable corner, above the page, resizing the editor under its size rules
// at every size.
#include "ScreenWatch.h"
#include "WebViewTestSupport.h"

#include "PluginEditor.h"
#include "TestWaits.h"

using namespace calbrix_webview_test;
using calbrix_test::pumpMessagesUntil;
namespace waits = calbrix_test::waits;
using calbrix_window_test::ScreenWatch;

namespace
{
    std::unique_ptr<CalbrixAudioProcessorEditor> makeEditor (CalbrixAudioProcessor& processor)
    {
        return std::unique_ptr<CalbrixAudioProcessorEditor> (dynamic_cast<CalbrixAudioProcessorEditor*> (processor.createEditor()));
    }

    // The page's controls and text take a few percent of the view; the view's background none.
    constexpr float pagePaintedContent = 0.01f;

    juce::String describe (const std::vector<calbrix_window_test::Frame>& frames)
    {
        juce::String text;
        for (size_t i = 0; i < frames.size() && i < 5; ++i)
            text << "at " << juce::String (frames[i].seconds, 2) << " s " << juce::String (100 * frames[i].white, 0) << " % white; ";
        return juce::String ((int) frames.size()) + " white frames: " + text;
    }

    struct EditorWindow : ::testing::Test
    {
        CalbrixAudioProcessor processor;
        HostWindow window;
        std::unique_ptr<CalbrixAudioProcessorEditor> editor;
        int initsSeen = 0;

        void SetUp() override
        {
            window.setSize (CalbrixAudioProcessorEditor::initialWidth, CalbrixAudioProcessorEditor::initialHeight);
        }

        void TearDown() override
        {
            editor.reset();
            processor.loadingPool->removeAllJobs (true, 20000);
        }

        // The window's own black is on screen (before it, the display's root pattern is half white).
        static bool windowShown (ScreenWatch& watch)
        {
            return pumpMessagesUntil ([&] { const auto f = watch.latest(); return f.seconds > 0 && f.white < 0.01f && f.content < 0.01f; },
                                      waits::repaintMs);
        }

        void openEditor()
        {
            editor = makeEditor (processor);
            ASSERT_NE (editor, nullptr);
            auto& browser = editor->getBrowser();
            auto routed = browser.onMessage;
            browser.onMessage = [this, routed] (juce::var message)
            {
                if (message["eventType"] == juce::var ("Plugin::init"))
                    ++initsSeen;
                if (routed)
                    routed (message);
            };
            window.addAndMakeVisible (*editor);
        }

        // The page has run its scripts (it said "init") and painted its controls.
        bool pageShown (ScreenWatch& watch, int initsBefore)
        {
            return pumpMessagesUntil ([&] { return initsSeen > initsBefore; }, waits::pageShownMs)
                && pumpMessagesUntil ([&] { return watch.latest().content > pagePaintedContent; }, waits::pageShownMs);
        }

        // The value of a script expression in the page, as text.
        juce::var evaluate (const juce::String& expression)
        {
            juce::var value;
            bool answered = false;
            auto& browser = editor->getBrowser();
            auto routed = browser.onMessage;
            browser.onMessage = [&, routed] (juce::var message)
            {
                if (message["eventType"] == juce::var ("test::value"))
                {
                    value = message["data"];
                    answered = true;
                }
                else if (routed)
                    routed (message);
            };
            browser.goToURL ("javascript:window.webkit.messageHandlers.juce.postMessage({ eventType: 'test::value',"
                             " data: String(" + expression + ") })");
            EXPECT_TRUE (pumpMessagesUntil ([&] { return answered; }, waits::pageShownMs)) << expression;
            browser.onMessage = routed;
            return value;
        }
    };
} // namespace

TEST_F (EditorWindow, ShowsThePagesBackgroundFromTheFirstFrame)
{
    ScreenWatch watch (window.getScreenBounds());
    ASSERT_TRUE (windowShown (watch));
    const auto first = watch.frameCount();

    openEditor();
    ASSERT_TRUE (pageShown (watch, 0)) << "the page never showed";

    const auto white = watch.whiteFramesFrom (first);
    EXPECT_TRUE (white.empty()) << describe (white);

    // What shows before the page paints is the page's own background.
    const auto background = juce::Colour (lorquist::BrowserIntegration::BrowserComponent::pageBackgroundArgb);
    const auto pageBackground = evaluate ("(() => { const root = getComputedStyle(document.documentElement).backgroundColor;"
                                          " return root === 'rgba(0, 0, 0, 0)' ? getComputedStyle(document.body).backgroundColor : root; })()");
    EXPECT_EQ (pageBackground.toString(), "rgb(" + juce::String (background.getRed()) + ", " + juce::String (background.getGreen())
                                              + ", " + juce::String (background.getBlue()) + ")");
}

TEST_F (EditorWindow, ShowsNoWhiteFrameWhileThePagesProcessStartsAgain)
{
    ScreenWatch watch (window.getScreenBounds());
    ASSERT_TRUE (windowShown (watch));
    openEditor();
    ASSERT_TRUE (pageShown (watch, 0));

    const auto first = watch.frameCount();
    const auto initsBefore = initsSeen;
    const auto pid = editor->getBrowser().getChildProcessId();
    killProcess (pid);
    ASSERT_TRUE (pumpMessagesUntil ([&] { const auto now = editor->getBrowser().getChildProcessId(); return now > 0 && now != pid; },
                                    waits::pageShownMs));
    ASSERT_TRUE (pageShown (watch, initsBefore)) << "the page never came back";

    const auto white = watch.whiteFramesFrom (first);
    EXPECT_TRUE (white.empty()) << describe (white);
}

//==============================================================================
namespace
{
    // A drag with the real pointer, as the user makes it: press, one move, release.
    void dragWithThePointer (juce::Point<int> from, juce::Point<int> to)
    {
        juce::ChildProcess xdotool;
        ASSERT_TRUE (xdotool.start (juce::StringArray { "xdotool", "mousemove", juce::String (from.x), juce::String (from.y),
                                                        "mousedown", "1", "mousemove", juce::String (to.x), juce::String (to.y),
                                                        "mouseup", "1" }));
        ASSERT_TRUE (pumpMessagesUntil ([&] { return ! xdotool.isRunning(); }, waits::repaintMs));
        ASSERT_EQ (xdotool.getExitCode(), 0u) << xdotool.readAllProcessOutput();
    }
} // namespace

TEST_F (EditorWindow, ItsCornerResizesItAboveThePageAtEverySizeKeepingItsShape)
{
    window.setSize (1200, 1000);
    openEditor();
    editor->setBounds (0, 0, CalbrixAudioProcessorEditor::initialWidth, CalbrixAudioProcessorEditor::initialHeight);
    ScreenWatch watch (editor->getScreenBounds());
    ASSERT_TRUE (pageShown (watch, 0));
    ASSERT_NE (editor->resizableCorner, nullptr);

    struct Drag { const char* what; int by; };
    // Smaller; past the smallest size, which holds; from the smallest size, larger again.
    for (const auto drag : { Drag { "smaller", -150 }, Drag { "to the smallest size", -500 }, Drag { "larger", 300 } })
    {
        SCOPED_TRACE (drag.what);
        const auto before = editor->getBounds();
        const auto cornerArea = editor->resizableCorner->getScreenBounds();

        // The corner's light grey lines show above the page: the user sees where to drag.
        ScreenWatch cornerWatch (cornerArea);
        ASSERT_TRUE (pumpMessagesUntil ([&] { return cornerWatch.latest().lightGrey > 0.05f; }, waits::repaintMs))
            << "the corner does not show at " << cornerArea.toString();

        // Pressed just inside the corner's bottom-right, where its drag area is.
        const auto corner = cornerArea.getBottomRight() - juce::Point<int> (4, 4);
        dragWithThePointer (corner, corner + juce::Point<int> (drag.by, drag.by));

        ASSERT_TRUE (pumpMessagesUntil ([&] { return editor->getBounds() != before; }, waits::repaintMs))
            << "the drag at the corner did not resize the editor from " << before.toString();
        const auto after = editor->getBounds();
        EXPECT_EQ (after.getPosition(), before.getPosition());
        EXPECT_GE (after.getWidth(), CalbrixAudioProcessorEditor::minimumWidth);
        EXPECT_GE (after.getHeight(), CalbrixAudioProcessorEditor::minimumHeight);
        EXPECT_NEAR (after.getWidth() / (double) after.getHeight(), CalbrixAudioProcessorEditor::aspectRatio, 0.01);
        EXPECT_EQ (after.getWidth() < before.getWidth(), drag.by < 0) << after.toString();
        if (drag.by == -500)
        {
            EXPECT_EQ (after.getWidth(), CalbrixAudioProcessorEditor::minimumWidth);
        }
    }
}
