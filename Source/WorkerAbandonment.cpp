// What the processor does about workers that do not come back from a model call: it never frees
// what such a worker may still use, and never lets it keep later work from running.
#include "CalbrixModel.h"

#include "PluginProcessor.h"

#include "AbandonedWork.h"
#include "BackgroundProcess.h"
#include "LoadingWorkerJob.h"
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
}

void CalbrixAudioProcessor::abandonInferenceWorker()
{
    const juce::ScopedLock hold (jobLock);
    if (inferenceTether->abandon())
        wrapperAbandoned = true;
    inferencePool->removeAllJobs (false, 0);
    AbandonedWork::keep (inferenceTether, std::move (inferencePool));
    inferencePool = std::make_unique<juce::ThreadPool> (1);
    inferenceTether = std::make_shared<WorkerTether>();
}

void CalbrixAudioProcessor::abandonLoadingWorker()
{
    // Without jobLock: a worker that came back from its call just now may need that lock before
    // it next steps out (and is then let through). The tether is swapped on this thread only.
    loadingTether->abandon();

    const juce::ScopedLock hold (jobLock);
    // Every model call of the loading worker holds the wrapper's call lock.
    wrapperAbandoned = true;
    // The jobs that wait would otherwise run on the abandoned worker, after its call.
    loadingPool->removeAllJobs (false, 0);
    AbandonedWork::keep (loadingTether, std::move (loadingPool));
    loadingPool = std::make_unique<juce::ThreadPool> (1);
    loadingTether = std::make_shared<WorkerTether>();
}

std::unique_lock<std::recursive_timed_mutex> CalbrixAudioProcessor::takeModelOnLoadingWorker (const std::function<bool()>& stop)
{
    constexpr int waitSliceMs = 20;
    for (;;)
    {
        if (wrapperAbandoned)
            replaceAbandonedWrapper();

        std::unique_lock<std::recursive_timed_mutex> lock (model->callLock(), std::defer_lock);
        if (lock.try_lock_for (std::chrono::milliseconds (waitSliceMs)) || stop())
            return lock;
    }
}

void CalbrixAudioProcessor::replaceAbandonedWrapper()
{
    jassert (WorkerTether::current() == loadingTether.get());
    const juce::ScopedLock hold (jobLock);

    // The inference job reads the wrapper on every pass: it ends first, or is left behind (it is
    // inside no call of this wrapper, whose lock the abandoned call holds).
    constexpr int inferenceStopWaitOnReplaceMs = 1000;
    if (! inferencePool->removeAllJobs (true, inferenceStopWaitOnReplaceMs))
        abandonInferenceWorker();

    if (logger != nullptr)
        logger->logMessage ("a call into the model did not come back: it is stopped where it is, that model is not called again"
                            " and loads of its file are refused for the rest of the run; the engine goes on with an empty model wrapper");

    AbandonedWork::refuseModel (model->fileIdentity);
    AbandonedWork::keep (std::move (model));
    model = std::make_unique<Calbrix>();
    wrapperAbandoned = false;

    if (lastSampleRate.load() > 0.0 && lastBlockSize.load() > 0)
        startInferenceJob (lastSampleRate.load(), lastBlockSize.load());
}

void CalbrixAudioProcessor::queueRecovery()
{
    // Takes the wrapper over on the new loading worker and lets the audio come back: with no
    // model (the dry path only), or with what the jobs queued after this one load.
    loadingPool->addJob (new LoadingWorkerJob ("RecoveryJob", loadingTether, [this]
    {
        {
            const auto lock = takeModelOnLoadingWorker ([] { return juce::ThreadPoolJob::getCurrentThreadPoolJob()->shouldExit(); });
        }
        finishLoadingWork();
        fadeState = 2;
    }), true);
}

void CalbrixAudioProcessor::replaceWorkersStuckInTheModel()
{
    {
        // The inference worker never takes jobLock; its tether is also swapped on the loading worker.
        const juce::ScopedLock hold (jobLock);
        if (inferenceTether->millisecondsInModelCall() > stuckCallMs)
        {
            abandonInferenceWorker();
            queueRecovery();
        }
    }

    if (loadingTether->millisecondsInModelCall() > stuckCallMs)
    {
        abandonLoadingWorker();

        const juce::ScopedLock hold (jobLock);

        // The abandoned load ends for the page and the host as any load does.
        auto& tree = parameters;
        treeWriter->post ([&tree]
        {
            tree.setCustomParamValue (calbrix_parameters::param_name_is_model_loading, false, ParameterManager::PARAMX);
        });

        queueRecovery();
        bool preparationWaits = false;
        {
            const std::lock_guard<std::mutex> holdPreparation (preparationLock);
            preparationWaits = preparationPending;
        }
        if (preparationWaits)
            queuePreparation();
        // The newest request again: another file loads; the one whose call stayed is refused.
        if (! latestLoadPath.empty())
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

    bool insideModelCode = false;
    if (! inferenceStopped)
    {
        insideModelCode = inferenceTether->abandon();
        AbandonedWork::keep (inferenceTether, std::move (inferencePool));
    }
    if (! loadingStopped)
    {
        insideModelCode = loadingTether->abandon() || insideModelCode;
        AbandonedWork::keep (loadingTether, std::move (loadingPool));
    }

    // The wrapper that worker is inside. A slow read of a large file is not the model's fault.
    if (insideModelCode)
        AbandonedWork::refuseModel (model->fileIdentity);
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
