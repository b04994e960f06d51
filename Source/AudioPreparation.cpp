// Preparing the processor and the model for the host's sample rate and block size.
#include "CalbrixModel.h"

#include "BackgroundProcess.h"
#include "LoadingWorkerJob.h"
#include "PluginProcessor.h"
#include "StuckWorkerWatch.h"
#include "WorkerTether.h"

#include <iostream>

namespace
{
    constexpr double fadeSeconds = 0.2;
    constexpr double rampSeconds = 0.05;
    constexpr double warmUpSeconds = 0.2;

    // Whole blocks in 200 ms, at least one. A rate or block size the host left at 0 (or worse) has
    // no meaningful count: one call, not the million that 0.2 / 0 would ask for.
    int warmUpCallCount (double sampleRate, int blockSize)
    {
        if (! (sampleRate > 0.0) || blockSize <= 0)
            return 1;
        const double count = warmUpSeconds / (static_cast<double> (blockSize) / sampleRate);
        if (! (count >= 1.0))
            return 1;
        return static_cast<int> (juce::jmin (count, 1.0e6));
    }

    // A load asked to stop (a newer load, or the processor going) makes no further warm-up calls:
    // with a slow model each one can take seconds. A preparation for the host is asked only by
    // the processor going.
    bool loadAskedToStop()
    {
        const auto* job = juce::ThreadPoolJob::getCurrentThreadPoolJob();
        return job != nullptr && job->shouldExit();
    }
} // namespace

void CalbrixAudioProcessor::prepareToPlay (double sampleRate, int samplesPerBlock)
{
    if (sampleRate == lastSampleRate.load() && samplesPerBlock == lastBlockSize.load())
        return;

    {
        const std::lock_guard<std::mutex> hold (preparationLock);
        requestedSampleRate = sampleRate;
        requestedBlockSize = samplesPerBlock;
        preparationPending = true;
        loading = true;
    }

    fadeSmoother.reset (sampleRate, fadeSeconds);
    for (auto* smoother : { &wetGainSmoother, &dryGainSmoother, &inputGainSmoother, &outputGainSmoother,
                            &p1Smoother, &p2Smoother, &p3Smoother, &p4Smoother })
        smoother->reset (sampleRate, rampSeconds);

    // The block processing always runs a left and a right filter.
    const auto filterCount = static_cast<size_t> (juce::jmax (2, getTotalNumOutputChannels()));
    if (highPassFilters.size() < filterCount)
        highPassFilters.resize (filterCount);
    setHighPassCoefficients (sampleRate);

    lastSampleRate = sampleRate;
    lastBlockSize = samplesPerBlock;

    // The host's thread never waits on a model call without bound (the Standalone calls this on
    // the message thread, holding the lock its audio callback takes): the model's part runs on
    // the loading worker, and the audio stays silent until it has ended.
    if (const auto done = queuePreparation())
        done->wait (hostPreparationWaitMs);
}

std::shared_ptr<juce::WaitableEvent> CalbrixAudioProcessor::queuePreparation()
{
    const juce::ScopedLock lock (jobLock);
    if (loadingPool == nullptr)
        return {};

    auto done = std::make_shared<juce::WaitableEvent> (true);
    loadingPool->addJob (new LoadingWorkerJob ("PreparationJob", loadingTether, [this, done]
    {
        prepareOnLoadingWorker();
        done->signal();
    }), true);
    return done;
}

void CalbrixAudioProcessor::prepareOnLoadingWorker()
{
    double sampleRate = 0.0;
    int samplesPerBlock = 0;
    {
        const std::lock_guard<std::mutex> hold (preparationLock);
        if (! preparationPending)
            return; // an earlier job has already prepared for the newest request
        sampleRate = requestedSampleRate;
        samplesPerBlock = requestedBlockSize;
    }

    {
        const auto modelLock = takeModelOnLoadingWorker ([] { return loadAskedToStop(); });
        if (! modelLock.owns_lock())
            return; // the processor is going

        prepareModel (sampleRate, samplesPerBlock);

        // The reset that follows makes the queues with room for this block size.
        preparedQueueCapacity = queueCapacityFor (samplesPerBlock);
        resetRequested = true;

        readModelDelays();
    }

    replaceInferenceJob (sampleRate, samplesPerBlock);

    const std::lock_guard<std::mutex> hold (preparationLock);
    if (requestedSampleRate == sampleRate && requestedBlockSize == samplesPerBlock)
        preparationPending = false;
    loading = preparationPending;
}

