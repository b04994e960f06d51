#pragma once

#include <juce_core/juce_core.h>

#include <memory>
#include <string>

class CalbrixAudioProcessor;
class ModelSnapshot;
class WorkerTether;

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
    void load();
    // Each returns false when the load is to go no further.
    bool loadModule (const ModelSnapshot& snapshot, const std::string& fullPath, const std::string& identity,
                     bool readToItsEnd, std::string& errorText);
    bool listMethods();
    // Posts the defaults to the tree; the event is signalled once they are there (null: none).
    std::shared_ptr<juce::WaitableEvent> applyModelDefaults();
    void waitUntilMade (juce::WaitableEvent& made);
    void waitForFadeOut();
    void setModelLoadingFlag (bool isLoading);
    void reportLoadFailure (const std::string& errorText);

    CalbrixAudioProcessor& processor;
    std::string filePath;
    bool applyDefaults;
    // How many restores the processor had made when this load was asked for: defaults are given
    // only if no restore has come since, so a restore always keeps its own parameter values.
    int restoresWhenRequested;
    std::shared_ptr<WorkerTether> tether;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (UpdateEngineJob)
};
