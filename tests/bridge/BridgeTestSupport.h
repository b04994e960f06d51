#pragma once

#include "WebViewTestSupport.h"

#include "BrowserComponent.h"
#include "BrowserIntegration.h"
#include "BrowserIntegrationPluginClient.h"

#include <vector>

namespace calbrix_bridge_test
{
    using lorquist::BrowserIntegration::BrowserComponent;
    using lorquist::BrowserIntegration::BrowserIntegration;
    using lorquist::BrowserIntegration::BrowserIntegrationClient;
    using lorquist::BrowserIntegration::BrowserIntegrationPluginClient;

    struct SentEvent
    {
        juce::String eventType;
        juce::var data;
    };

    // A router that keeps the events it would hand to the page, for the cases that need no page.
    // Incoming dispatch is the real router's.
    struct RecordingRouter : BrowserIntegration
    {
        using BrowserIntegration::BrowserIntegration;

        void sendEventToBrowser (juce::String eventType, juce::var data) override
        {
            sent.push_back ({ eventType, data });
        }

        std::vector<SentEvent> named (const juce::String& eventType) const
        {
            std::vector<SentEvent> found;
            for (auto& event : sent)
                if (event.eventType == eventType)
                    found.push_back (event);
            return found;
        }

        // Position of the first event of that name, or -1.
        int indexOf (const juce::String& eventType) const
        {
            for (size_t i = 0; i < sent.size(); ++i)
                if (sent[i].eventType == eventType)
                    return static_cast<int> (i);
            return -1;
        }

        std::vector<SentEvent> sent;
    };

    // A page message as the router receives it.
    inline juce::var pageMessage (const juce::String& eventType, const juce::var& data)
    {
        juce::DynamicObject::Ptr message (new juce::DynamicObject());
        message->setProperty ("eventType", eventType);
        message->setProperty ("data", data);
        return juce::var (message.get());
    }

    inline juce::var json (const juce::String& text) { return juce::JSON::parse (text); }

    // The byte block behind one Base64 change text of the state mirror.
    inline juce::MemoryBlock decodeChange (const juce::var& base64Text)
    {
        juce::MemoryOutputStream decoded;
        EXPECT_TRUE (juce::Base64::convertFromBase64 (decoded, base64Text.toString()));
        return decoded.getMemoryBlock();
    }

    // Applies a "valueTreeStateChange" batch's changes, in order, to `replica`.
    inline void applyChanges (juce::ValueTree& replica, const juce::var& batch)
    {
        for (auto& change : *batch["changes"].getArray())
        {
            const auto block = decodeChange (change);
            EXPECT_TRUE (juce::ValueTreeSynchroniser::applyChange (replica, block.getData(), block.getSize(), nullptr));
        }
    }

    // The kind of change a blob encodes: 1 property set, 2 full copy, 3 child added, 4 child removed,
    // 5 child moved, 6 property removed.
    inline int changeKind (const juce::var& base64Text)
    {
        const auto block = decodeChange (base64Text);
        return block.getSize() > 0 ? static_cast<int> (block[0]) : -1;
    }

    // A plug-in client on a router that records, over a browser component that is never shown.
    struct RecordedClient
    {
        RecordedClient (BrowserComponent& browser, juce::AudioProcessorValueTreeState& state, const juce::String& dataDirectory)
            : router (browser),
              client (router, state, dataDirectory, "Plugin")
        {
            client.setupBrowserPluginIntegration();
        }

        void fromPage (const juce::String& eventName, const juce::var& data)
        {
            router.dispatch (pageMessage ("Plugin::" + eventName, data));
        }

        // The replies sent for one request id.
        std::vector<SentEvent> replies (const juce::String& uid) const { return router.named ("Plugin::" + uid); }

        RecordingRouter router;
        BrowserIntegrationPluginClient client;
    };
} // namespace calbrix_bridge_test
