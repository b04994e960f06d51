#include "BrowserIntegration.h"

namespace lorquist::BrowserIntegration
{
    namespace
    {
        const juce::Identifier eventTypeKey { "eventType" };
        const juce::Identifier dataKey { "data" };

        // Printable ASCII but the quote and the backslash: what JSON text holds unchanged.
        bool writesUnescaped (const juce::String& text)
        {
            for (auto* p = text.toRawUTF8(); *p != 0; ++p)
                if (*p < 32 || *p > 126 || *p == '"' || *p == '\\')
                    return false;
            return true;
        }
    } // namespace

    BrowserIntegration::BrowserIntegration (BrowserComponent& component)
        : browserComponent (component)
    {
        browserComponent.onMessage = [this] (juce::var message) { dispatch (message); };
    }

    BrowserIntegration::~BrowserIntegration() = default;

    juce::String BrowserIntegration::toPageEventJson (const juce::String& eventType, const juce::var& data)
    {
        // A text that JSON writes as it is (a file's Base64) goes in whole, in the framework's layout:
        // its writer takes it a character at a time into a stream that grows 1 MiB at a time.
        if (data.isString() && writesUnescaped (data.toString()))
            return "{\"eventType\": " + juce::JSON::toString (eventType) + ", \"data\": \"" + data.toString() + "\"}";

        // A DynamicObject keeps its properties in the order they were set, and the JSON follows it.
        juce::DynamicObject::Ptr event (new juce::DynamicObject());
        event->setProperty (eventTypeKey, eventType);
        event->setProperty (dataKey, data);
        return juce::JSON::toString (juce::var (event.get()), true, 15);
    }

    void BrowserIntegration::sendEventToBrowser (juce::String eventType, juce::var data)
    {
        sendEventToPage (browserComponent, eventType, data);
    }

    void BrowserIntegration::sendEventToPage (BrowserComponent& page, const juce::String& eventType, const juce::var& data)
    {
        page.goToURL ("javascript:" + page.receiveFunctionName + "(" + toPageEventJson (eventType, data) + ")");
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
