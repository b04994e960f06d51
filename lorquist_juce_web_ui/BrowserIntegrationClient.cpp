#include "BrowserIntegrationClient.h"

namespace lorquist::BrowserIntegration
{
    BrowserIntegrationClient::BrowserIntegrationClient (juce::String name, BrowserIntegration& router)
        : clientName (std::move (name)),
          browserIntegration (router)
    {
    }

    juce::String BrowserIntegrationClient::fullEventName (const juce::String& eventName) const
    {
        return clientName + "::" + eventName;
    }

    void BrowserIntegrationClient::registerBrowserCallback (juce::String eventName, BrowserIntegration::EventCallback callback)
    {
        browserIntegration.eventCallbacks[fullEventName (eventName)].push_back (std::move (callback));
    }

    void BrowserIntegrationClient::sendEventToBrowser (juce::String eventName, juce::var data)
    {
        browserIntegration.sendEventToBrowser (fullEventName (eventName), std::move (data));
    }
} // namespace lorquist::BrowserIntegration
