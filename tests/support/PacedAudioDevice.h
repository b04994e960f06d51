#pragma once

// An audio device stand-in: a thread of its own that calls processBlock once per block period,
// on time like a real device, with a looping test tone, and keeps count of what came out.
#include "TestSupport.h"

#include <atomic>
#include <thread>
#include <vector>

namespace calbrix_test
{
    class PacedAudioDevice
    {
    public:
        // The processor must already be prepared for `sampleRate` and `blockSize`.
        PacedAudioDevice (CalbrixAudioProcessor& processor, double sampleRate, int blockSize);
        ~PacedAudioDevice();

        void start();
        void stop();

        // Heap allocations on the device thread are counted from the next block on (the counter
        // must be linked into the test program).
        void countAllocationsFromNow() noexcept { countRequested = true; }
        long long allocations() const noexcept { return allocationsCounted; }

        long long blocks() const noexcept { return blocksPlayed; }
        long long nonFiniteSamples() const noexcept { return nonFinite; }
        // The largest magnitude of any finite output sample since the last reset.
        float peak() const noexcept { return peakSeen; }
        void resetPeak() noexcept { peakSeen = 0.0f; }
        // Blocks with any sample above -80 dBFS.
        long long audibleBlocks() const noexcept { return audible; }

    private:
        void run();

        CalbrixAudioProcessor& processor;
        const double sampleRate;
        const int blockSize;
        std::vector<float> tone[2];

        std::thread thread;
        std::atomic<bool> running { false };
        std::atomic<bool> countRequested { false };
        std::atomic<long long> allocationsCounted { 0 }, blocksPlayed { 0 }, nonFinite { 0 }, audible { 0 };
        std::atomic<float> peakSeen { 0.0f };
    };
} // namespace calbrix_test
