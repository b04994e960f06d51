// The page as the user meets it, in the real web view on a real processor: controls built from
// what the processor declares, double-click resets, the model status after a restored state,
// presets picked again, the page's own lists, no text selected by a drag, knobs that grow.
#include "EditorPageFixture.h"

using namespace calbrix_editor_test;

namespace
{
    // The page says "init" again every 4 s and a restored model loads in well under 1 s: the status
    // of a restored state shows within 5 s idle.
    constexpr int restoredStateShownMs = 10 * (4000 + 1000);

    // One xdotool run: ~10 ms idle.
    constexpr int xdotoolMs = 10000;

    bool xdotool (const juce::StringArray& arguments)
    {
        juce::StringArray command { "xdotool" };
        command.addArray (arguments);
        juce::ChildProcess process;
        return process.start (command) && process.waitForProcessToFinish (xdotoolMs) && process.getExitCode() == 0;
    }

    juce::String keyOn (const juce::String& selector, const juce::String& key)
    {
        return "document.querySelector('" + selector + "').dispatchEvent(new KeyboardEvent('keydown', { key: '"
               + key + "', bubbles: true }))";
    }

    juce::String doubleClickOn (const juce::String& parameter)
    {
        return "document.querySelector('[data-parameter=" + parameter + "]')"
               ".dispatchEvent(new MouseEvent('dblclick', { bubbles: true }))";
    }

    juce::String modelFile (const juce::String& name)
    {
        const auto target = calbrix_test::dataDirectory().getChildFile ("models").getChildFile (name);
        target.getParentDirectory().createDirectory();
        return calbrix_test::exampleModel (name).copyFileTo (target) ? name : juce::String();
    }

    const juce::String modelStatus = "document.getElementById('model-status').textContent";
} // namespace

TEST_F (EditorWithPage, TheControlsAreThoseTheProcessorDeclaresInItsOrder)
{
    // Each control: its parameter and range, per panel, as the page shows them.
    const auto shown = [this] (const juce::String& panel, const juce::String& what)
    {
        return evaluate ("[...document.querySelectorAll('#" + panel + " [data-parameter]')].map((e) => " + what + ").join()").toString();
    };
    const juce::String idAndRange = "[e.dataset.parameter, e.getAttribute('aria-valuemin'), e.getAttribute('aria-valuemax')].join(':')";

    // The processor's float parameters, in the order of its state tree.
    juce::StringArray knobs, faders;
    for (const auto& child : processor.parameters.state)
    {
        const auto id = child.getProperty ("id").toString();
        if (auto* parameter = dynamic_cast<juce::AudioParameterFloat*> (processor.parameters.getParameter (id)))
        {
            const auto entry = id + ":" + juce::String (juce::roundToInt (parameter->range.start)) + ":"
                               + juce::String (juce::roundToInt (parameter->range.end));
            (id.endsWith ("_gain") ? faders : knobs).add (entry);
        }
    }
    ASSERT_EQ (knobs.size() + faders.size(), 8);
    EXPECT_TRUE (pageShows ("document.querySelectorAll('[data-parameter]').length", 8));
    EXPECT_EQ (shown ("macros", idAndRange), knobs.joinIntoString (","));
    EXPECT_EQ (shown ("mix", idAndRange), faders.joinIntoString (","));
    EXPECT_EQ (knobs.joinIntoString (","), "p1:0:1,p2:0:1,p3:0:1,p4:0:1");
    EXPECT_EQ (shown ("macros", "e.getAttribute('aria-label')"), "P1,P2,P3,P4");
    EXPECT_EQ (shown ("mix", "e.getAttribute('aria-label')"), "Dry,Input,Output,Wet");

    // A processor that declares more gets more: the page builds what the list says, not a list of
    // its own (checked in the same script, before the next "init" brings the real list back).
    const auto withAnother =
        "(() => { receiveMessageFromJuce({ eventType: 'Plugin::parameterMetadata', data: ["
        " { id: 'p1', type: 'float', label: '', min: 0, max: 1, step: 0.01, default: 0.5 },"
        " { id: 'model_path' },"
        " { id: 'drive', type: 'float', label: 'dB', min: -12, max: 12, step: 0.5, default: 3 } ] });"
        " return [...document.querySelectorAll('[data-parameter]')].map((e) =>"
        "  `${e.dataset.parameter}=${e.querySelector('.readout').textContent}`).join(); })()";
    EXPECT_EQ (evaluate (withAnother), juce::var ("p1=0.50,drive=3.0 dB"));
    // The next "init" gives the processor's own list again.
    EXPECT_TRUE (pageShows ("document.querySelectorAll('[data-parameter]').length", 8));
}

