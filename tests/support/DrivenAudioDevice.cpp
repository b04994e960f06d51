#include "DrivenAudioDevice.h"

#include "AllocationCounter.h"

#include <chrono>
#include <cmath>
#include <limits>

namespace calbrix_test
{
    namespace
    {
        // testTone's two sines per channel, each tuned to a whole number of cycles in `samples`,
        // so that the loop has no seam: a click there would set the wet path's 10 Hz high-pass
        // ringing.
        std::vector<float> loopingTone (int samples, int channel, double sampleRate)
        {
            const double seconds = samples / sampleRate;
            auto tuned = [seconds] (double frequency) { return std::round (frequency * seconds) / seconds; };
            const double low = tuned (channel == 0 ? 331.0 : 277.0);
            const double high = tuned (channel == 0 ? 3100.0 : 4700.0);
            std::vector<float> tone (static_cast<size_t> (samples));
            for (int i = 0; i < samples; ++i)
            {
                const double t = i / sampleRate;
                tone[static_cast<size_t> (i)] = static_cast<float> (0.4 * std::sin (2.0 * juce::MathConstants<double>::pi * low * t + 0.3)
                                                                    + 0.2 * std::sin (2.0 * juce::MathConstants<double>::pi * high * t));
            }
            return tone;
        }

        constexpr float notSteady = std::numeric_limits<float>::quiet_NaN();

        // A smoother's value where it stays put across a block.
        struct SteadyGain
        {
            explicit SteadyGain (const CalbrixAudioProcessor::LinearSmoother& s)
                : smoother (s), steadyBefore (! s.isSmoothing()), before (s.getCurrentValue())
            {
            }

            float after() const
            {
                return steadyBefore && ! smoother.isSmoothing() && smoother.getCurrentValue() == before ? before : notSteady;
            }

            const CalbrixAudioProcessor::LinearSmoother& smoother;
            const bool steadyBefore;
            const float before;
        };
    } // namespace

    bool Take::anyByTheClock() const
    {
        for (const auto& block : blocks)
            if (block.byTheClock)
                return true;
        return false;
    }

    DrivenAudioDevice::DrivenAudioDevice (CalbrixAudioProcessor& p, double rate, int samplesPerBlock)
        : processor (p), sampleRate (rate), blockSize (samplesPerBlock)
    {
        // Whole blocks of a second of tone, played in a loop.
        const int samples = juce::jmax (1, static_cast<int> (rate) / blockSize) * blockSize;
        for (int channel = 0; channel < 2; ++channel)
            toneSamples[channel] = loopingTone (samples, channel, rate);

        startTake (0);
        thread = std::thread ([this] { run(); });
    }

    DrivenAudioDevice::~DrivenAudioDevice()
    {
        stop();
        {
            const std::lock_guard<std::mutex> hold (lock);
            quitting = true;
        }
        wake.notify_all();
        thread.join();
    }

    void DrivenAudioDevice::startTake (int blocks)
    {
        jassert (! busy);
        recorded = {};
        recorded.blockSize = blockSize;
        recorded.blocks.reserve (static_cast<size_t> (blocks));
        recorded.left.reserve (static_cast<size_t> (blocks) * static_cast<size_t> (blockSize));
        recorded.right.reserve (static_cast<size_t> (blocks) * static_cast<size_t> (blockSize));
    }

    void DrivenAudioDevice::request (long long blocks, Pace newPace)
    {
        {
            const std::lock_guard<std::mutex> hold (lock);
            blocksWanted = blocks;
            pace = newPace;
            busy = true;
        }
        wake.notify_all();
    }

    bool DrivenAudioDevice::play (int blocks, Pace newPace)
    {
        const auto missedBefore = missedAnswers.load();
        request (blocks, newPace);
        // Each block is bounded (its own wait in processBlock, the wait for the worker's answer),
        // so the device always gets there; the loop only runs the messages meanwhile.
        while (busy)
            juce::MessageManager::getInstance()->runDispatchLoopUntil (2);
        return missedAnswers.load() == missedBefore;
    }

    bool DrivenAudioDevice::playUntil (const std::function<bool()>& condition, Pace newPace, int timeoutMs)
    {
        start (newPace);
        const bool reached = pumpMessagesUntil (condition, timeoutMs);
        stop();
        return reached;
    }

