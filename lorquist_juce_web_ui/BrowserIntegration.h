#pragma once

#include "BrowserComponent.h"

#include <juce_core/juce_core.h>

#include <atomic>
#include <functional>
#include <unordered_map>
#include <vector>

namespace lorquist::BrowserIntegration
{
    // The one place where the page and the native side meet. Every page message reaches `dispatch`
    // through the browser component and is handed to the callbacks registered under its "eventType";
    // every native event leaves through `sendEventToBrowser` as a call of the page's receiving
    // function with {"eventType": name, "data": payload}.
    class BrowserIntegration
    {
    public:
        using EventCallback = std::function<void (juce::var)>;

        // Installs the dispatch as the component's `onMessage`, replacing any earlier router's.
        // The component must outlive every page message this router handles.
        explicit BrowserIntegration (BrowserComponent& browserComponent);
        virtual ~BrowserIntegration();

        // Runs the page's receiving function with the event at once, whether or not the page is ready;
        // a page that is not loaded loses it. Virtual so that a test can watch what leaves without a page.
        virtual void sendEventToBrowser (juce::String eventType, juce::var data);

        // The event as the page receives it: "eventType" first, "data" second, all on one line.
        static juce::String toPageEventJson (const juce::String& eventType, const juce::var& data);

        // What sendEventToBrowser does, without a router: for a sender that has outlived the one it
        // worked with while the page stays (the editor replaces its router on a restored state).
        static void sendEventToPage (BrowserComponent& page, const juce::String& eventType, const juce::var& data);

        BrowserComponent& getBrowserComponent() const noexcept { return browserComponent; }

        // Calls the callbacks registered under the message's "eventType", each with the message's "data".
        void dispatch (const juce::var& message);

    private:
        friend class BrowserIntegrationClient;

        // Full event name (exact, case-sensitive) -> callbacks in registration order; never shrinks.
        std::unordered_map<juce::String, std::vector<EventCallback>> eventCallbacks;
        BrowserComponent& browserComponent;

    public:
        // Set once the page has said it is ready (the plug-in client's "init"); only the state mirror
        // waits for it. Never cleared: a new router starts anew.
        std::atomic<bool> pageReady { false };

    private:
        JUCE_DECLARE_WEAK_REFERENCEABLE (BrowserIntegration)
        JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (BrowserIntegration)
    };
} // namespace lorquist::BrowserIntegration
