// processBlock driven like a host drives it, with the real inference worker and fixture models
// whose output is known: the mix, the dry delay, the fade, silence, late blocks and the latency
// they add. Timing never decides a result: late blocks are told apart and checked for what they
// must be (silent, and played one block later).
#include "BlockPlayer.h"

#include <gtest/gtest.h>

using namespace calbrix_test;

namespace
{
    constexpr double rate = 48000.0;
    constexpr int B = 512;

    std::unique_ptr<CalbrixAudioProcessor> processorWith (const juce::String& fixture, double sampleRate = rate, int blockSize = B)
    {
        auto processor = std::make_unique<CalbrixAudioProcessor>();
        prepare (*processor, sampleRate, blockSize);
        EXPECT_TRUE (loadFixture (*processor, fixture));
        EXPECT_TRUE (waitForQueueReset (*processor));
        return processor;
    }

    struct Levels
    {
        float wet, dry, inputDb, outputDb;
    };

    void setLevels (CalbrixAudioProcessor& processor, const Levels& levels)
    {
        setParameter (processor, "wet_gain", levels.wet);
        setParameter (processor, "dry_gain", levels.dry);
        setParameter (processor, "input_gain", levels.inputDb);
        setParameter (processor, "output_gain", levels.outputDb);
    }

    // The gains the processor works with, from the parameters' stored values.
    struct Gains
    {
        float wet, dry, input, output;
    };

    Gains gainsOf (CalbrixAudioProcessor& processor)
    {
        return { parameterValue (processor, "wet_gain"), parameterValue (processor, "dry_gain"),
                 juce::Decibels::decibelsToGain (parameterValue (processor, "input_gain")),
                 juce::Decibels::decibelsToGain (parameterValue (processor, "output_gain")) };
    }

    // What a fixture makes of a stream of input samples, in queue order.
    using ModelOutput = std::function<std::vector<float> (const std::vector<float>&)>;

    ModelOutput timesModel (float factor)
    {
        return [factor] (const std::vector<float>& in) { return scaled (in, factor); };
    }

    ModelOutput firstHalfOfEachBlock()
    {
        return [] (const std::vector<float>& in)
        {
            std::vector<float> out;
            for (size_t block = 0; block + B <= in.size(); block += B)
                out.insert (out.end(), in.begin() + static_cast<long> (block), in.begin() + static_cast<long> (block + B / 2));
            return out;
        };
    }

    std::vector<float> concat (const std::vector<float>& a, const std::vector<float>& b)
    {
        auto all = a;
        all.insert (all.end(), b.begin(), b.end());
        return all;
    }

    std::vector<float> tail (const std::vector<float>& samples, size_t from)
    {
        return { samples.begin() + static_cast<long> (std::min (from, samples.size())), samples.end() };
    }

    bool allSilent (const std::vector<float>& samples)
    {
        return std::all_of (samples.begin(), samples.end(), [] (float s) { return s == 0.0f; });
    }

    std::vector<size_t> queueSizes (CalbrixAudioProcessor& p)
    {
        std::vector<size_t> sizes;
        for (auto* queues : { &p.inputQueues, &p.outputQueues, &p.paramQueues, &p.dryQueues })
            for (auto& queue : *queues)
                sizes.push_back (queue->size_approx());
        return sizes;
    }
} // namespace

