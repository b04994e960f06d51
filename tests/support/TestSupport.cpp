#include "TestSupport.h"

#include "StateTreeWriter.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <cstdlib>
#include <iostream>

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
        // The host goes on after a bounded wait; a test goes on once the preparation has ended.
        // (A preparation whose model call stays is waited for by the test itself.)
        if (! processor.isPreparing())
            return;
        constexpr int preparationEndsMs = 60000; // ~50 ms idle
        pumpMessagesUntil ([&] { return ! processor.isPreparing(); }, preparationEndsMs);
    }

    bool waitForLoadingIdle (CalbrixAudioProcessor& processor, int timeoutMs)
    {
        // The load's writes of the state tree reach it on the message thread, after the job.
        return pumpMessagesUntil ([&] { return processor.loadingPool->getNumJobs() == 0 && ! processor.treeWriter->hasPendingWrites(); },
                                  timeoutMs);
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

    bool waitForQueueReset (CalbrixAudioProcessor& processor, int timeoutMs)
    {
        return pumpMessagesUntil ([&] { return ! processor.resetRequested.load(); }, timeoutMs);
    }

    bool resetQueuesAndWait (CalbrixAudioProcessor& processor, int timeoutMs)
    {
        processor.resetRequested = true;
        return waitForQueueReset (processor, timeoutMs);
    }

    void setParameter (CalbrixAudioProcessor& processor, const juce::String& id, float plainValue)
    {
        auto* parameter = processor.parameters.getParameter (id);
        parameter->setValueNotifyingHost (parameter->convertTo0to1 (plainValue));
    }

    void setModelAttribute (CalbrixAudioProcessor& processor, const std::string& name, const c10::IValue& value)
    {
        const std::lock_guard<Calbrix::CallLock> lock (processor.model->callLock());
        processor.model->module.setattr (name, value);
    }

    int64_t callModelInt (CalbrixAudioProcessor& processor, const std::string& method)
    {
        const std::lock_guard<Calbrix::CallLock> lock (processor.model->callLock());
        c10::InferenceMode guard;
        return processor.model->module.get_method (method) (std::vector<c10::IValue> {}).toInt();
    }

    CapturedStandardError::CapturedStandardError() : previous (std::cerr.rdbuf (&buffer)) {}

    CapturedStandardError::~CapturedStandardError() { std::cerr.rdbuf (previous); }

    std::string CapturedStandardError::text()
    {
        const std::lock_guard<std::recursive_mutex> hold (buffer.lock);
        return buffer.str();
    }

    int CapturedStandardError::count (const std::string& line)
    {
        const auto all = text();
        int found = 0;
        for (auto at = all.find (line); at != std::string::npos; at = all.find (line, at + line.size()))
            ++found;
        return found;
    }

    int CapturedStandardError::LockedBuffer::sync()
    {
        const std::lock_guard<std::recursive_mutex> hold (lock);
        return std::stringbuf::sync();
    }

    std::streamsize CapturedStandardError::LockedBuffer::xsputn (const char* s, std::streamsize n)
    {
        const std::lock_guard<std::recursive_mutex> hold (lock);
        return std::stringbuf::xsputn (s, n);
    }

    CapturedStandardError::LockedBuffer::int_type CapturedStandardError::LockedBuffer::overflow (int_type c)
    {
        const std::lock_guard<std::recursive_mutex> hold (lock);
        return std::stringbuf::overflow (c);
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
