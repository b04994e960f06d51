// The audio callback: queues the block for the inference worker, waits a bounded time for the
// model's output and mixes it with the delayed dry signal. No lock, no allocation in the steady
// state, no file or console I/O, never a model call.
#include "PluginProcessor.h"

namespace
{
    constexpr float muteThreshold = 1.0e-7f;
    constexpr double waitBudgetFraction = 0.9;
}

void CalbrixAudioProcessor::readParameterTargets() noexcept
{
    inputGainSmoother.setTargetValue (juce::Decibels::decibelsToGain (inputGainParameter->load()));
    outputGainSmoother.setTargetValue (juce::Decibels::decibelsToGain (outputGainParameter->load()));
    wetGainSmoother.setTargetValue (wetGainParameter->load());
    dryGainSmoother.setTargetValue (dryGainParameter->load());
    p1Smoother.setTargetValue (p1Parameter->load());
    p2Smoother.setTargetValue (p2Parameter->load());
    p3Smoother.setTargetValue (p3Parameter->load());
    p4Smoother.setTargetValue (p4Parameter->load());
}

void CalbrixAudioProcessor::processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer&)
{
    const auto startTicks = juce::Time::getHighResolutionTicks();
    juce::ScopedNoDenormals noDenormals;

    const int n = buffer.getNumSamples();
    const double sampleRate = getSampleRate();

    for (int channel = getTotalNumInputChannels(); channel < juce::jmin (getTotalNumOutputChannels(), buffer.getNumChannels()); ++channel)
        buffer.clear (channel, 0, n);

    float* left = nullptr;
    float* right = nullptr;
    switch (buffer.getNumChannels())
    {
        case 1:  left = right = buffer.getWritePointer (0); break;
        case 2:  left = buffer.getWritePointer (0); right = buffer.getWritePointer (1); break;
        default: buffer.clear(); return;
    }

    switch (fadeState.load())
    {
        case 2:  fadeSmoother.setTargetValue (1.0f); muted = false; break;
        case 1:  fadeSmoother.setTargetValue (0.0f); break;
        default: break;
    }

    insideProcessBlock = true;

    if (muted || loading || resetRequested)
    {
        buffer.clear();
        insideProcessBlock = false;
        return;
    }

    // Clearing first means a change that lands while the targets are read is picked up next block.
    if (parametersDirty.exchange (false))
        readParameterTargets();

    const int buffering = bufferingDelay.load();
    const int preparedBlockSize = getBlockSize();
    const int blocksCoveredByBuffering = preparedBlockSize > 0 ? buffering / preparedBlockSize : 0;

    // The paths hold back at most what the reported latency can account for. Beyond that a block
    // goes to neither path (both skip it alike, so they stay aligned with each other and with the
    // latency reported), and the queues never outgrow the room they were made with.
    const auto backlogLimit = static_cast<size_t> (blocksCoveredByBuffering * preparedBlockSize + maxExtraLatency);
    const bool queued = dryQueues[0]->size_approx() <= backlogLimit;

    if (queued)
    {
        for (int i = 0; i < n; ++i)
        {
            paramQueues[0]->enqueue (p1Smoother.getNextValue());
            paramQueues[1]->enqueue (p2Smoother.getNextValue());
            paramQueues[2]->enqueue (p3Smoother.getNextValue());
            paramQueues[3]->enqueue (p4Smoother.getNextValue());
        }

        const auto dryDelay = static_cast<float> (modelDelay.load());
        for (int i = 0; i < n; ++i)
        {
            const float g = dryGainSmoother.getNextValue();
            dryQueues[0]->enqueue (dryDelayLeft->process (left[i] * g, dryDelay));
            dryQueues[1]->enqueue (dryDelayRight->process (right[i] * g, dryDelay));
        }
    }
    else
    {
        for (auto* smoother : { &p1Smoother, &p2Smoother, &p3Smoother, &p4Smoother, &dryGainSmoother, &inputGainSmoother })
            smoother->skip (n);
    }

    // The block counts as late until its output has been seen.
    const int underrunsBefore = queued ? underrunCount.fetch_add (1) : underrunCount.load();

    if (queued)
    {
        for (int i = 0; i < n; ++i)
        {
            const float g = inputGainSmoother.getNextValue();
            inputQueues[0]->enqueue (left[i] * g);
            inputQueues[1]->enqueue (right[i] * g);
        }
    }

    const auto wanted = static_cast<size_t> (n);
    auto outputReady = [this, wanted]
    {
        return outputQueues[0]->size_approx() >= wanted && outputQueues[1]->size_approx() >= wanted;
    };

    const auto budgetTicks = sampleRate > 0.0
        ? static_cast<juce::int64> (((n / sampleRate) * waitBudgetFraction) * static_cast<double> (juce::Time::getHighResolutionTicksPerSecond()))
        : juce::int64 { 0 };

    const auto waitStartTicks = juce::Time::getHighResolutionTicks();
    while (juce::Time::getHighResolutionTicks() - startTicks < budgetTicks && ! outputReady())
    {
    }
    lastWaitTicks = juce::Time::getHighResolutionTicks() - waitStartTicks;

    const bool late = ! outputReady();
    if (! late && queued)
        underrunCount.fetch_sub (1);

    // Only a late block that went into the paths holds them back one block more. The extra
    // latency stops where the backlog limit does.
    const int underruns = underrunCount.load();
    if (queued && underruns > blocksCoveredByBuffering && underruns != underrunsBefore)
    {
        const int extra = juce::jmin (extraLatency.load() + n, maxExtraLatency);
        extraLatency = extra;
        setLatencySamples (modelDelay.load() + buffering + extra);
    }

    for (int i = 0; i < n; ++i)
    {
        const float w = wetGainSmoother.getNextValue();
        const float f = fadeSmoother.getNextValue();
        const float o = outputGainSmoother.getNextValue();

        if (late)
        {
            left[i] = 0.0f;
            right[i] = 0.0f;
            continue;
        }

        float wet = 0.0f;
        float dry = 0.0f;
        float mixed = 0.0f;
        if (outputQueues[0]->try_dequeue (wet))
        {
            const float filtered = highPassFilters[0].processSingleSampleRaw (wet * w * f);
            dryQueues[0]->try_dequeue (dry);
            mixed = filtered + dry;
        }
        left[i] = mixed;

        mixed = 0.0f;
        dry = 0.0f;
        if (outputQueues[1]->try_dequeue (wet))
        {
            const float filtered = highPassFilters[1].processSingleSampleRaw (wet * w * f);
            dryQueues[1]->try_dequeue (dry);
            mixed = filtered + dry;
        }
        right[i] = mixed;

        // One channel: left and right are the same samples, which hold the right path's result.
        right[i] *= o;
        if (left != right)
            left[i] *= o;
    }

    if (fadeSmoother.getCurrentValue() < muteThreshold)
        muted = true;

    insideProcessBlock = false;
}