TEST (BlockProcessing, OutputIsTheFilteredWetPlusTheDelayedDryTimesTheOutputGain)
{
    struct Case
    {
        const char* what;
        const char* fixture;
        Levels levels;
        int channels;
        int modelDelay;
        ModelOutput model;
    };
    const Case cases[] = {
        { "gain 2, half dry", "gain2.pt", { 1.0f, 0.5f, 0.0f, 0.0f }, 2, 0, timesModel (2.0f) },
        { "every level in use, output at -30 dB", "gain2.pt", { 0.6f, 0.3f, 6.0f, -30.0f }, 2, 0, timesModel (2.0f) },
        { "dry only", "identity.pt", { 0.0f, 1.0f, 0.0f, 0.0f }, 2, 0, timesModel (1.0f) },
        { "wet only", "identity.pt", { 1.0f, 0.0f, -12.0f, 3.0f }, 2, 0, timesModel (1.0f) },
        { "model delay 100: the dry path waits as long", "delays.pt", { 1.0f, 0.7f, 0.0f, 0.0f }, 2, 100, timesModel (1.0f) },
        { "model delay 100, dry only", "delays.pt", { 0.0f, 1.0f, 0.0f, 0.0f }, 2, 100, timesModel (1.0f) },
        { "model gives half a block per block", "half_length.pt", { 1.0f, 0.5f, 0.0f, 0.0f }, 2, 0, firstHalfOfEachBlock() },
        { "one channel", "gain2.pt", { 0.8f, 0.4f, 0.0f, -6.0f }, 1, 0, timesModel (2.0f) },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        auto processor = processorWith (c.fixture);
        setLevels (*processor, c.levels);
        playSilenceUntilSettled (*processor, B);
        ASSERT_EQ (processor->modelDelay.load(), c.modelDelay);

        const int samples = 48 * B;
        const auto left = testTone (samples, 0, rate);
        const auto right = testTone (samples, 1, rate);
        const auto played = play (*processor, left, right, B, c.channels);

        EXPECT_TRUE (played.lateBlocksSilent);
        ASSERT_GE (played.left.size(), 8u * B) << played.lateBlocks << " late blocks";

        const auto g = gainsOf (*processor);
        if (c.levels.outputDb == -30.0f)
        {
            EXPECT_NEAR (g.output, 0.0316228f, 1.0e-6f);
        }

        ExpectedMix mix (rate);
        auto expected = [&] (int channel, const std::vector<float>& input)
        {
            return mix.channel (channel, c.model (scaled (input, g.input)), delayed (scaled (input, g.dry), c.modelDelay),
                                played.processedIndex, steadyGains (g.wet, g.output));
        };

        if (c.channels == 2)
        {
            EXPECT_TRUE (playedAsExpected (played.left, expected (0, left)));
            EXPECT_TRUE (playedAsExpected (played.right, expected (1, right)));
        }
        else
        {
            // Both paths carry the one channel; the right path's result is what sounds.
            EXPECT_TRUE (playedAsExpected (played.left, expected (1, left)));
        }
    }
}

TEST (BlockProcessing, FirstBlockAfterConstructionStartsTheFadeIn)
{
    for (const auto& [sampleRate, blockSize] : { std::pair { 48000.0, 512 }, std::pair { 44100.0, 128 } })
    {
        SCOPED_TRACE (sampleRate);
        auto processor = processorWith ("identity.pt", sampleRate, blockSize);
        auto& p = *processor;
        setLevels (p, { 0.9f, 0.5f, 0.0f, -6.0f });
        EXPECT_TRUE (p.muted.load());

        const int samples = static_cast<int> (0.3 * sampleRate) / blockSize * blockSize;
        const auto left = testTone (samples, 0, sampleRate);
        const auto right = testTone (samples, 1, sampleRate);
        const auto played = play (p, left, right, blockSize);
        EXPECT_FALSE (p.muted.load());
        EXPECT_TRUE (played.lateBlocksSilent);
        ASSERT_GE (played.left.size(), static_cast<size_t> (samples / 4));

        // Every smoother starts from 0 at the first block: the fade rises over 0.2 s, the levels over 0.05 s.
        const auto g = gainsOf (p);
        const auto fade = smootherSteps (sampleRate, 0.2, 0.0f, 1.0f, 0, samples);
        const auto wet = smootherSteps (sampleRate, 0.05, 0.0f, g.wet, 0, samples);
        const auto output = smootherSteps (sampleRate, 0.05, 0.0f, g.output, 0, samples);
        const auto inputGain = smootherSteps (sampleRate, 0.05, 0.0f, g.input, 0, samples);
        const auto dryGain = smootherSteps (sampleRate, 0.05, 0.0f, g.dry, 0, samples);
        const MixGains gains { [&] (int s) { return wet[static_cast<size_t> (s)]; },
                               [&] (int s) { return fade[static_cast<size_t> (s)]; },
                               [&] (int s) { return output[static_cast<size_t> (s)]; } };

        ExpectedMix mix (sampleRate);
        for (int channel = 0; channel < 2; ++channel)
        {
            const auto& input = channel == 0 ? left : right;
            std::vector<float> toModel (input.size()), dry (input.size());
            for (size_t i = 0; i < input.size(); ++i)
            {
                toModel[i] = input[i] * inputGain[i];
                dry[i] = input[i] * dryGain[i];
            }
            EXPECT_TRUE (playedAsExpected (channel == 0 ? played.left : played.right,
                                           mix.channel (channel, toModel, dry, played.processedIndex, gains)));
        }
    }
}

