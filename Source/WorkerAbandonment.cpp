// What the processor does about workers that do not come back from a model call: it never frees
// what such a worker may still use, and never lets it keep later work from running.
#include "CalbrixModel.h"

#include "PluginProcessor.h"

#include "AbandonedWork.h"
#include "BackgroundProcess.h"
#include "CalbrixIdentifiers.h"
#include "StateTreeWriter.h"
#include "StuckWorkerWatch.h"
#include "WorkerTether.h"

namespace
{
    constexpr int poolThreadEndWaitMs = 2000;

    // The framework's pool gives its thread 500 ms to end when the pool goes, and then kills it:
    // on a loaded machine that can catch a thread that only had no turn yet, and the pool then
    // frees it while it runs. So the thread is ended beforehand, with the time it needs (within a
    // bound): a last job tells its own thread to end, and the thread is waited for.
    bool endPoolThread (juce::ThreadPool& pool, int timeoutMs)
    {
        struct Ending
        {
            std::atomic<juce::Thread*> thread { nullptr };
            juce::WaitableEvent ran;
        };

        struct EndTheThread : juce::ThreadPoolJob
        {
            explicit EndTheThread (std::shared_ptr<Ending> e) : juce::ThreadPoolJob ("EndTheThread"), ending (std::move (e)) {}
            JobStatus runJob() override
            {
                auto* thread = juce::Thread::getCurrentThread();
                thread->signalThreadShouldExit();
                ending->thread = thread;
                ending->ran.signal();
                return jobHasFinished;
            }
            std::shared_ptr<Ending> ending;
        };

        const auto start = juce::Time::getMillisecondCounter();
        auto ending = std::make_shared<Ending>();
        pool.addJob (new EndTheThread (ending), true);
        if (! ending->ran.wait (timeoutMs))
            return false;

        const auto waited = static_cast<int> (juce::Time::getMillisecondCounter() - start);
        return ending->thread.load()->waitForThreadToExit (juce::jmax (1, timeoutMs - waited));
    }
} // namespace

void StuckWorkerWatch::timerCallback()
{
    processor.replaceWorkersStuckInTheModel();

    const bool somethingWaits = processor.loadingPool->getNumJobs() > 1 || processor.inferencePool->getNumJobs() > 1;
    if (! somethingWaits)
        stopTimer();
}

void CalbrixAudioProcessor::abandonInferenceWorker()
{
    const juce::ScopedLock hold (jobLock);
    inferenceTether->abandon();
    inferencePool->removeAllJobs (false, 0);
    AbandonedWork::keep (inferenceTether, std::move (inferencePool));
    inferencePool = std::make_unique<juce::ThreadPool> (1);
    inferenceTether = std::make_shared<WorkerTether>();
}

void CalbrixAudioProcessor::replaceStuckModel()
{
    const juce::ScopedLock hold (jobLock);
    if (logger != nullptr)
        logger->logMessage ("a call into the model did not come back: it is left running, and a new, empty model wrapper is used");

    // The inference worker reads the wrapper on every pass: it goes first, stopped or abandoned.
    if (! inferencePool->removeAllJobs (true, 100))
        abandonInferenceWorker();

    AbandonedWork::keep (std::move (model));
    model = std::make_unique<Calbrix>();

    if (lastSampleRate.load() > 0.0 && lastBlockSize.load() > 0)
        startInferenceJob (lastSampleRate.load(), lastBlockSize.load());
}

void CalbrixAudioProcessor::replaceWorkersStuckInTheModel()
{
    const juce::ScopedLock hold (jobLock);

    if (inferencePool->getNumJobs() > 1 && inferenceTether->millisecondsInCall() > stuckCallMs)
        replaceStuckModel();

    if (loadingPool->getNumJobs() > 1 && loadingTether->millisecondsInCall() > stuckCallMs)
    {
        if (logger != nullptr)
            logger->logMessage ("a model load did not come back from a call into the model: it is left running, and the next load runs on a new worker");

        loadingTether->abandon();
        // The loads that wait would otherwise run on the abandoned worker, after its call.
        loadingPool->removeAllJobs (false, 0);
        AbandonedWork::keep (loadingTether, std::move (loadingPool));
        loadingPool = std::make_unique<juce::ThreadPool> (1);
        loadingTether = std::make_shared<WorkerTether>();

        // The abandoned load ends for the page and the host as any load does.
        auto& tree = parameters;
        treeWriter->post ([&tree]
        {
            tree.setCustomParamValue (calbrix_parameters::param_name_is_model_loading, false, ParameterManager::PARAMX);
        });
        updateEngine (latestLoadPath, latestLoadAppliesDefaults);
    }
}

void CalbrixAudioProcessor::stopWorkersForTeardown()
{
    // Both are asked at once; then each gets its bounded wait, counted from now.
    loadingPool->removeAllJobs (true, 0);
    inferencePool->removeAllJobs (true, 0);

    const auto start = juce::Time::getMillisecondCounter();
    const bool inferenceStopped = inferencePool->removeAllJobs (true, inferenceStopWaitMs);
    const auto waited = static_cast<int> (juce::Time::getMillisecondCounter() - start);
    const bool loadingStopped = loadingPool->removeAllJobs (true, juce::jmax (0, loadingStopWaitMs - waited));

    if (inferenceStopped && loadingStopped)
    {
        endPoolThreadsForTeardown();
        return;
    }

    if (logger != nullptr)
        logger->logMessage (juce::String ("the processor went while ") + (inferenceStopped ? "a model load" : "the model")
                            + " was still inside a call into the model: that worker is left running");

    if (! inferenceStopped)
    {
        inferenceTether->abandon();
        AbandonedWork::keep (inferenceTether, std::move (inferencePool));
    }
    if (! loadingStopped)
    {
        loadingTether->abandon();
        AbandonedWork::keep (loadingTether, std::move (loadingPool));
    }

    // The wrapper that worker is inside.
    AbandonedWork::keep (std::move (model));
    endPoolThreadsForTeardown();
}

void CalbrixAudioProcessor::endPoolThreadsForTeardown()
{
    // A pool whose thread does not end even so is kept rather than freed under it.
    for (auto* pool : { &inferencePool, &loadingPool })
        if (*pool != nullptr && ! endPoolThread (**pool, poolThreadEndWaitMs))
            AbandonedWork::keep (nullptr, std::move (*pool));
}
