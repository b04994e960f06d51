#include "TestSupport.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <cstdlib>

namespace calbrix_test
{
    namespace
    {
        juce::File modelsRoot()
        {
            const char* dir = std::getenv ("CALBRIX_MODELS_DIR");
            return juce::File (juce::String (dir != nullptr ? dir : ""));
        }
    } // namespace

    juce::File fixtureModel (const juce::String& name) { return modelsRoot().getChildFile ("fixtures").getChildFile (name); }
    juce::File exampleModel (const juce::String& name) { return modelsRoot().getChildFile ("examples").getChildFile (name); }

    juce::File dataDirectory() { return calbrix_applicationdata_directory; }

    juce::String installFixture (const juce::String& name)
    {
        const auto target = dataDirectory().getChildFile ("models").getChildFile (name);
        target.getParentDirectory().createDirectory();
        fixtureModel (name).copyFileTo (target);
        return name;
    }

    bool pumpMessagesUntil (const std::function<bool()>& condition, int timeoutMs)
    {
        const auto deadline = juce::Time::getMillisecondCounter() + static_cast<juce::uint32> (timeoutMs);
        while (! condition())
        {
            if (juce::Time::getMillisecondCounter() > deadline)
                return condition();
            juce::MessageManager::getInstance()->runDispatchLoopUntil (2);
        }
        return true;
    }

    void pumpMessagesFor (int milliseconds)
    {
        juce::MessageManager::getInstance()->runDispatchLoopUntil (milliseconds);
    }

    void prepare (CalbrixAudioProcessor& processor, double sampleRate, int blockSize)
    {
        processor.setRateAndBufferSizeDetails (sampleRate, blockSize);
        processor.prepareToPlay (sampleRate, blockSize);
    }

    bool waitForLoadingIdle (CalbrixAudioProcessor& processor, int timeoutMs)
    {
        return pumpMessagesUntil ([&] { return processor.loadingPool->getNumJobs() == 0; }, timeoutMs);
    }

    bool loadFixture (CalbrixAudioProcessor& processor, const juce::String& name, bool applyDefaults)
    {
        installFixture (name);
        processor.updateEngine (CalbrixAudioProcessor::modelFileFor (name).getFullPathName().toStdString(), applyDefaults);
        return waitForLoadingIdle (processor);
    }

    void settle (CalbrixAudioProcessor& processor, int blockSize, int blocks)
    {
        juce::AudioBuffer<float> buffer (2, blockSize);
        juce::MidiBuffer midi;
        for (int i = 0; i < blocks; ++i)
        {
            buffer.clear();
            processor.processBlock (buffer, midi);
        }
    }

    juce::String readLogFile()
    {
        return dataDirectory().getChildFile ("calbrix.log").loadFileAsString();
    }

    juce::StringArray dismissAlertWindows()
    {
        juce::StringArray messages;
        auto& desktop = juce::Desktop::getInstance();
        for (int i = desktop.getNumComponents(); --i >= 0;)
        {
            if (auto* alert = dynamic_cast<juce::AlertWindow*> (desktop.getComponent (i)))
            {
                messages.add (alert->getDescription()); // "<title>. <message>"
                alert->exitModalState (0);
            }
        }
        pumpMessagesFor (20);
        return messages;
    }

    float parameterValue (CalbrixAudioProcessor& processor, const juce::String& id)
    {
        return processor.parameters.getRawParameterValue (id)->load();
    }
} // namespace calbrix_test
