#pragma once

#include <juce_core/juce_core.h>

#include <functional>
#include <memory>

class WorkerTether;

// A piece of the processor's work other than a model load that runs on the loading worker, where
// every model call outside the inference worker is made: the model part of a host preparation,
// or the take-over of a wrapper left with an abandoned call. Holds the worker's tether like a load
// (see WorkerTether), so that it can be abandoned inside a call that does not come back.
class LoadingWorkerJob : public juce::ThreadPoolJob
{
public:
    LoadingWorkerJob (const juce::String& name, std::shared_ptr<WorkerTether> tether, std::function<void()> work);

    JobStatus runJob() override;

private:
    std::shared_ptr<WorkerTether> tether;
    std::function<void()> work;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (LoadingWorkerJob)
};
