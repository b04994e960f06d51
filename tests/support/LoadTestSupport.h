#pragma once

// Observing and steering model loads from tests: what the page does to request a load, a record
// of the loading flag, and ways to keep the loading worker busy on purpose.
#include "TestSupport.h"

#include <vector>

namespace calbrix_test
{
    // What the page's model choice does first: stores the text in "model_path" (a change of the
    // text requests a load).
    void setModelPath (CalbrixAudioProcessor& processor, const juce::String& text);

    // What the page does next: announces a load request on the state tree.
    void announceLoadRequest (CalbrixAudioProcessor& processor);

    juce::MemoryBlock saveState (CalbrixAudioProcessor& processor);
    void restoreState (CalbrixAudioProcessor& processor, const juce::MemoryBlock& state);

    // Every value "is_model_loading" takes, with the thread it was set on. The listener stays on
    // the processor's tree across restores, as the editor's does.
    class LoadingFlagRecorder : private juce::ValueTree::Listener
    {
    public:
        explicit LoadingFlagRecorder (CalbrixAudioProcessor& processor);
        ~LoadingFlagRecorder() override;

        std::vector<juce::var> values() const;
        // Loads that got past their file check: changes to true.
        int loadsStarted() const;
        bool allSetOnTheMessageThread() const;

    private:
        void valueTreePropertyChanged (juce::ValueTree& tree, const juce::Identifier& property) override;

        struct Change { juce::var value; bool onMessageThread; };

        CalbrixAudioProcessor& processor;
        juce::CriticalSection lock;
        std::vector<Change> changes;
    };

    // Holds a load job where it reports a new latency, after its model is loaded and prepared and
    // before its defaults, until released: a load that runs for as long as a test needs. Only a
    // load that changes the latency stops here, and only until the first release.
    class LatencyChangeHold : public juce::AudioProcessorListener
    {
    public:
        explicit LatencyChangeHold (CalbrixAudioProcessor& processor);
        ~LatencyChangeHold() override;

        // Runs the message loop until a load is held here.
        bool waitUntilHeld (int timeoutMs = waits::modelLoadMs);
        void release();
        // For a test that destroys the processor while a load is held.
        void detach();

    private:
        void audioProcessorChanged (juce::AudioProcessor*, const ChangeDetails& details) override;
        void audioProcessorParameterChanged (juce::AudioProcessor*, int, float) override {}

        CalbrixAudioProcessor* processor;
        std::atomic<bool> held { false };
        juce::WaitableEvent released { true };
    };

    // Occupies a pool's only thread until released, whatever the pool asks, as a long job would.
    class PoolBlocker : public juce::ThreadPoolJob
    {
    public:
        PoolBlocker() : juce::ThreadPoolJob ("PoolBlocker") {}

        ~PoolBlocker() override
        {
            release.signal();
            while (isRunning())
                juce::Thread::sleep (1);
        }

        JobStatus runJob() override
        {
            started.signal();
            release.wait();
            return jobHasFinished;
        }

        juce::WaitableEvent started { true };
        juce::WaitableEvent release { true };
    };
} // namespace calbrix_test
