// Preparing the processor and the model for the host's sample rate and block size.
#include "CalbrixModel.h"

#include "BackgroundProcess.h"
#include "PluginProcessor.h"

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
    // with a slow model each one can take seconds. A preparation for the host never is.
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

    loading = true;

    fadeSmoother.reset (sampleRate, fadeSeconds);
    for (auto* smoother : { &wetGainSmoother, &dryGainSmoother, &inputGainSmoother, &outputGainSmoother,
                            &p1Smoother, &p2Smoother, &p3Smoother, &p4Smoother })
        smoother->reset (sampleRate, rampSeconds);

    // The block processing always runs a left and a right filter.
    const auto filterCount = static_cast<size_t> (juce::jmax (2, getTotalNumOutputChannels()));
    if (highPassFilters.size() < filterCount)
        highPassFilters.resize (filterCount);
    setHighPassCoefficients (sampleRate);

    prepareModel (sampleRate, samplesPerBlock);

    resetRequested = true;

    bufferingDelay = model->calc_buffering_delay_samples();
    modelDelay = model->calc_model_delay_samples();
    setLatencySamples (bufferingDelay.load() + modelDelay.load());

    replaceInferenceJob (sampleRate, samplesPerBlock);

    lastSampleRate = sampleRate;
    lastBlockSize = samplesPerBlock;
    loading = false;
}

void CalbrixAudioProcessor::replaceInferenceJob (double sampleRate, int samplesPerBlock)
{
    const juce::ScopedLock lock (jobLock);
    if (inferencePool == nullptr)
        return;

    inferencePool->removeAllJobs (true, 100);
    inferencePool->addJob (new BackgroundProcess (*this, inputQueues, outputQueues, paramQueues, sampleRate, samplesPerBlock), true);
}

void CalbrixAudioProcessor::prepareModel (double sampleRate, int samplesPerBlock, double)
{
    // Keeps the inference worker and a load on another thread out of the module meanwhile.
    const std::lock_guard<std::recursive_mutex> modelLock (model->callLock());
    const int64_t B = juce::jmax (0, samplesPerBlock);

    model->inputs.clear();
    model->inputs.push_back (torch::zeros ({ 2, B }));

    std::string errorText;
    {
        c10::InferenceMode guard;
        try
        {
            auto method = model->module.get_method ("set_daw_sample_rate_and_buffer_size");
            method ({ c10::IValue (static_cast<int64_t> (sampleRate)), c10::IValue (B) }).toInt();
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
    model->reset();

    try
    {
        for (int call = 0; call < warmUpCalls && ! loadAskedToStop(); ++call)
        {
            auto method = model->module.get_method ("forward_bt");
            const auto result = method (warmUpInputs);
            if (! result.isTensor() && ! result.isNone())
                throw c10::Error ({ __func__, __FILE__, static_cast<uint32_t> (__LINE__) },
                                  "forward_bt returned neither a tensor nor None");
        }
    }
    catch (const std::exception& e)
    {
        std::cerr << describeTorchError (e) << "\n" << "error running the model\n";
    }

    model->reset();
}
