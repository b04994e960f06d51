#pragma once

// libtorch before JUCE (see CalbrixModel.h).
#include "CalbrixModel.h"

#include "CalbrixIdentifiers.h"
#include "PluginProcessor.h"

#include <functional>
#include <memory>
#include <string>

namespace calbrix_test
{
    // A fixture model file made by models/make_models.py ("identity.pt", ...).
    juce::File fixtureModel (const juce::String& name);
    juce::File exampleModel (const juce::String& name);

    // Copies a fixture into the data directory's "models" folder; returns the name to put in "model_path".
    juce::String installFixture (const juce::String& name);

    // Runs the real message loop until `condition` holds or `timeoutMs` passes; returns the condition.
    bool pumpMessagesUntil (const std::function<bool()>& condition, int timeoutMs = 10000);
    void pumpMessagesFor (int milliseconds);

    // What a host does before audio starts.
    void prepare (CalbrixAudioProcessor& processor, double sampleRate, int blockSize);

    // Queues a load of a fixture through updateEngine and waits for the job to finish.
    bool loadFixture (CalbrixAudioProcessor& processor, const juce::String& name, bool applyDefaults = true);
    bool waitForLoadingIdle (CalbrixAudioProcessor& processor, int timeoutMs = 20000);

    // Processes blocks of silence until the worker has reset the queues and the fade has risen.
    void settle (CalbrixAudioProcessor& processor, int blockSize, int blocks);

    juce::String readLogFile();
    juce::File dataDirectory();

    // Closes every alert window on screen and returns their texts as "<title>. <message>".
    juce::StringArray dismissAlertWindows();

    float parameterValue (CalbrixAudioProcessor& processor, const juce::String& id);
} // namespace calbrix_test
