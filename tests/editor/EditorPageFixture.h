#pragma once

// The editor with the page the application ships, in the real web view under Xvfb, on a real
// processor; the test reads and drives the page through scripts of its own.
#include "WebViewTestSupport.h"

#include "PluginEditor.h"

namespace calbrix_editor_test
{
    using namespace calbrix_webview_test;
    using calbrix_test::pumpMessagesUntil;

    inline constexpr auto custom = ParameterManager::PARAMX;

    inline std::unique_ptr<CalbrixAudioProcessorEditor> makeEditor (CalbrixAudioProcessor& processor)
    {
        return std::unique_ptr<CalbrixAudioProcessorEditor> (dynamic_cast<CalbrixAudioProcessorEditor*> (processor.createEditor()));
    }

    struct EditorWithPage : ::testing::Test
    {
        CalbrixAudioProcessor processor;
        HostWindow window;
        std::unique_ptr<CalbrixAudioProcessorEditor> editor = makeEditor (processor);
        std::vector<juce::var> reports; // what the test's own scripts post back from the page
        int nextQuery = 0;

        void SetUp() override
        {
            ASSERT_NE (editor, nullptr);
            listenForReports();
            window.setSize (CalbrixAudioProcessorEditor::initialWidth, CalbrixAudioProcessorEditor::initialHeight);
            window.addAndMakeVisible (*editor);
            ASSERT_TRUE (pumpMessagesUntil ([this] { return editor->getBrowserIntegration().pageReady.load(); }, waits::pageStartMs))
                << "the page never said it was ready";
        }

        void TearDown() override
        {
            editor.reset();
            processor.loadingPool->removeAllJobs (true, waits::modelLoadMs);
        }

        // Messages named "test::..." come to the test; everything else goes on to the editor's router.
        void listenForReports()
        {
            auto& browser = editor->getBrowser();
            auto routed = browser.onMessage;
            browser.onMessage = [this, routed] (juce::var message)
            {
                if (message["eventType"].toString().startsWith ("test::"))
                    reports.push_back (message);
                else if (routed)
                    routed (message);
            };
        }

        std::vector<juce::var> reportsNamed (const juce::String& eventType) const
        {
            std::vector<juce::var> found;
            for (auto& report : reports)
                if (report["eventType"].toString() == eventType)
                    found.push_back (juce::JSON::parse (report["data"].toString()));
            return found;
        }

        // The value of a script expression in the page (a promise is awaited), through JSON.
        juce::var evaluate (const juce::String& expression)
        {
            const auto id = ++nextQuery;
            editor->getBrowser().goToURL (
                "javascript:Promise.resolve().then(() => (" + expression + ")).then((value) =>"
                " window.webkit.messageHandlers.juce.postMessage({ eventType: 'test::result',"
                " data: JSON.stringify({ id: " + juce::String (id) + ", value: value === undefined ? null : value }) }))");

            juce::var value;
            const bool answered = pumpMessagesUntil ([&]
            {
                for (auto& result : reportsNamed ("test::result"))
                    if (static_cast<int> (result["id"]) == id)
                    {
                        value = result["value"];
                        return true;
                    }
                return false;
            }, waits::pageAnswerMs);
            EXPECT_TRUE (answered) << expression;
            return value;
        }

        bool pageShows (const juce::String& expression, const juce::var& expected, int timeoutMs = waits::pageAnswerMs)
        {
            juce::var seen;
            const bool shown = pumpMessagesUntil ([&] { return (seen = evaluate (expression)) == expected; }, timeoutMs);
            if (! shown)
                ADD_FAILURE() << expression << " shows " << seen.toString() << ", expected " << expected.toString();
            return shown;
        }

        // Script: opens the page's list `listId` and clicks its entry `value`, as the user does;
        // gives "picked", or "no such entry".
        static juce::String pickFromList (const juce::String& listId, const juce::String& value)
        {
            return "(() => { const list = document.getElementById('" + listId + "');"
                   " list.querySelector('[role=combobox]').click();"
                   " const entry = [...list.querySelectorAll('[role=option]')].find((o) => o.dataset.value === "
                   + juce::JSON::toString (value) + ");"
                   " if (!entry) return 'no such entry'; entry.click(); return 'picked'; })()";
        }

        // Script: the values of the entries of the page's list `listId`, joined by ",".
        static juce::String listEntries (const juce::String& listId)
        {
            return "[...document.querySelectorAll('#" + listId + " [role=option]:not(.dropdown-empty)')]"
                   ".map((o) => o.dataset.value).join()";
        }

        // Script: the text the list `listId` shows while closed.
        static juce::String shownInList (const juce::String& listId)
        {
            return "document.querySelector('#" + listId + " .dropdown-value').textContent";
        }

        static juce::String readout (const juce::String& parameter)
        {
            return "document.querySelector('[data-parameter=" + parameter + "] .readout').textContent";
        }

        bool processorReaches (const juce::String& parameter, float value, int timeoutMs = waits::pageAnswerMs)
        {
            return pumpMessagesUntil ([&] { return std::abs (calbrix_test::parameterValue (processor, parameter) - value) < 1.0e-4f; },
                                      timeoutMs);
        }

        void setNormalised (const juce::String& parameter, float value)
        {
            processor.parameters.getParameter (parameter)->setValueNotifyingHost (value);
        }
    };
} // namespace calbrix_editor_test
