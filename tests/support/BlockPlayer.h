#pragma once

// Plays signals through a real processor block by block and predicts what it must output.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace calbrix_test
{
    // Two sines per channel (a few hundred Hz and a few kHz, other frequencies on each channel),
    // peak about 0.6: far above the wet path's 10 Hz high-pass, different on every sample.
    std::vector<float> testTone (int samples, int channel, double sampleRate);

    // What a run of blocks gave, split by whether the model's output came in time.
    struct PlayedAudio
    {
        // The on-time blocks one after the other. A late block leaves its wet and dry samples
        // queued for the next block, so these are exactly the two streams in queue order.
        std::vector<float> left, right;
        // For each played sample, its position among all samples processed in the run, late ones
        // included: the step at which the wet, fade and output smoothers were read for it.
        std::vector<int> processedIndex;
        std::vector<bool> blockLate;
        int lateBlocks = 0;
        bool lateBlocksSilent = true;
    };

    // Runs whole blocks of `left` / `right` through processBlock on the calling thread, which
    // acts as the audio thread. A one-channel buffer carries `left` only. `beforeBlock`, when
    // given, runs before each block with the block's index. Each block is handed over once the
    // inference worker has answered the one before (where there is a worker to answer), so that
    // which blocks come in time does not depend on the machine: a block the worker answers too
    // late for its own wait leaves its output for the next, which is therefore never late. A
    // missing answer (past waits::workerAnswerMs) fails the test.
    PlayedAudio play (CalbrixAudioProcessor& processor,
                      const std::vector<float>& left,
                      const std::vector<float>& right,
                      int blockSize,
                      int channels = 2,
                      const std::function<void (int)>& beforeBlock = {});

    // Processes silent blocks until the fade-in and the parameter ramps have ended, then has the
    // worker empty the queues, so that the next block starts both streams afresh.
    void playSilenceUntilSettled (CalbrixAudioProcessor& processor, int blockSize);

    // Values of one juce linear smoother, step by step: `from` held, then a ramp to `to` of
    // `seconds` that starts at step `rampStart`.
    std::vector<float> smootherSteps (double sampleRate, double seconds, float from, float to, int rampStart, int steps);

    // Gains at a sample's processed index.
    struct MixGains
    {
        std::function<float (int)> wet, fade, output;
    };
    MixGains steadyGains (float wet, float output);

    // The processor's mix: (highPass (wet × w × f) + dry) × o per sample, where the wet and dry
    // samples come from their streams in order and the high-pass is the 10 Hz, Q 10 filter. Keeps
    // one filter state per channel across calls, like the processor's.
    class ExpectedMix
    {
    public:
        explicit ExpectedMix (double sampleRate);
        std::vector<float> channel (int channel,
                                    const std::vector<float>& wetStream,
                                    const std::vector<float>& dryStream,
                                    const std::vector<int>& processedIndex,
                                    const MixGains& gains);

    private:
        juce::IIRFilter filters[2];
    };

    std::vector<float> scaled (const std::vector<float>& signal, float gain);
    // Zeros for the first `delay` samples, then the signal.
    std::vector<float> delayed (const std::vector<float>& signal, int delay);

    // The played samples equal the first samples of `expected`, within `tolerance`.
    ::testing::AssertionResult playedAsExpected (const std::vector<float>& played,
                                                 const std::vector<float>& expected,
                                                 float tolerance = 1.0e-6f);
} // namespace calbrix_test
