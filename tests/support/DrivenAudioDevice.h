#pragma once

// An audio device stand-in that the test drives. Its own thread (the audio thread) calls
// processBlock with a looping test tone, block after block, as the test asks:
//   - Pace::workerAnswers: a block is handed over once the inference worker has answered the one
//     before (waited for with a generous bound), so a slow or busy machine makes the run slower,
//     never different: what the user hears does not depend on the machine's speed;
//   - Pace::clock: one block per block period, as a real device, for while the worker may never
//     answer (a model call that stays). Which of these blocks come in time depends on the machine:
//     a test asserts nothing about it.
// Every block is recorded for the checks of HeardAudio.h.
#include "TestSupport.h"
#include "WorkerAnswers.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace calbrix_test
{
    // One block as the audio thread saw it.
    struct PlayedBlock
    {
        int toneBlock = 0;      // which block of the looping tone went in
        bool late = false;      // the processor counted it late (its output had not come)
        bool silent = true;     // every output sample is exactly 0
        bool byTheClock = false;
        // The smoothed gains, where they stayed put across the whole block (NaN where they moved).
        float wet = 0.0f, fade = 0.0f, output = 0.0f, dry = 0.0f;
    };

    // What the blocks since the last startTake gave, in order.
    struct Take
    {
        int blockSize = 0;
        std::vector<PlayedBlock> blocks;
        std::vector<float> left, right; // each block's output, one after the other
        // Blocks played beyond the take's room: counted, not recorded.
        long long unrecorded = 0;
        bool anyByTheClock() const;
    };

    class DrivenAudioDevice
    {
    public:
        enum class Pace
        {
            workerAnswers,
            clock
        };

        // The processor must already be prepared for `sampleRate` and `blockSize`.
        DrivenAudioDevice (CalbrixAudioProcessor& processor, double sampleRate, int blockSize);
        ~DrivenAudioDevice();

        // Plays `blocks` blocks and returns once they are played, running the message loop
        // meanwhile (the processor's tree writes and its watch of stuck workers need it). False
        // when, at the worker's pace, an answer did not come within its bound.
        bool play (int blocks, Pace pace);
        // Plays until `condition` holds (tested on the message thread) or `timeoutMs` passes;
        // returns the condition.
        bool playUntil (const std::function<bool()>& condition, Pace pace, int timeoutMs);
        // Plays in the background until stop(), for a test that does other work meanwhile.
        void start (Pace pace);
        void stop();

        // A new, empty take with room for `blocks` recorded blocks (made here, so that recording
        // allocates nothing on the audio thread). Not while playing.
        void startTake (int blocks);
        const Take& take() const { return recorded; }

        // Heap allocations on the audio thread are counted from the next block on, until the
        // device goes (the counter must be linked into the test program).
        void countAllocationsFromNextBlock() noexcept { countRequested = true; }
        long long allocations() const noexcept { return allocationsCounted; }

        // Over the device's whole life, recorded or not.
        long long blocksPlayed() const noexcept { return played; }
        long long nonFiniteSamples() const noexcept { return nonFinite; }
        // Blocks the processor counted late that still carried a sample other than 0.
        long long lateBlocksHeard() const noexcept { return lateButHeard; }
        long long answersMissed() const noexcept { return missedAnswers; }

        // The looping input: a second's worth of whole blocks of two sines per channel, peak about 0.6.
        const std::vector<float>& tone (int channel) const { return toneSamples[channel]; }
        int toneBlocks() const noexcept { return static_cast<int> (toneSamples[0].size()) / blockSize; }

    private:
        void run();
        void playOne (juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi, bool byTheClock);
        void request (long long blocks, Pace pace);

        CalbrixAudioProcessor& processor;
        // Only one processor may play at a time (see WorkerAnswers.h).
        const WorkerAnswers answers;
        const double sampleRate;
        const int blockSize;
        std::vector<float> toneSamples[2];
        Take recorded;

        std::mutex lock;
        std::condition_variable wake;
        long long blocksWanted = 0; // guarded by lock; -1 is "until stopped"
        Pace pace = Pace::workerAnswers;
        bool quitting = false;
        std::atomic<bool> busy { false }, stopRequested { false };
        std::thread thread;

        std::atomic<bool> countRequested { false };
        bool counting = false;
        std::atomic<long long> allocationsCounted { 0 }, played { 0 }, nonFinite { 0 }, lateButHeard { 0 }, missedAnswers { 0 };
    };
} // namespace calbrix_test
