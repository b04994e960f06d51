#include "LoadTestSupport.h"

namespace calbrix_test
{
    namespace
    {
        juce::ValueTree customValue (CalbrixAudioProcessor& processor, const juce::String& id)
        {
            return processor.parameters.state.getChildWithProperty ("id", id);
        }

        bool isOnMessageThread()
        {
            auto* messageManager = juce::MessageManager::getInstanceWithoutCreating();
            return messageManager != nullptr && messageManager->isThisTheMessageThread();
        }
    } // namespace

    void setModelPath (CalbrixAudioProcessor& processor, const juce::String& text)
    {
        customValue (processor, calbrix_parameters::param_name_modelpath).setProperty ("value", text, nullptr);
    }

    void announceLoadRequest (CalbrixAudioProcessor& processor)
    {
        processor.parameters.state.sendPropertyChangeMessage (ID_SETSTATE_REQUEST);
    }

    juce::MemoryBlock saveState (CalbrixAudioProcessor& processor)
    {
        juce::MemoryBlock state;
        processor.getStateInformation (state);
        return state;
    }

    void restoreState (CalbrixAudioProcessor& processor, const juce::MemoryBlock& state)
    {
        processor.setStateInformation (state.getData(), static_cast<int> (state.getSize()));
    }

    LatencyChangeHold::LatencyChangeHold (CalbrixAudioProcessor& p) : processor (&p)
    {
        processor->addListener (this);
    }

    LatencyChangeHold::~LatencyChangeHold()
    {
        release();
        detach();
    }

    void LatencyChangeHold::detach()
    {
        if (processor != nullptr)
            processor->removeListener (this);
        processor = nullptr;
    }

    bool LatencyChangeHold::waitUntilHeld (int timeoutMs)
    {
        return pumpMessagesUntil ([this] { return held.load(); }, timeoutMs);
    }

    void LatencyChangeHold::release()
    {
        released.signal();
    }

    void LatencyChangeHold::audioProcessorChanged (juce::AudioProcessor*, const ChangeDetails& details)
    {
        if (! details.latencyChanged || released.wait (0))
            return;

        held = true;
        released.wait();
    }

    LoadingFlagRecorder::LoadingFlagRecorder (CalbrixAudioProcessor& p) : processor (p)
    {
        processor.parameters.state.addListener (this);
    }

    LoadingFlagRecorder::~LoadingFlagRecorder()
    {
        processor.parameters.state.removeListener (this);
    }

    void LoadingFlagRecorder::valueTreePropertyChanged (juce::ValueTree& tree, const juce::Identifier& property)
    {
        if (property.toString() != "value" || tree.getProperty ("id").toString() != calbrix_parameters::param_name_is_model_loading)
            return;

        const juce::ScopedLock hold (lock);
        changes.push_back ({ tree.getProperty ("value"), isOnMessageThread() });
    }

    std::vector<juce::var> LoadingFlagRecorder::values() const
    {
        const juce::ScopedLock hold (lock);
        std::vector<juce::var> result;
        for (const auto& change : changes)
            result.push_back (change.value);
        return result;
    }

    int LoadingFlagRecorder::loadsStarted() const
    {
        const juce::ScopedLock hold (lock);
        int count = 0;
        for (const auto& change : changes)
            if (change.value == juce::var (true))
                ++count;
        return count;
    }

    bool LoadingFlagRecorder::allSetOnTheMessageThread() const
    {
        const juce::ScopedLock hold (lock);
        for (const auto& change : changes)
            if (! change.onMessageThread)
                return false;
        return true;
    }
} // namespace calbrix_test
