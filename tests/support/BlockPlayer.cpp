#include "BlockPlayer.h"

#include "WorkerAnswers.h"

#include <cmath>

namespace calbrix_test
{
    std::vector<float> testTone (int samples, int channel, double sampleRate)
    {
        const double low = channel == 0 ? 331.0 : 277.0;
        const double high = channel == 0 ? 3100.0 : 4700.0;
        std::vector<float> tone (static_cast<size_t> (samples));
        for (int i = 0; i < samples; ++i)
        {
            const double t = i / sampleRate;
            tone[static_cast<size_t> (i)] = static_cast<float> (0.4 * std::sin (2.0 * juce::MathConstants<double>::pi * low * t + 0.3)
                                                                + 0.2 * std::sin (2.0 * juce::MathConstants<double>::pi * high * t));
        }
        return tone;
    }

    PlayedAudio play (CalbrixAudioProcessor& processor,
                      const std::vector<float>& left,
                      const std::vector<float>& right,
                      int blockSize,
                      int channels,
                      const std::function<void (int)>& beforeBlock)
    {
        PlayedAudio played;
        juce::AudioBuffer<float> buffer (channels, blockSize);
        juce::MidiBuffer midi;
        const int blocks = static_cast<int> (left.size()) / blockSize;
        const WorkerAnswers answers;
        // No worker answers while a load holds it, or once its job is gone.
        auto workerAnswers = [&processor] { return processor.inferencePool->getNumJobs() > 0 && ! processor.loading.load(); };
        bool answered = true;

        for (int block = 0; block < blocks; ++block)
        {
            if (beforeBlock)
                beforeBlock (block);

            const auto first = static_cast<size_t> (block * blockSize);
            buffer.copyFrom (0, 0, left.data() + first, blockSize);
            if (channels > 1)
                buffer.copyFrom (1, 0, right.data() + first, blockSize);

            const int underrunsBefore = processor.underrunCount.load();
            processor.processBlock (buffer, midi);
            const bool late = processor.underrunCount.load() > underrunsBefore;

            if (answered && workerAnswers() && ! answers.waitAfterHandover())
            {
                ADD_FAILURE() << "the worker did not answer block " << block << " within its bound";
                answered = false;
            }

            played.blockLate.push_back (late);
            const float* outLeft = buffer.getReadPointer (0);
            const float* outRight = buffer.getReadPointer (channels > 1 ? 1 : 0);
            if (late)
            {
                ++played.lateBlocks;
                for (int i = 0; i < blockSize; ++i)
                    if (outLeft[i] != 0.0f || outRight[i] != 0.0f)
                        played.lateBlocksSilent = false;
                continue;
            }

            played.left.insert (played.left.end(), outLeft, outLeft + blockSize);
            played.right.insert (played.right.end(), outRight, outRight + blockSize);
            for (int i = 0; i < blockSize; ++i)
                played.processedIndex.push_back (block * blockSize + i);
        }
        return played;
    }

    void playSilenceUntilSettled (CalbrixAudioProcessor& processor, int blockSize)
    {
        auto ramping = [&processor]
        {
            for (auto* smoother : { &processor.fadeSmoother, &processor.wetGainSmoother, &processor.dryGainSmoother,
                                    &processor.inputGainSmoother, &processor.outputGainSmoother })
                if (smoother->isSmoothing())
                    return true;
            return processor.parametersDirty.load();
        };

        for (int block = 0; block < 10000 && (block < 2 || ramping()); ++block)
            settle (processor, blockSize, 1);

        ASSERT_FALSE (ramping());
        ASSERT_TRUE (resetQueuesAndWait (processor));
    }

    std::vector<float> smootherSteps (double sampleRate, double seconds, float from, float to, int rampStart, int steps)
    {
        juce::SmoothedValue<float, juce::ValueSmoothingTypes::Linear> smoother (from);
        smoother.reset (sampleRate, seconds);
        std::vector<float> values;
        for (int step = 0; step < steps; ++step)
        {
            if (step == rampStart)
                smoother.setTargetValue (to);
            values.push_back (smoother.getNextValue());
        }
        return values;
    }

    MixGains steadyGains (float wet, float output)
    {
        return { [wet] (int) { return wet; }, [] (int) { return 1.0f; }, [output] (int) { return output; } };
    }

    ExpectedMix::ExpectedMix (double sampleRate)
    {
        for (auto& filter : filters)
            filter.setCoefficients (juce::IIRCoefficients::makeHighPass (sampleRate, 10.0, 10.0));
    }

    std::vector<float> ExpectedMix::channel (int channel,
                                             const std::vector<float>& wetStream,
                                             const std::vector<float>& dryStream,
                                             const std::vector<int>& processedIndex,
                                             const MixGains& gains)
    {
        auto& filter = filters[channel];
        const auto count = std::min ({ wetStream.size(), dryStream.size(), processedIndex.size() });
        std::vector<float> out (count);
        for (size_t p = 0; p < count; ++p)
        {
            const int s = processedIndex[p];
            const float filtered = filter.processSingleSampleRaw (wetStream[p] * gains.wet (s) * gains.fade (s));
            out[p] = (filtered + dryStream[p]) * gains.output (s);
        }
        return out;
    }

    std::vector<float> scaled (const std::vector<float>& signal, float gain)
    {
        std::vector<float> out (signal.size());
        for (size_t i = 0; i < signal.size(); ++i)
            out[i] = signal[i] * gain;
        return out;
    }

    std::vector<float> delayed (const std::vector<float>& signal, int delay)
    {
        std::vector<float> out (signal.size(), 0.0f);
        for (size_t i = static_cast<size_t> (delay); i < signal.size(); ++i)
            out[i] = signal[i - static_cast<size_t> (delay)];
        return out;
    }

    ::testing::AssertionResult playedAsExpected (const std::vector<float>& played, const std::vector<float>& expected, float tolerance)
    {
        if (played.size() > expected.size())
            return ::testing::AssertionFailure() << played.size() << " samples played, only " << expected.size() << " expected";

        for (size_t i = 0; i < played.size(); ++i)
            if (! (std::abs (played[i] - expected[i]) <= tolerance))
                return ::testing::AssertionFailure() << "played sample " << i << " is " << played[i]
                                                     << ", expected " << expected[i] << " (of " << played.size() << " played)";
        return ::testing::AssertionSuccess();
    }
} // namespace calbrix_test
