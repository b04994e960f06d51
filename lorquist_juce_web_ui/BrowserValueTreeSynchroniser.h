#pragma once

#include "BrowserIntegration.h"

#include <juce_data_structures/juce_data_structures.h>
#include <juce_events/juce_events.h>

namespace lorquist::BrowserIntegration
{
    // Keeps the page's copy of a state tree up to date: every change of the watched tree (and every
    // full copy asked for) is queued as Base64 text, and every 16 ms whatever has queued goes to the
    // page in one "valueTreeStateChange" event, {"treeId": ..., "changes": [...]}, once the page is
    // ready. Changes may come from any thread; sending happens on the message thread.
    class BrowserValueTreeSynchroniser : public juce::ValueTreeSynchroniser,
                                         public juce::Timer
    {
    public:
        static constexpr int flushIntervalMs = 16;

        BrowserValueTreeSynchroniser (const juce::ValueTree& tree, const juce::Identifier& treeId,
                                      BrowserIntegration& browserIntegration);
        ~BrowserValueTreeSynchroniser() override;

        // Queues one encoded change; nothing is sent here.
        void stateChanged (const void* encodedChange, size_t encodedChangeSize) override;
        void timerCallback() override;

        // Sends everything queued in one event, if the page is ready and anything is queued.
        void flushUpdates();

    private:
        juce::Identifier treeId;
        juce::StringArray pendingChanges;
        BrowserIntegration& browserIntegration;
        // The loading worker queues changes while the message thread flushes.
        juce::CriticalSection pendingChangesLock;

        JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (BrowserValueTreeSynchroniser)
    };
} // namespace lorquist::BrowserIntegration
