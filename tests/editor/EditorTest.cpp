// The editor with the page the application ships, in the real web view, on a real processor: what
// the user sees of the processor, what the page's controls do to it, the model-loading notice and
// the bridge rebuilt after a whole-state restore.
#include "EditorPageFixture.h"

#include <thread>

using namespace calbrix_editor_test;

TEST (EditorSize, OpensAt690By750AndKeepsItsShapeWhenResized)
{
    CalbrixAudioProcessor processor;
    auto editor = makeEditor (processor);
    ASSERT_NE (editor, nullptr);

    EXPECT_EQ (editor->getWidth(), 690);
    EXPECT_EQ (editor->getHeight(), 750);
    EXPECT_TRUE (editor->isResizable());
    EXPECT_TRUE (editor->isOpaque());

    auto* rules = editor->getConstrainer();
    ASSERT_NE (rules, nullptr);
    for (const auto asked : { juce::Rectangle<int> (0, 0, 1000, 500), juce::Rectangle<int> (0, 0, 100, 100),
                              juce::Rectangle<int> (0, 0, 2000, 2000), juce::Rectangle<int> (0, 0, 345, 375) })
    {
        SCOPED_TRACE (asked.toString());
        auto bounds = asked;
        rules->checkBounds (bounds, editor->getBounds(), { 0, 0, 4000, 4000 }, false, false, true, true);
        EXPECT_GE (bounds.getWidth(), 345);
        EXPECT_GE (bounds.getHeight(), 375);
        EXPECT_NEAR (bounds.getWidth() / (double) bounds.getHeight(), 0.92, 0.01);
    }

    // The page covers the editor wherever the window puts the editor.
    editor->setBounds (10, 40, 690, 750);
    EXPECT_EQ (editor->getBrowser().getBounds(), juce::Rectangle<int> (0, 0, 690, 750));
}

TEST_F (EditorWithPage, PageShowsTheProcessorAndItsControlsMoveIt)
{
    setNormalised ("p2", 0.25f);
    setNormalised ("output_gain", 0.25f);
    EXPECT_TRUE (pageShows (readout ("p2"), "0.25"));
    EXPECT_TRUE (pageShows (readout ("output_gain"), "-15.0 dB"));
    EXPECT_TRUE (pageShows ("document.querySelector('.meta #version').textContent", "v1.5.0"));

    // The user steps P1 up with the keyboard and sends the wet fader to its end.
    evaluate ("['ArrowUp', 'ArrowUp'].forEach((key) => document.querySelector('[data-parameter=p1]')"
              ".dispatchEvent(new KeyboardEvent('keydown', { key, bubbles: true })))");
    EXPECT_TRUE (processorReaches ("p1", 0.52f));
    evaluate ("document.querySelector('[data-parameter=wet_gain]').dispatchEvent(new KeyboardEvent('keydown', { key: 'Home', bubbles: true }))");
    EXPECT_TRUE (processorReaches ("wet_gain", 0.0f));
    EXPECT_TRUE (pageShows (readout ("wet_gain"), "0 %"));
}

TEST_F (EditorWithPage, PickingAModelOnThePageLoadsItAndShowsItsDefaults)
{
    calbrix_test::installFixture ("defaults.pt");
    evaluate ("document.getElementById('model-refresh').click()");
    ASSERT_TRUE (pageShows (listEntries ("model-select"), "defaults.pt"));

    EXPECT_EQ (evaluate (pickFromList ("model-select", "defaults.pt")), juce::var ("picked"));

    EXPECT_TRUE (processorReaches ("p1", 0.1f, waits::modelLoadMs));
    // Picking a new file may load it twice; look once the loads are done.
    ASSERT_TRUE (calbrix_test::waitForLoadingIdle (processor));
    EXPECT_TRUE (processor.model->loaded.load());
    EXPECT_EQ (processor.parameters.getCustomParamValue ("model_path", custom).toString(), "defaults.pt");
    EXPECT_TRUE (pageShows (readout ("p4"), "0.40"));
    EXPECT_TRUE (pageShows ("document.getElementById('model-status').textContent", "Ready"));
}

