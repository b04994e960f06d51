#pragma once

#include <juce_events/juce_events.h>

class CalbrixAudioProcessor;

// Looks a few times a second, on the message thread, for a worker stuck in a call of the model's
// own code (see CalbrixAudioProcessor::replaceWorkersStuckInTheModel), for the processor's life.
class StuckWorkerWatch : private juce::Timer
{
public:
    explicit StuckWorkerWatch (CalbrixAudioProcessor& p) : processor (p) { startTimer (250); }
    ~StuckWorkerWatch() override { stopTimer(); }

private:
    void timerCallback() override;

    CalbrixAudioProcessor& processor;
};