TEST (BlockProcessing, FadeOutMutesAtTheEndOfItsBlockAndFadeInResumes)
{
    auto processor = processorWith ("identity.pt");
    auto& p = *processor;
    setLevels (p, { 1.0f, 0.0f, 0.0f, 0.0f });
    playSilenceUntilSettled (p, B);
    ExpectedMix mix (rate);

    // Fading out: 9600 samples of ramp end inside the 19th block, which ends muted.
    const int fadeBlocks = (9600 + B - 1) / B;
    const int outSamples = fadeBlocks * B;
    const auto outLeft = testTone (outSamples, 0, rate);
    const auto outRight = testTone (outSamples, 1, rate);
    std::vector<bool> mutedBefore;
    p.fadeState = 1;
    const auto fadingOut = play (p, outLeft, outRight, B, 2, [&] (int) { mutedBefore.push_back (p.muted.load()); });
    mutedBefore.push_back (p.muted.load());

    std::vector<bool> expectedMuted (static_cast<size_t> (fadeBlocks), false);
    expectedMuted.push_back (true);
    EXPECT_EQ (mutedBefore, expectedMuted);

    const auto fallingFade = smootherSteps (rate, 0.2, 1.0f, 0.0f, 0, outSamples);
    const MixGains falling { [] (int) { return 1.0f; }, [&] (int s) { return fallingFade[static_cast<size_t> (s)]; }, [] (int) { return 1.0f; } };
    const std::vector<float> noDry (static_cast<size_t> (outSamples) * 2, 0.0f);
    EXPECT_TRUE (playedAsExpected (fadingOut.left, mix.channel (0, outLeft, noDry, fadingOut.processedIndex, falling)));
    EXPECT_TRUE (playedAsExpected (fadingOut.right, mix.channel (1, outRight, noDry, fadingOut.processedIndex, falling)));

    // Muted: silence, and nothing queued, taken or moved.
    const auto dryQueued = p.dryQueues[0]->size_approx();
    const auto underruns = p.underrunCount.load();
    const auto mutedBlocks = play (p, testTone (3 * B, 0, rate), testTone (3 * B, 1, rate), B);
    EXPECT_TRUE (allSilent (mutedBlocks.left) && allSilent (mutedBlocks.right));
    EXPECT_EQ (mutedBlocks.left.size(), 3u * B);
    EXPECT_TRUE (p.muted.load());
    EXPECT_EQ (p.fadeSmoother.getCurrentValue(), 0.0f);
    EXPECT_EQ (p.dryQueues[0]->size_approx(), dryQueued);
    EXPECT_EQ (p.underrunCount.load(), underruns);

    // Fading in again from the next block: the streams carry on where the fade-out left them.
    p.fadeState = 2;
    const int inSamples = 24 * B;
    const auto inLeft = testTone (inSamples, 0, rate);
    const auto inRight = testTone (inSamples, 1, rate);
    const auto fadingIn = play (p, inLeft, inRight, B);
    EXPECT_FALSE (p.muted.load());
    ASSERT_GE (fadingIn.left.size(), 4u * B);

    const auto risingFade = smootherSteps (rate, 0.2, 0.0f, 1.0f, 0, inSamples);
    const MixGains rising { [] (int) { return 1.0f; }, [&] (int s) { return risingFade[static_cast<size_t> (s)]; }, [] (int) { return 1.0f; } };
    const auto unplayed = fadingOut.left.size();
    EXPECT_TRUE (playedAsExpected (fadingIn.left, mix.channel (0, tail (concat (outLeft, inLeft), unplayed), noDry, fadingIn.processedIndex, rising)));
    EXPECT_TRUE (playedAsExpected (fadingIn.right, mix.channel (1, tail (concat (outRight, inRight), unplayed), noDry, fadingIn.processedIndex, rising)));
}