bool CalbrixAudioProcessor::isPreparing()
{
    const std::lock_guard<std::mutex> hold (preparationLock);
    return preparationPending;
}

void CalbrixAudioProcessor::finishLoadingWork()
{
    const std::lock_guard<std::mutex> hold (preparationLock);
    loading = preparationPending;
}

void CalbrixAudioProcessor::replaceInferenceJob (double sampleRate, int samplesPerBlock)
{
    const juce::ScopedLock lock (jobLock);
    if (inferencePool == nullptr)
        return;

    // A job still inside a model call runs on and the new one waits behind it; the watch leaves
    // one behind that does not come back.
    inferencePool->removeAllJobs (true, 100);
    startInferenceJob (sampleRate, samplesPerBlock);
}

void CalbrixAudioProcessor::startInferenceJob (double sampleRate, int samplesPerBlock)
{
    const juce::ScopedLock lock (jobLock);
    inferencePool->addJob (new BackgroundProcess (*this, inputQueues, outputQueues, paramQueues, sampleRate, samplesPerBlock), true);
}

size_t CalbrixAudioProcessor::queueCapacityFor (int blockSize)
{
    const auto backlog = static_cast<size_t> (maxBufferingDelay + maxExtraLatency) + 4 * static_cast<size_t> (juce::jmax (0, blockSize));
    return juce::jmax (queueCapacity, backlog);
}

void CalbrixAudioProcessor::readModelDelays()
{
    // One lock for both calls (the loading worker holds it already): a model that is busy leaves
    // the delays as they were.
    const auto lock = model->lockForCalls();
    if (! lock.owns_lock())
        return;

    bufferingDelay = juce::jlimit (0, maxBufferingDelay, model->calc_buffering_delay_samples());
    modelDelay = juce::jlimit (0, maxModelDelay, model->calc_model_delay_samples());
    // Both in range, so their sum is too.
    setLatencySamples (bufferingDelay.load() + modelDelay.load());
}

void CalbrixAudioProcessor::prepareModel (double sampleRate, int samplesPerBlock, double)
{
    // The calls themselves run outside the processor (see WorkerTether), on the wrapper alone.
    auto& wrapper = *model;

    // Keeps the inference worker and a load on another thread out of the module meanwhile.
    const auto modelLock = wrapper.lockForCalls();
    if (! modelLock.owns_lock())
    {
        if (logger != nullptr)
            logger->logMessage ("error setting sr and buffer size of the model\nthe model is busy: a call into it has not come back\n");
        return;
    }

    const int64_t B = juce::jmax (0, samplesPerBlock);

    wrapper.inputs.clear();
    wrapper.inputs.push_back (torch::zeros ({ 2, B }));

    std::string errorText;
    {
        c10::InferenceMode guard;
        try
        {
            const std::vector<c10::IValue> arguments { c10::IValue (static_cast<int64_t> (sampleRate)), c10::IValue (B) };
            outsideTheProcessor ([&] { return wrapper.module.get_method ("set_daw_sample_rate_and_buffer_size") (arguments); }).toInt();
        }
        catch (const std::exception& e)
        {
            errorText = "error setting sr and buffer size of the model\n" + describeTorchError (e);
        }
    }

    if (logger != nullptr)
        logger->logMessage (errorText);

    const std::vector<c10::IValue> warmUpInputs { torch::zeros ({ 2, B }), torch::zeros ({ 4, B }) };
    const int warmUpCalls = warmUpCallCount (sampleRate, samplesPerBlock);

    c10::InferenceMode guard;
    wrapper.reset();

    try
    {
        for (int call = 0; call < warmUpCalls && ! loadAskedToStop(); ++call)
        {
            const auto result = outsideTheProcessor ([&] { return wrapper.module.get_method ("forward_bt") (warmUpInputs); });
            if (! result.isTensor() && ! result.isNone())
                throw c10::Error ({ __func__, __FILE__, static_cast<uint32_t> (__LINE__) },
                                  "forward_bt returned neither a tensor nor None");
        }
    }
    catch (const std::exception& e)
    {
        std::cerr << describeTorchError (e) << "\n" << "error running the model\n";
    }

    wrapper.reset();
}
