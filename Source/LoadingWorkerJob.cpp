#include "LoadingWorkerJob.h"

#include "WorkerTether.h"

LoadingWorkerJob::LoadingWorkerJob (const juce::String& name, std::shared_ptr<WorkerTether> t, std::function<void()> w)
    : juce::ThreadPoolJob (name), tether (std::move (t)), work (std::move (w))
{
}

juce::ThreadPoolJob::JobStatus LoadingWorkerJob::runJob()
{
    try
    {
        const WorkerTether::Attachment attached (*tether);
        work();
    }
    catch (const WorkerAbandoned&)
    {
        // As a load abandoned inside a call: the processor may be gone, the thread ends here.
        juce::Thread::getCurrentThread()->signalThreadShouldExit();
    }
    return jobHasFinished;
}
