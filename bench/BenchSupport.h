#pragma once

// What every benchmark shares: clocks, a paced device thread, a test tone, the message loop, and
// the "name: value" lines on stdout.
#include <juce_audio_basics/juce_audio_basics.h>
#include <juce_events/juce_events.h>

#include <atomic>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace calbrix_bench
{
    constexpr double sampleRate = 48000.0;

    long long nanosecondsOf (clockid_t clock);
    long long monotonicNow();
    long long threadCpuNow();
    void sleepUntil (long long deadline);
    double blockNanoseconds (int blockSize);

    // One figure on stdout.
    void print (const std::string& name, double value);

    // Whether the last paced device got real-time priority.
    extern bool deviceIsRealtime;

    // The device: a thread of its own that releases block k at its deadline and runs `body` on it.
    // A body that overruns makes the next blocks start late, as a real device's callback would.
    // Returns the longest time a block started after its deadline. Ends early once `stop` is set.
    long long runPaced (int blockSize, int blocks, const std::function<void (int)>& body,
                        const std::atomic<bool>* stop = nullptr);

    // One second of a two-tone stereo signal, played in a loop.
    struct Tone
    {
        Tone();
        void fill (juce::AudioBuffer<float>& buffer, int block) const;
        std::vector<float> channels[2];
    };

    [[noreturn]] void fail (const std::string& why);

    // Runs the message loop until `condition` holds; false after `timeoutMs`.
    bool pumpUntil (const std::function<bool()>& condition, int timeoutMs = 30000);

    // A model file of the build: "fixtures/identity.pt", "examples/drive_tone.pt".
    juce::File builtModel (const juce::String& relativePath);
} // namespace calbrix_bench
