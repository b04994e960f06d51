#pragma once

#include <juce_events/juce_events.h>

class CalbrixAudioProcessor;

// Looks a few times a second, on the message thread, for a worker stuck in a model call while a
// job waits behind it (see CalbrixAudioProcessor::replaceWorkersStuckInTheModel); watches only
// while something waits.
class StuckWorkerWatch : private juce::Timer
{
public:
    explicit StuckWorkerWatch (CalbrixAudioProcessor& p) : processor (p) {}
    ~StuckWorkerWatch() override { stopTimer(); }

    // Any thread: a job was queued behind one that runs.
    void watch() { startTimer (250); }

private:
    void timerCallback() override;

    CalbrixAudioProcessor& processor;
};
