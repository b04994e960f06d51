#include "BrowserValueTreeSynchroniser.h"

namespace lorquist::BrowserIntegration
{
    BrowserValueTreeSynchroniser::BrowserValueTreeSynchroniser (const juce::ValueTree& tree, const juce::Identifier& id,
                                                                BrowserIntegration& router)
        : juce::ValueTreeSynchroniser (tree),
          treeId (id),
          browserIntegration (router)
    {
        startTimer (flushIntervalMs);
    }

    BrowserValueTreeSynchroniser::~BrowserValueTreeSynchroniser()
    {
        stopTimer();
    }

    void BrowserValueTreeSynchroniser::stateChanged (const void* encodedChange, size_t encodedChangeSize)
    {
        auto text = juce::Base64::toBase64 (encodedChange, encodedChangeSize);
        const juce::ScopedLock lock (pendingChangesLock);
        pendingChanges.add (std::move (text));
    }

    void BrowserValueTreeSynchroniser::timerCallback()
    {
        flushUpdates();
    }

    void BrowserValueTreeSynchroniser::flushUpdates()
    {
        if (! browserIntegration.pageReady)
            return;

        juce::StringArray changes;
        {
            // Taken and cleared in one step; the send happens outside the lock so a worker that
            // changes the tree never waits for the page.
            const juce::ScopedLock lock (pendingChangesLock);
            if (pendingChanges.isEmpty())
                return;
            changes.swapWith (pendingChanges);
        }

        juce::DynamicObject::Ptr batch (new juce::DynamicObject());
        batch->setProperty ("treeId", treeId.toString());
        batch->setProperty ("changes", changes);
        browserIntegration.sendEventToBrowser ("valueTreeStateChange", juce::var (batch.get()));
    }
} // namespace lorquist::BrowserIntegration
