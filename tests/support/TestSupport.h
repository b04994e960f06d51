#pragma once

// libtorch before JUCE (see CalbrixModel.h).
#include "CalbrixModel.h"

#include "CalbrixIdentifiers.h"
#include "PluginProcessor.h"
#include "TestWaits.h"

#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <streambuf>
#include <string>

namespace calbrix_test
{
    // A fixture model file made by models/make_models.py ("identity.pt", ...).
    juce::File fixtureModel (const juce::String& name);
    juce::File exampleModel (const juce::String& name);

    // Copies a fixture into the data directory's "models" folder; returns the name to put in "model_path".
    juce::String installFixture (const juce::String& name);

    // Runs the real message loop until `condition` holds or `timeoutMs` passes; returns the condition.
    // Without a bound given, it is that of the inference worker's answers.
    bool pumpMessagesUntil (const std::function<bool()>& condition, int timeoutMs = waits::workerAnswerMs);
    void pumpMessagesFor (int milliseconds);

    // What a host does before audio starts.
    void prepare (CalbrixAudioProcessor& processor, double sampleRate, int blockSize);

    // Queues a load of a fixture through updateEngine and waits for the job to finish.
    bool loadFixture (CalbrixAudioProcessor& processor, const juce::String& name, bool applyDefaults = true);
    bool waitForLoadingIdle (CalbrixAudioProcessor& processor, int timeoutMs = waits::modelLoadMs);

    // Processes blocks of silence until the worker has reset the queues and the fade has risen.
    void settle (CalbrixAudioProcessor& processor, int blockSize, int blocks);

    // Waits for the inference worker to carry out a pending queue reset.
    bool waitForQueueReset (CalbrixAudioProcessor& processor, int timeoutMs = waits::queueResetMs);
    // Asks the worker for a queue reset (as a preparation or a load does) and waits for it.
    bool resetQueuesAndWait (CalbrixAudioProcessor& processor, int timeoutMs = waits::queueResetMs);

    // Sets a parameter to a plain value (decibels for the gains), as the host or the page would.
    void setParameter (CalbrixAudioProcessor& processor, const juce::String& id, float plainValue);

    // Model calls from a test go through the same lock as the engine's, so they never overlap one.
    void setModelAttribute (CalbrixAudioProcessor& processor, const std::string& name, const c10::IValue& value);
    int64_t callModelInt (CalbrixAudioProcessor& processor, const std::string& method);

    // Collects what is written to std::cerr, from any thread, while it exists.
    class CapturedStandardError
    {
    public:
        CapturedStandardError();
        ~CapturedStandardError();
        std::string text();
        // How often `line` occurs in the captured text.
        int count (const std::string& line);

    private:
        struct LockedBuffer : std::stringbuf
        {
            std::recursive_mutex lock; // xsputn may call overflow
            int sync() override;
            std::streamsize xsputn (const char* s, std::streamsize n) override;
            int_type overflow (int_type c) override;
        };
        LockedBuffer buffer;
        std::streambuf* previous;
    };

    juce::String readLogFile();
    juce::File dataDirectory();

    // Closes every alert window on screen and returns their texts as "<title>. <message>".
    juce::StringArray dismissAlertWindows();

    float parameterValue (CalbrixAudioProcessor& processor, const juce::String& id);
} // namespace calbrix_test
