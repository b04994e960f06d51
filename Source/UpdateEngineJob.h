#pragma once

#include <juce_core/juce_core.h>

#include <string>

class CalbrixAudioProcessor;

// Loads one model file into the processor's wrapper on the loading worker: fades out, reads the
// TorchScript file, prepares the model, resets the queues, reports delays and latency, applies the
// model's defaults when asked, fades back in.
class UpdateEngineJob : public juce::ThreadPoolJob
{
public:
    UpdateEngineJob (CalbrixAudioProcessor& processor, std::string path, bool applyDefaults);
    ~UpdateEngineJob() override;

    JobStatus runJob() override;

private:
    // Each returns false when the load is to go no further.
    bool loadModule (const std::string& fullPath, std::string& errorText);
    bool listMethods();
    void applyModelDefaults();
    void waitForFadeOut();
    void setModelLoadingFlag (bool isLoading);
    void reportLoadFailure (const std::string& errorText);

    CalbrixAudioProcessor& processor;
    std::string filePath;
    bool applyDefaults;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (UpdateEngineJob)
};