TEST_F (EditorWithPage, AFailedLoadIsShownAsFailedAndNotAsReady)
{
    calbrix_test::installFixture ("not_torchscript.pt");
    calbrix_test::installFixture ("defaults.pt");
    evaluate ("document.getElementById('model-refresh').click()");
    ASSERT_TRUE (pageShows (listEntries ("model-select"), "defaults.pt,not_torchscript.pt"));

    const auto pick = [this] (const juce::String& name)
    {
        EXPECT_EQ (evaluate (pickFromList ("model-select", name)), juce::var ("picked"));
    };
    const juce::String status = "document.getElementById('model-status').textContent";
    const auto shownOption = shownInList ("model-select");

    // The message line shows each message only for a while: keep what it showed.
    evaluate ("(() => { window.shownMessages = []; const line = document.getElementById('message');"
              " new MutationObserver(() => shownMessages.push(line.textContent)).observe(line, { childList: true }); })()");

    pick ("not_torchscript.pt");
    ASSERT_TRUE (calbrix_test::pumpMessagesUntil ([this] { return ! calbrix_test::dismissAlertWindows().isEmpty(); }, waits::modelLoadMs))
        << "no native notice of the failure";
    ASSERT_TRUE (calbrix_test::waitForLoadingIdle (processor));
    EXPECT_FALSE (processor.model->loaded.load());
    EXPECT_TRUE (pageShows (status, "Load failed"));
    EXPECT_TRUE (pageShows (shownOption, "not_torchscript.pt (failed to load)"));
    EXPECT_TRUE (pageShows ("shownMessages.some((m) => m.includes('not_torchscript.pt') && m.endsWith('could not be loaded.'))", true));
    calbrix_test::dismissAlertWindows(); // the second load of the same pick

    // A model that loads is ready again.
    pick ("defaults.pt");
    ASSERT_TRUE (calbrix_test::waitForLoadingIdle (processor));
    EXPECT_TRUE (processor.model->loaded.load());
    EXPECT_TRUE (pageShows (status, "Ready"));
    EXPECT_TRUE (pageShows (shownOption, "defaults.pt"));
}

TEST_F (EditorWithPage, PresetsGoToThePresetsFolderAndComeBack)
{
    setNormalised ("p3", 0.8f);
    ASSERT_TRUE (pageShows (readout ("p3"), "0.80"));

    evaluate ("(() => { document.getElementById('preset-name').value = 'Bright / wide';"
              " document.getElementById('preset-save').click(); })()");
    const auto file = calbrix_test::dataDirectory().getChildFile ("presets/Bright   wide.json");
    ASSERT_TRUE (pumpMessagesUntil ([&] { return file.existsAsFile(); }, waits::pageAnswerMs));
    const auto saved = juce::JSON::parse (file.loadFileAsString());
    EXPECT_NEAR (static_cast<double> (saved["parameters"]["p3"]), 0.8, 1.0e-6);

    setNormalised ("p3", 0.2f);
    ASSERT_TRUE (pageShows (readout ("p3"), "0.20"));
    ASSERT_TRUE (pageShows (listEntries ("preset-select"), "Bright   wide"));
    EXPECT_EQ (evaluate (pickFromList ("preset-select", "Bright   wide")), juce::var ("picked"));
    EXPECT_TRUE (processorReaches ("p3", 0.8f));
}