TEST (BlockProcessing, LateBlockIsSilentAndTheNextBlockPlaysItsOutput)
{
    auto processor = processorWith ("costly.pt");
    auto& p = *processor;
    setLevels (p, { 1.0f, 0.5f, 0.0f, 0.0f });
    playSilenceUntilSettled (p, B);

    // Only the first call after the reset is slow, far beyond a block's time: its block is late
    // however loaded the machine is. Before every later block the worker has caught up (play
    // hands each block over once the worker has answered the one before).
    setModelAttribute (p, "iterations", int64_t { 100000 });
    setModelAttribute (p, "slow_calls", int64_t { 1 });
    ASSERT_TRUE (resetQueuesAndWait (p));

    const int blocks = 8;
    const auto left = testTone (blocks * B, 0, rate);
    const auto right = testTone (blocks * B, 1, rate);
    const auto played = play (p, left, right, B);

    std::vector<bool> expectedLate (blocks, false);
    expectedLate[0] = true;
    EXPECT_EQ (played.blockLate, expectedLate);
    EXPECT_TRUE (played.lateBlocksSilent);

    // Block 1 plays block 0's output and dry samples, and so on, one block behind.
    const auto g = gainsOf (p);
    ExpectedMix mix (rate);
    EXPECT_TRUE (playedAsExpected (played.left, mix.channel (0, left, scaled (left, g.dry), played.processedIndex, steadyGains (1.0f, 1.0f))));
    EXPECT_TRUE (playedAsExpected (played.right, mix.channel (1, right, scaled (right, g.dry), played.processedIndex, steadyGains (1.0f, 1.0f))));

    // No buffering delay covers it: the one late block adds its length to the reported latency.
    EXPECT_EQ (p.underrunCount.load(), 1);
    EXPECT_EQ (p.extraLatency.load(), B);
    EXPECT_EQ (p.getLatencySamples(), B);
}

TEST (BlockProcessing, LateBlocksBeyondTheBufferingDelayGrowTheReportedLatency)
{
    // 1024 samples of buffering cover two late blocks at the prepared block size of 512; the
    // model delay is 100. The host sends blocks of 256: each late block adds 256.
    auto processor = processorWith ("costly_with_delays.pt");
    auto& p = *processor;
    EXPECT_EQ (p.getLatencySamples(), 1124);

    // Every call now takes far longer than a block.
    setModelAttribute (p, "iterations", int64_t { 100000 });

    constexpr int n = 256;
    juce::AudioBuffer<float> buffer (2, n);
    juce::MidiBuffer midi;
    // What the paths may hold back: the two blocks the buffering covers and the most extra latency,
    // and the block in hand. The blocks that would hold them back further go into neither path.
    const auto mostHeldBack = static_cast<size_t> (2 * 512 + CalbrixAudioProcessor::maxExtraLatency + n);
    for (int block = 0; block < 200; ++block)
    {
        buffer.clear();
        p.processBlock (buffer, midi);

        const int late = p.underrunCount.load();
        const int extra = std::min (std::max (0, late - 2) * n, CalbrixAudioProcessor::maxExtraLatency);
        ASSERT_EQ (p.extraLatency.load(), extra) << late << " late blocks";
        ASSERT_EQ (p.getLatencySamples(), 1124 + extra) << late << " late blocks";
        ASSERT_LE (p.dryQueues[0]->size_approx(), mostHeldBack) << late << " late blocks";
    }

    EXPECT_EQ (p.getLatencySamples(), 1124 + CalbrixAudioProcessor::maxExtraLatency);
}

TEST (BlockProcessing, ModelAnsweringNoneLeavesEveryBlockLateAndSilent)
{
    auto processor = processorWith ("returns_none.pt");
    auto& p = *processor;
    setLevels (p, { 1.0f, 1.0f, 0.0f, 0.0f });
    playSilenceUntilSettled (p, B);

    const auto played = play (p, testTone (6 * B, 0, rate), testTone (6 * B, 1, rate), B);
    EXPECT_EQ (played.lateBlocks, 6);
    EXPECT_TRUE (played.lateBlocksSilent);
    // The dry samples wait for model output that never comes.
    EXPECT_EQ (p.dryQueues[0]->size_approx(), 6u * B);
    EXPECT_EQ (p.dryQueues[1]->size_approx(), 6u * B);
}

TEST (BlockProcessing, LoadingSilencesBlocksWithoutTouchingQueuesOrSmoothers)
{
    auto processor = processorWith ("identity.pt");
    auto& p = *processor;
    setLevels (p, { 1.0f, 0.5f, 0.0f, 0.0f });
    playSilenceUntilSettled (p, B);

    setParameter (p, "wet_gain", 0.25f);
    p.loading = true;
    const auto played = play (p, testTone (3 * B, 0, rate), testTone (3 * B, 1, rate), B);
    pumpMessagesFor (20);

    EXPECT_EQ (played.left.size(), 3u * B);
    EXPECT_TRUE (allSilent (played.left) && allSilent (played.right));
    EXPECT_EQ (queueSizes (p), std::vector<size_t> (10, 0u));
    EXPECT_EQ (p.underrunCount.load(), 0);
    EXPECT_EQ (p.fadeSmoother.getCurrentValue(), 1.0f);
    EXPECT_EQ (p.wetGainSmoother.getTargetValue(), 1.0f); // the new level waits for a processed block
    EXPECT_TRUE (p.parametersDirty.load());
    EXPECT_FALSE (p.insideProcessBlock.load());

    p.loading = false;
    settle (p, B, 1);
    EXPECT_FALSE (p.parametersDirty.load());
    EXPECT_EQ (p.wetGainSmoother.getTargetValue(), 0.25f);
}

