#pragma once

#include "BrowserIntegration.h"

namespace lorquist::BrowserIntegration
{
    // A name space on the router: the client's events travel as "<client name>::<event name>" both
    // ways, so the plug-in client "Plugin" owns every event that starts with "Plugin::".
    class BrowserIntegrationClient
    {
    public:
        BrowserIntegrationClient (juce::String clientName, BrowserIntegration& browserIntegration);

        // Adds a callback for the page event "<client name>::<eventName>"; several may share a name
        // and run in registration order. Registrations last as long as the router.
        void registerBrowserCallback (juce::String eventName, BrowserIntegration::EventCallback callback);

        // Sends "<client name>::<eventName>" to the page.
        void sendEventToBrowser (juce::String eventName, juce::var data);

    protected:
        juce::String clientName;
        BrowserIntegration& browserIntegration;

    private:
        juce::String fullEventName (const juce::String& eventName) const;

        JUCE_DECLARE_NON_COPYABLE (BrowserIntegrationClient)
    };
} // namespace lorquist::BrowserIntegration