TEST_F (EditorWithPage, DoubleClickResetsToTheDeclaredDefaultThenToTheLoadedModels)
{
    struct Case { const char* parameter; float declared, model; const char* nudge; };
    // drive_tone.pt gives P2 0.70 and the dry level 0.
    const Case cases[] = { { "p2", 0.5f, 0.7f, "ArrowUp" }, { "dry_gain", 0.5f, 0.0f, "ArrowUp" } };

    const auto nudgeThenReset = [this] (const Case& c, float from)
    {
        evaluate (keyOn ("[data-parameter=" + juce::String (c.parameter) + "]", c.nudge));
        EXPECT_TRUE (processorReaches (c.parameter, from + 0.01f));
        evaluate (doubleClickOn (c.parameter));
    };

    ASSERT_TRUE (pageShows ("document.querySelectorAll('[data-parameter]').length", 8));
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.parameter);
        nudgeThenReset (c, c.declared);
        EXPECT_TRUE (processorReaches (c.parameter, c.declared)) << "before any load";
    }

    ASSERT_EQ (modelFile ("drive_tone.pt"), "drive_tone.pt");
    evaluate ("document.getElementById('model-refresh').click()");
    ASSERT_TRUE (pageShows (listEntries ("model-select"), "drive_tone.pt"));
    ASSERT_EQ (evaluate (pickFromList ("model-select", "drive_tone.pt")), juce::var ("picked"));
    ASSERT_TRUE (processorReaches ("p2", 0.7f));
    ASSERT_TRUE (calbrix_test::waitForLoadingIdle (processor));
    ASSERT_TRUE (pageShows (modelStatus, "Ready"));

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.parameter);
        nudgeThenReset (c, c.model);
        EXPECT_TRUE (processorReaches (c.parameter, c.model)) << "after the model's load";
    }
}

TEST_F (EditorWithPage, AStateRestoredWithItsModelShowsHowThatModelLoaded)
{
    struct Case { const char* model; const char* status; const char* shown; };
    const Case cases[] = {
        { "defaults.pt", "Ready", "defaults.pt" },
        { "not_torchscript.pt", "Load failed", "not_torchscript.pt (failed to load)" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.model);
        calbrix_test::installFixture (c.model);

        // A state saved with the model in it, as Options -> "Save current state..." writes it.
        juce::MemoryBlock saved;
        {
            CalbrixAudioProcessor other;
            other.parameters.setCustomParamValue ("model_path", c.model, custom);
            ASSERT_TRUE (calbrix_test::waitForLoadingIdle (other));
            other.getStateInformation (saved);
            other.loadingPool->removeAllJobs (true, waits::modelLoadMs);
        }
        calbrix_test::dismissAlertWindows();

        // Options -> "Load a saved state...".
        processor.setStateInformation (saved.getData(), static_cast<int> (saved.getSize()));
        listenForReports(); // the rebuilt router took the web view's messages over
        ASSERT_TRUE (calbrix_test::waitForLoadingIdle (processor));
        calbrix_test::dismissAlertWindows();

        EXPECT_TRUE (pageShows (modelStatus, c.status, restoredStateShownMs));
        EXPECT_TRUE (pageShows (shownInList ("model-select"), c.shown));
    }
}

TEST_F (EditorWithPage, PickingThePresetShownLoadsItAgain)
{
    setNormalised ("p3", 0.8f);
    ASSERT_TRUE (pageShows (readout ("p3"), "0.80"));
    evaluate ("(() => { document.getElementById('preset-name').value = 'Crunchy lead';"
              " document.getElementById('preset-save').click(); })()");
    ASSERT_TRUE (pageShows (shownInList ("preset-select"), "Crunchy lead"));

    // Each time after changes, the preset the list shows is the way back to it.
    for (const float changed : { 0.2f, 0.35f })
    {
        SCOPED_TRACE (changed);
        setNormalised ("p3", changed);
        ASSERT_TRUE (processorReaches ("p3", changed));
        ASSERT_TRUE (pageShows (readout ("p3"), juce::String (changed, 2)));
        EXPECT_EQ (evaluate (pickFromList ("preset-select", "Crunchy lead")), juce::var ("picked"));
        EXPECT_TRUE (processorReaches ("p3", 0.8f));
        EXPECT_TRUE (pageShows (shownInList ("preset-select"), "Crunchy lead"));
    }
}

