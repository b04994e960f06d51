#include "BrowserIntegration.h"

namespace lorquist::BrowserIntegration
{
    namespace
    {
        const juce::Identifier eventTypeKey { "eventType" };
        const juce::Identifier dataKey { "data" };
    } // namespace

    BrowserIntegration::BrowserIntegration (BrowserComponent& component)
        : browserComponent (component)
    {
        browserComponent.onMessage = [this] (juce::var message) { dispatch (message); };
    }

    BrowserIntegration::~BrowserIntegration() = default;

    juce::String BrowserIntegration::toPageEventJson (const juce::String& eventType, const juce::var& data)
    {
        // A DynamicObject keeps its properties in the order they were set, and the JSON follows it.
        juce::DynamicObject::Ptr event (new juce::DynamicObject());
        event->setProperty (eventTypeKey, eventType);
        event->setProperty (dataKey, data);
        return juce::JSON::toString (juce::var (event.get()), true, 15);
    }

    void BrowserIntegration::sendEventToBrowser (juce::String eventType, juce::var data)
    {
        browserComponent.goToURL ("javascript:" + browserComponent.receiveFunctionName
                                  + "(" + toPageEventJson (eventType, data) + ")");
    }

    void BrowserIntegration::dispatch (const juce::var& message)
    {
        auto* object = message.getDynamicObject();
        if (object == nullptr || ! object->hasProperty (eventTypeKey))
            return;

        // A name that is not a string is looked up by its text; no registered name matches it.
        const auto found = eventCallbacks.find (object->getProperty (eventTypeKey).toString());
        if (found == eventCallbacks.end())
            return;

        // A copy: a callback may register under this very name, which can move the list's elements
        // while one of them runs. Callbacks added now wait for the next message.
        const auto callbacks = found->second;
        for (const auto& callback : callbacks)
            callback (object->getProperty (dataKey));
    }
} // namespace lorquist::BrowserIntegration