TEST_F (EditorWithPage, ModelLoadingNoticeReachesThePageInOrderFromAnyThread)
{
    evaluate ("(() => { const original = window.receiveMessageFromJuce; window.receiveMessageFromJuce = (event) => {"
              " if (event.eventType === 'is_model_loading') window.webkit.messageHandlers.juce.postMessage("
              "   { eventType: 'test::notice', data: JSON.stringify(event) });"
              " original(event); }; })()");

    std::thread worker ([this]
    {
        processor.parameters.setCustomParamValue ("is_model_loading", true, custom);
        processor.parameters.setCustomParamValue ("is_model_loading", false, custom);
    });
    worker.join();

    // A value that is not a bool, and another child's change, give no notice.
    processor.parameters.setCustomParamValue ("is_model_loading", "1", custom);
    processor.parameters.setCustomParamValue ("model_id", 5, custom);
    processor.parameters.setCustomParamValue ("is_model_loading", true, custom);

    ASSERT_TRUE (pumpMessagesUntil ([this] { return reportsNamed ("test::notice").size() >= 3; }, waits::pageAnswerMs));
    calbrix_test::pumpMessagesFor (300);

    const auto notices = reportsNamed ("test::notice");
    ASSERT_EQ (notices.size(), 3u);
    const bool expected[] = { true, false, true };
    for (size_t i = 0; i < 3; ++i)
    {
        SCOPED_TRACE (i);
        EXPECT_EQ (notices[i]["eventType"], juce::var ("is_model_loading"));
        EXPECT_TRUE (notices[i]["data"].isBool());
        EXPECT_EQ (static_cast<bool> (notices[i]["data"]), expected[i]);
    }
}

TEST_F (EditorWithPage, AfterAWholeStateRestoreThePageFollowsTheNewTree)
{
    juce::MemoryBlock saved;
    {
        CalbrixAudioProcessor other;
        other.parameters.getParameter ("p4")->setValueNotifyingHost (0.9f);
        other.getStateInformation (saved);
        other.loadingPool->removeAllJobs (true, waits::modelLoadMs);
    }

    processor.setStateInformation (saved.getData(), static_cast<int> (saved.getSize()));
    listenForReports(); // the rebuilt router took the web view's messages over

    // The new bridge waits for the page to say again that it is ready; the page does so by itself.
    EXPECT_FALSE (editor->getBrowserIntegration().pageReady.load());
    EXPECT_TRUE (pageShows (readout ("p4"), "0.90", waits::pageStartMs));
    EXPECT_TRUE (editor->getBrowserIntegration().pageReady.load());

    // Changes of the new tree reach the page too.
    setNormalised ("p4", 0.3f);
    EXPECT_TRUE (pageShows (readout ("p4"), "0.30"));
}

TEST_F (EditorWithPage, NoticePostedJustBeforeTheEditorGoesIsDropped)
{
    processor.parameters.setCustomParamValue ("is_model_loading", true, custom);
    editor.reset();
    calbrix_test::pumpMessagesFor (200);
    SUCCEED();
}

TEST_F (EditorWithPage, EverythingFitsTheWindowFromTheSmallestEditorSizeUp)
{
    // With a message of the page's own on its line (a preset saved without a name, shown at once and
    // only for a while): every box of the page inside the window, the message line whole, the knobs
    // not squashed away.
    const juce::String layoutFaults =
        "(() => { document.getElementById('preset-name').value = ''; document.getElementById('preset-save').click();"
        " const faults = [];"
        " for (const e of document.body.querySelectorAll('*')) { const r = e.getBoundingClientRect();"
        "   if (r.width > 0 && (r.bottom > innerHeight + 0.5 || r.right > innerWidth + 0.5))"
        "     faults.push(`${e.tagName}.${e.className?.baseVal ?? e.className} ends at ${Math.round(r.right)},${Math.round(r.bottom)}`); }"
        " const line = document.getElementById('message');"
        " if (line.textContent === '') faults.push('no message shown'); else if (line.scrollHeight > line.clientHeight + 1) faults.push('message line cut');"
        " for (const d of document.querySelectorAll('.knob .dial')) if (d.getBoundingClientRect().height < 20) faults.push('dial squashed');"
        " return faults.join('; '); })()";

    const juce::Point<int> sizes[] = { { 345, 375 }, { 414, 450 }, { 690, 750 }, { 1104, 1200 } };
    for (const auto& size : sizes)
    {
        SCOPED_TRACE (size.toString());
        window.setSize (size.x, size.y);
        ASSERT_TRUE (pageShows ("innerWidth + 'x' + innerHeight", juce::String (size.x) + "x" + juce::String (size.y)));
        EXPECT_TRUE (pageShows (layoutFaults, ""));
    }
}