TEST_F (EditorWithPage, TheListsAreThePagesOwnDarkAndWorkFromTheKeyboard)
{
    calbrix_test::installFixture ("defaults.pt");
    calbrix_test::installFixture ("identity.pt");
    evaluate ("document.getElementById('model-refresh').click()");
    ASSERT_TRUE (pageShows (listEntries ("model-select"), "defaults.pt,identity.pt"));
    EXPECT_EQ (evaluate ("document.querySelectorAll('select').length"), juce::var (0)) << "a native list opens the toolkit's light popup";

    const juce::String opener = "#model-select [role=combobox]";
    const auto expanded = "document.querySelector('" + opener + "').getAttribute('aria-expanded')";
    // The relative luminance of an element's computed colour property.
    const auto luminance = [this] (const juce::String& selector, const juce::String& property)
    {
        return static_cast<double> (evaluate (
            "(() => { const [r, g, b] = getComputedStyle(document.querySelector('" + selector + "'))." + property
            + ".match(/[\\d.]+/g).map(Number).map((c) => c / 255).map((c) => c <= 0.03928 ? c / 12.92 : ((c + 0.055) / 1.055) ** 2.4);"
              " return 0.2126 * r + 0.7152 * g + 0.0722 * b; })()"));
    };

    evaluate ("document.querySelector('" + opener + "').focus()");
    evaluate (keyOn (opener, "ArrowDown"));
    ASSERT_EQ (evaluate (expanded), juce::var ("true"));
    EXPECT_LT (luminance ("#model-select [role=listbox]", "backgroundColor"), 0.05);
    EXPECT_GT (luminance ("#model-select [role=option]", "color"), 0.5);

    // Escape leaves without a pick.
    evaluate (keyOn (opener, "ArrowDown"));
    evaluate (keyOn (opener, "Escape"));
    EXPECT_EQ (evaluate (expanded), juce::var ("false"));
    calbrix_test::pumpMessagesFor (200);
    EXPECT_EQ (processor.parameters.getCustomParamValue ("model_path", custom).toString(), "");

    // Enter opens, the arrow goes to the second entry, Enter picks it.
    evaluate (keyOn (opener, "Enter"));
    evaluate (keyOn (opener, "ArrowDown"));
    evaluate (keyOn (opener, "Enter"));
    EXPECT_EQ (evaluate (expanded), juce::var ("false"));
    EXPECT_TRUE (pumpMessagesUntil ([this] { return processor.parameters.getCustomParamValue ("model_path", custom).toString() == "identity.pt"; },
                                    waits::pageAnswerMs));
    EXPECT_TRUE (pageShows (shownInList ("model-select"), "identity.pt"));
    ASSERT_TRUE (calbrix_test::waitForLoadingIdle (processor));
}

TEST_F (EditorWithPage, ADragAcrossThePageSelectsNoText)
{
    // From the bottom of the mix panel's title up across the knobs' labels and readouts, with the
    // real pointer, as a user's drag that misses the controls.
    ASSERT_TRUE (pageShows ("document.querySelectorAll('#macros .readout').length", 4));
    const auto from = evaluate ("(() => { const r = document.querySelector('section[aria-label=Mix] .panel-title').getBoundingClientRect();"
                                " return [Math.round(r.left + 2), Math.round(r.bottom - 2)]; })()");
    const auto to = evaluate ("(() => { const r = document.querySelector('#macros .label').getBoundingClientRect();"
                              " return [Math.round(r.left), Math.round(r.top)]; })()");
    ASSERT_EQ (from.size(), 2);
    ASSERT_EQ (to.size(), 2);
    const auto origin = editor->getScreenPosition();
    const auto at = [&] (const juce::var& point) { return juce::StringArray { juce::String (origin.x + (int) point[0]), juce::String (origin.y + (int) point[1]) }; };
    const auto start = at (from), end = at (to);
    const auto middle = juce::StringArray { juce::String ((start[0].getIntValue() + end[0].getIntValue()) / 2),
                                            juce::String ((start[1].getIntValue() + end[1].getIntValue()) / 2) };

    ASSERT_TRUE (xdotool ({ "mousemove", start[0], start[1], "mousedown", "1" }));
    ASSERT_TRUE (xdotool ({ "mousemove", middle[0], middle[1] }));
    ASSERT_TRUE (xdotool ({ "mousemove", end[0], end[1], "mouseup", "1" }));
    calbrix_test::pumpMessagesFor (200);

    EXPECT_EQ (evaluate ("getSelection().toString()"), juce::var (""));
    // The preset's name stays text to edit.
    EXPECT_EQ (evaluate ("getComputedStyle(document.getElementById('preset-name')).webkitUserSelect"), juce::var ("text"));
}

TEST_F (EditorWithPage, TheKnobsGrowWithTheWindow)
{
    const auto dialAt = [this] (int width, int height)
    {
        window.setSize (width, height);
        EXPECT_TRUE (pageShows ("innerWidth + 'x' + innerHeight", juce::String (width) + "x" + juce::String (height)));
        EXPECT_TRUE (pageShows ("document.querySelectorAll('.knob .dial').length", 4));
        return static_cast<double> (evaluate ("Math.min(...[...document.querySelectorAll('.knob .dial')].map((d) => d.getBoundingClientRect().height))"));
    };

    const auto opening = dialAt (690, 750);
    const auto large = dialAt (1104, 1200);
    // The window is 1.6 times as large: the knobs are nearly that much larger too.
    EXPECT_GT (opening, 0.0);
    EXPECT_GE (large, 0.9 * 1.6 * opening) << "dials " << opening << " and " << large << " px high";
}