    void DrivenAudioDevice::start (Pace newPace) { request (-1, newPace); }

    void DrivenAudioDevice::stop()
    {
        stopRequested = true;
        {
            const std::lock_guard<std::mutex> hold (lock);
            blocksWanted = 0;
        }
        wake.notify_all();
        while (busy)
            std::this_thread::sleep_for (std::chrono::microseconds (100));
        stopRequested = false;
    }

    void DrivenAudioDevice::run()
    {
        juce::AudioBuffer<float> buffer (2, blockSize);
        juce::MidiBuffer midi;
        const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration> (
            std::chrono::duration<double> (blockSize / sampleRate));
        auto next = std::chrono::steady_clock::now();
        bool answersMissedInThisRequest = false;

        for (;;)
        {
            Pace current;
            {
                std::unique_lock<std::mutex> hold (lock);
                // Idle whenever nothing is wanted, also when a request was taken back before
                // this thread saw it.
                while (blocksWanted == 0 && ! quitting)
                {
                    busy = false;
                    answersMissedInThisRequest = false;
                    wake.wait (hold);
                }
                if (quitting)
                    break;
                if (blocksWanted > 0)
                    --blocksWanted;
                current = pace;
            }

            // After a missed answer the rest of the request goes by the clock: one bound per
            // request, not one per block.
            const bool byTheClock = current == Pace::clock || answersMissedInThisRequest;
            if (byTheClock)
            {
                next += period;
                std::this_thread::sleep_until (next);
                // A device that fell far behind (a stalled machine) starts its clock afresh.
                if (std::chrono::steady_clock::now() - next > period * 50)
                    next = std::chrono::steady_clock::now();
            }
            else
            {
                next = std::chrono::steady_clock::now();
            }

            playOne (buffer, midi, byTheClock);

            if (! byTheClock && ! answers.waitAfterHandover (&stopRequested) && ! stopRequested)
            {
                ++missedAnswers;
                answersMissedInThisRequest = true;
            }
        }

        if (counting)
            stopCountingAllocations();
    }

    void DrivenAudioDevice::playOne (juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi, bool byTheClock)
    {
        const auto handed = played.load();
        const int toneBlock = static_cast<int> (handed % toneBlocks());
        for (int channel = 0; channel < 2; ++channel)
            buffer.copyFrom (channel, 0, toneSamples[channel].data() + toneBlock * blockSize, blockSize);

        if (countRequested.exchange (false))
        {
            resetAllocationCount();
            startCountingAllocations();
            counting = true;
        }

        const SteadyGain wet (processor.wetGainSmoother), fade (processor.fadeSmoother),
            output (processor.outputGainSmoother), dry (processor.dryGainSmoother);
        const int underrunsBefore = processor.underrunCount.load();

        processor.processBlock (buffer, midi);

        if (counting)
            allocationsCounted = allocationCount();

        PlayedBlock block;
        block.toneBlock = toneBlock;
        block.byTheClock = byTheClock;
        // A reset on the worker only ever lowers the count: it never makes a block look late.
        block.late = processor.underrunCount.load() > underrunsBefore;
        block.wet = wet.after();
        block.fade = fade.after();
        block.output = output.after();
        block.dry = dry.after();

        long long bad = 0;
        for (int channel = 0; channel < 2; ++channel)
        {
            const float* samples = buffer.getReadPointer (channel);
            for (int i = 0; i < blockSize; ++i)
            {
                if (! std::isfinite (samples[i]))
                    ++bad;
                if (samples[i] != 0.0f)
                    block.silent = false;
            }
        }
        nonFinite += bad;
        if (block.late && ! block.silent)
            ++lateButHeard;

        // Within the room made by startTake: no allocation here.
        if (recorded.blocks.size() < recorded.blocks.capacity())
        {
            recorded.blocks.push_back (block);
            recorded.left.insert (recorded.left.end(), buffer.getReadPointer (0), buffer.getReadPointer (0) + blockSize);
            recorded.right.insert (recorded.right.end(), buffer.getReadPointer (1), buffer.getReadPointer (1) + blockSize);
        }
        else
        {
            ++recorded.unrecorded;
        }

        ++played;
    }
} // namespace calbrix_test