TEST_F (EditorWithPage, PageComesBackByItselfWhenItsProcessDiesAndIsGivenEverythingAgain)
{
    setNormalised ("p2", 0.25f);
    ASSERT_TRUE (pageShows (readout ("p2"), "0.25"));
    auto* router = &editor->getBrowserIntegration();
    const auto stateBefore = processor.parameters.state.toXmlString();

    // When the new page first says "init", a recorder goes into it ahead of the answers, so the test
    // sees what the page is given; the page itself knows nothing of it.
    auto& browser = editor->getBrowser();
    auto routed = browser.onMessage;
    bool recorderInstalled = false;
    browser.onMessage = [&, routed] (juce::var message)
    {
        if (! recorderInstalled && message["eventType"] == juce::var ("Plugin::init"))
        {
            recorderInstalled = true;
            browser.goToURL ("javascript:(() => { const original = window.receiveMessageFromJuce;"
                             " window.receiveMessageFromJuce = (event) => {"
                             "  const changes = (event.data && event.data.changes) || [];"
                             "  window.webkit.messageHandlers.juce.postMessage({ eventType: 'test::given', data: JSON.stringify({"
                             "   eventType: event.eventType, records: Array.isArray(event.data) ? event.data.length : 0,"
                             "   fullCopies: changes.filter((c) => atob(c).charCodeAt(0) === 2).length }) });"
                             "  original(event); }; })()");
        }
        if (message["eventType"].toString().startsWith ("test::"))
            reports.push_back (message);
        else if (routed)
            routed (message);
    };

    CapturedErrorDescriptor errors; // the web view's line about a child it leaves behind
    const auto pid = browser.getChildProcessId();
    killProcess (pid);
    ASSERT_TRUE (pumpMessagesUntil ([&] { const auto now = browser.getChildProcessId(); return now > 0 && now != pid; }, waits::childRestartMs));
    recorderInstalled = false;

    // The new page says "init" and is given the parameters, then the whole state.
    const auto given = [this] (const juce::String& eventType)
    {
        std::vector<juce::var> found;
        for (auto& event : reportsNamed ("test::given"))
            if (event["eventType"] == juce::var (eventType))
                found.push_back (event);
        return found;
    };
    ASSERT_TRUE (pumpMessagesUntil ([&] { return ! given ("valueTreeStateChange").empty(); }, waits::pageStartMs));
    ASSERT_FALSE (given ("Plugin::parameterMetadata").empty());
    EXPECT_EQ (static_cast<int> (given ("Plugin::parameterMetadata")[0]["records"]), 15);
    EXPECT_GE (static_cast<int> (given ("valueTreeStateChange")[0]["fullCopies"]), 1);
    EXPECT_TRUE (pageShows (readout ("p2"), "0.25"));

    // The same bridge serves it: nothing was rebuilt, and the processor is as it was.
    EXPECT_EQ (&editor->getBrowserIntegration(), router);
    EXPECT_TRUE (router->pageReady.load());
    EXPECT_EQ (processor.parameters.state.toXmlString(), stateBefore);
    EXPECT_TRUE (pumpMessagesUntil ([&] { return reapedOrLeftBehind (pid, errors.text()); }, waits::childEndMs));

    // And it works both ways again.
    evaluate ("document.querySelector('[data-parameter=p2]').dispatchEvent(new KeyboardEvent('keydown', { key: 'ArrowUp', bubbles: true }))");
    EXPECT_TRUE (processorReaches ("p2", 0.26f));
}
