#pragma once

#include <juce_core/juce_core.h>

#include <string>

class CalbrixAudioProcessor;
class ModelSnapshot;

// Loads one model file into the processor's wrapper on the loading worker: takes a private snapshot
// of the file and has it checked while the old model still plays, fades out, loads the snapshot,
// prepares the model, resets the queues, reports delays and latency, applies the model's defaults
// when asked, fades back in. The state tree is written only through the processor's tree writer,
// on the message thread.
class UpdateEngineJob : public juce::ThreadPoolJob
{
public:
    UpdateEngineJob (CalbrixAudioProcessor& processor, std::string path, bool applyDefaults);
    ~UpdateEngineJob() override;

    JobStatus runJob() override;

private:
    // Each returns false when the load is to go no further.
    bool loadModule (const ModelSnapshot& snapshot, const std::string& fullPath, std::string& errorText);
    bool listMethods();
    void applyModelDefaults();
    void waitForFadeOut();
    void setModelLoadingFlag (bool isLoading);
    void reportLoadFailure (const std::string& errorText);

    CalbrixAudioProcessor& processor;
    std::string filePath;
    bool applyDefaults;
    // How many restores the processor had made when this load was asked for: defaults are given
    // only if no restore has come since, so a restore always keeps its own parameter values.
    int restoresWhenRequested;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (UpdateEngineJob)
};
