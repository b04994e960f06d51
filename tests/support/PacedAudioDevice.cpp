#include "PacedAudioDevice.h"

#include "AllocationCounter.h"
#include "BlockPlayer.h"

#include <chrono>
#include <cmath>

namespace calbrix_test
{
    PacedAudioDevice::PacedAudioDevice (CalbrixAudioProcessor& p, double rate, int samplesPerBlock)
        : processor (p), sampleRate (rate), blockSize (samplesPerBlock)
    {
        // Whole blocks of a second of tone, played in a loop.
        const int samples = juce::jmax (1, static_cast<int> (rate) / blockSize) * blockSize;
        for (int channel = 0; channel < 2; ++channel)
            tone[channel] = testTone (samples, channel, rate);
    }

    PacedAudioDevice::~PacedAudioDevice() { stop(); }

    void PacedAudioDevice::start()
    {
        if (running.exchange (true))
            return;
        thread = std::thread ([this] { run(); });
    }

    void PacedAudioDevice::stop()
    {
        running = false;
        if (thread.joinable())
            thread.join();
    }

    void PacedAudioDevice::run()
    {
        juce::AudioBuffer<float> buffer (2, blockSize);
        juce::MidiBuffer midi;
        const auto period = std::chrono::duration<double> (blockSize / sampleRate);
        auto next = std::chrono::steady_clock::now();
        size_t position = 0;
        bool counting = false;

        while (running)
        {
            next += std::chrono::duration_cast<std::chrono::steady_clock::duration> (period);
            std::this_thread::sleep_until (next);
            // A device that fell far behind (a stalled machine) starts its clock afresh.
            if (std::chrono::steady_clock::now() - next > period * 50)
                next = std::chrono::steady_clock::now();

            for (int channel = 0; channel < 2; ++channel)
                buffer.copyFrom (channel, 0, tone[channel].data() + position, blockSize);
            position = (position + static_cast<size_t> (blockSize)) % tone[0].size();

            if (countRequested.exchange (false))
            {
                resetAllocationCount();
                startCountingAllocations();
                counting = true;
            }

            processor.processBlock (buffer, midi);

            if (counting)
                allocationsCounted = allocationCount();

            float blockPeak = 0.0f;
            long long bad = 0;
            for (int channel = 0; channel < 2; ++channel)
            {
                const float* samples = buffer.getReadPointer (channel);
                for (int i = 0; i < blockSize; ++i)
                {
                    const float sample = samples[i];
                    if (! std::isfinite (sample))
                        ++bad;
                    else
                        blockPeak = std::max (blockPeak, std::abs (sample));
                }
            }

            nonFinite += bad;
            if (blockPeak > peakSeen)
                peakSeen = blockPeak;
            if (blockPeak > 1.0e-4f)
                ++audible;
            ++blocksPlayed;
        }

        if (counting)
            stopCountingAllocations();
    }
} // namespace calbrix_test
