// Values a hostile page may post: cycles, heavily shared structures and sheer numbers of values.
// Each is turned into something bounded or dropped, and the next message still arrives. A long
// text (a file the page saves) arrives whole. Real WebKitGTK under Xvfb.
#include "WebViewTestSupport.h"

#include "PostedValueConversion.h"

using namespace calbrix_webview_test;
using calbrix_test::pumpMessagesUntil;

namespace
{
    struct RecordingView : calbrix_webview::WebViewComponent
    {
        void scriptMessageReceived (juce::var message) override { messages.push_back (message); }

        juce::var find (const juce::String& kind) const
        {
            for (auto& m : messages)
                if (m["kind"].toString() == kind)
                    return m;
            return {};
        }

        std::vector<juce::var> messages;
    };

    const juce::String droppedLine = "web view: a message the page posted was dropped";
} // namespace

TEST (PostedValueLimits, CyclesBecomeVoidSharingIsKeptAndOversizeMessagesAreDropped)
{
    CapturedErrorDescriptor childErrors; // the child writes its error lines here
    HostWindow window;
    PageFolder pages;
    RecordingView view;
    window.addAndMakeVisible (view);
    window.resized();

    // The message and its two members are three values; the array's elements, holes and all, are
    // the rest. Holes make a long array cheap to build and to carry.
    const auto mostElements = juce::String (calbrix_webview::maxPostedValues - 3);
    const auto tooManyElements = juce::String (calbrix_webview::maxPostedValues - 2);

    view.goToURL (fileUrl (pages.write ("page.html", pageRunning (
        "var o = {}; o.a = o; o.b = o;"
        "post({ kind: 'cycle', value: o });"
        "var list = ['first']; list.push(list); list.push({ back: list });"
        "post({ kind: 'array cycle', value: list });"
        // Shared but not cyclic: each place gets its own copy.
        "var s = { v: 1 };"
        "post({ kind: 'shared', a: s, b: [s, s] });"
        // 2^16 leaves from 17 objects: expanded, far more values than any message carries.
        "var dag = 'leaf'; for (var i = 0; i < 16; ++i) dag = { l: dag, r: dag };"
        "post({ kind: 'dag', value: dag });"
        "post({ kind: 'most values', value: new Array(" + mostElements + ") });"
        "post({ kind: 'too many values', value: new Array(" + tooManyElements + ") });"
        "post({ kind: 'after' });"))));

    ASSERT_TRUE (pumpMessagesUntil ([&] { return view.find ("cycle").isObject(); }, waits::pageStartMs))
        << "the page did not start";
    ASSERT_TRUE (pumpMessagesUntil ([&] { return view.find ("after").isObject(); }, waits::largeMessageMs))
        << "the message after the hostile ones never arrived";

    const auto cycle = view.find ("cycle")["value"];
    ASSERT_TRUE (cycle.isObject());
    EXPECT_TRUE (cycle["a"].isVoid());
    EXPECT_TRUE (cycle["b"].isVoid());

    const auto list = view.find ("array cycle")["value"];
    ASSERT_TRUE (list.isArray());
    ASSERT_EQ (list.size(), 3);
    EXPECT_EQ (list[0], juce::var ("first"));
    EXPECT_TRUE (list[1].isVoid());
    EXPECT_TRUE (list[2]["back"].isVoid());

    const auto shared = view.find ("shared");
    EXPECT_EQ (shared["a"]["v"], juce::var ("1"));
    ASSERT_EQ (shared["b"].size(), 2);
    EXPECT_EQ (shared["b"][0]["v"], juce::var ("1"));
    EXPECT_EQ (shared["b"][1]["v"], juce::var ("1"));

    const auto most = view.find ("most values")["value"];
    ASSERT_TRUE (most.isArray()) << "a message of as many values as allowed was dropped";
    EXPECT_EQ (most.size(), calbrix_webview::maxPostedValues - 3);

    for (auto* kind : { "dag", "too many values" })
        EXPECT_TRUE (view.find (kind).isVoid()) << kind << " should have been dropped";

    // One error line per dropped message, written by the child.
    const auto droppedLines = [&]
    {
        const auto text = childErrors.text();
        return (text.length() - text.replace (droppedLine, "").length()) / droppedLine.length();
    };
    EXPECT_TRUE (pumpMessagesUntil ([&] { return droppedLines() >= 2; }, waits::pageAnswerMs));
    calbrix_test::pumpMessagesFor (200);
    EXPECT_EQ (droppedLines(), 2);
}

TEST (PostedValueLimits, LongTextsArriveWhole)
{
    CapturedErrorDescriptor childErrors;
    HostWindow window;
    PageFolder pages;
    RecordingView view;
    window.addAndMakeVisible (view);
    window.resized();

    // Beyond what a constant picked for presets allowed (64 MiB): a page saving a model it fetched.
    constexpr int length = 65 * 1024 * 1024;
    view.goToURL (fileUrl (pages.write ("page.html", pageRunning (
        "post({ kind: 'long', value: 'x'.repeat(" + juce::String (length) + ") + 'end' });"
        "post({ kind: 'after' });"))));

    ASSERT_TRUE (pumpMessagesUntil ([&] { return view.find ("after").isObject(); }, waits::largeMessageMs));
    const auto text = view.find ("long")["value"].toString();
    EXPECT_EQ (text.length(), length + 3);
    EXPECT_TRUE (text.endsWith ("end"));
    EXPECT_TRUE (text.dropLastCharacters (3).containsOnly ("x"));
    EXPECT_FALSE (childErrors.text().contains (droppedLine));
}