TEST (BlockProcessing, BuffersWithoutOneOrTwoChannelsComeBackCleared)
{
    // A fresh processor: muted, with the fade-in pending.
    auto processor = processorWith ("identity.pt");
    auto& p = *processor;
    juce::MidiBuffer midi;

    for (int channels : { 0, 3, 4 })
    {
        SCOPED_TRACE (channels);
        juce::AudioBuffer<float> buffer (channels, B);
        for (int channel = 0; channel < channels; ++channel)
            juce::FloatVectorOperations::fill (buffer.getWritePointer (channel), 0.5f, B);

        p.processBlock (buffer, midi);

        for (int channel = 0; channel < channels; ++channel)
            EXPECT_EQ (buffer.getMagnitude (channel, 0, B), 0.0f);
        EXPECT_TRUE (p.muted.load()); // the block never reached the fade
        EXPECT_FALSE (p.insideProcessBlock.load());
        EXPECT_EQ (queueSizes (p), std::vector<size_t> (10, 0u));
    }
}

TEST (BlockProcessing, BlockOfNoSamplesQueuesNothingAndIsNeverLate)
{
    auto processor = processorWith ("identity.pt");
    auto& p = *processor;
    juce::AudioBuffer<float> empty (2, 0);
    juce::MidiBuffer midi;

    p.processBlock (empty, midi);

    EXPECT_EQ (p.underrunCount.load(), 0);
    EXPECT_EQ (p.extraLatency.load(), 0);
    EXPECT_EQ (queueSizes (p), std::vector<size_t> (10, 0u));
    // The fade-in has started but not moved from 0, and the block still ends with the mute test.
    EXPECT_EQ (p.fadeSmoother.getTargetValue(), 1.0f);
    EXPECT_TRUE (p.muted.load());
}

TEST (BlockProcessing, EachSampleQueuesItsParametersDryAndScaledInput)
{
    CalbrixAudioProcessor p;
    constexpr int n = 64;
    prepare (p, rate, n);
    ASSERT_TRUE (waitForQueueReset (p));
    // Without a worker what the block queues stays where it is.
    ASSERT_TRUE (p.inferencePool->removeAllJobs (true, 5000));

    const char* params[] = { "p1", "p2", "p3", "p4" };
    for (int k = 0; k < 4; ++k)
        setParameter (p, params[k], 0.1f * static_cast<float> (k + 1));
    setLevels (p, { 1.0f, 0.5f, 6.0f, 0.0f });

    const auto left = testTone (n, 0, rate);
    const auto right = testTone (n, 1, rate);
    const auto played = play (p, left, right, n);
    EXPECT_EQ (played.lateBlocks, 1);
    EXPECT_TRUE (played.lateBlocksSilent);

    // Every smoother starts its 0.05 s ramp from 0 with this first block.
    auto steps = [&] (float target) { return smootherSteps (rate, 0.05, 0.0f, target, 0, n); };
    auto drain = [] (SampleQueue& queue)
    {
        std::vector<float> samples;
        for (float s = 0.0f; queue.try_dequeue (s);)
            samples.push_back (s);
        return samples;
    };
    auto timesSteps = [] (const std::vector<float>& signal, const std::vector<float>& gains)
    {
        std::vector<float> out (signal.size());
        for (size_t i = 0; i < signal.size(); ++i)
            out[i] = signal[i] * gains[i];
        return out;
    };

    const auto g = gainsOf (p);
    for (size_t k = 0; k < 4; ++k)
        EXPECT_EQ (drain (*p.paramQueues[k]), steps (parameterValue (p, params[k]))) << params[k];
    EXPECT_EQ (drain (*p.inputQueues[0]), timesSteps (left, steps (g.input)));
    EXPECT_EQ (drain (*p.inputQueues[1]), timesSteps (right, steps (g.input)));
    EXPECT_EQ (drain (*p.dryQueues[0]), timesSteps (left, steps (g.dry)));
    EXPECT_EQ (drain (*p.dryQueues[1]), timesSteps (right, steps (g.dry)));

    EXPECT_EQ (p.extraLatency.load(), n);
    EXPECT_EQ (p.getLatencySamples(), n);
}
