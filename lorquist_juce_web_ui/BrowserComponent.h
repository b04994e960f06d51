#pragma once

#include "WebViewComponent.h"

#include <juce_gui_extra/juce_gui_extra.h>

#include <functional>

namespace lorquist::BrowserIntegration
{
    // The web view that fills the editor: it loads the page shipped with the application and is the
    // one entry point for the page's messages, which arrive either posted to the "juce" handler or as
    // navigations to "juce://" followed by percent-escaped JSON. Both reach `onMessage` as a juce::var.
    class BrowserComponent : public calbrix_webview::WebViewComponent
    {
    public:
        // `host` and `query` name where a development server would serve the page; the page shipped
        // next to the executable is loaded whatever they hold. The preferences go to the engine.
        BrowserComponent (juce::String host, juce::String query, calbrix_webview::WebViewPreferences preferences);
        ~BrowserComponent() override;

        bool pageAboutToLoad (const juce::String& url) override;
        void scriptMessageReceived (juce::var message) override;

        // The page: "index.html" in the "public" folder beside the executable.
        static juce::File getPageFile();

        // The page's own background (its stylesheet's "--bg"): shown from the view's first frame,
        // before the page has painted, so the window never flashes another colour.
        static constexpr juce::uint32 pageBackgroundArgb = 0xff0b0d10;

        // Assigned by the event router; every page message goes here.
        std::function<void (juce::var)> onMessage;
        // A navigation whose URL starts with this carries a page message instead of a page.
        juce::String messageUrlPrefix { "juce://" };
        // The page's global function that native events are delivered to.
        juce::String receiveFunctionName { "receiveMessageFromJuce" };

    private:
        JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (BrowserComponent)
    };
} // namespace lorquist::BrowserIntegration
