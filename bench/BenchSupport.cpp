#include "BenchSupport.h"

#include <pthread.h>
#include <sys/prctl.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <thread>

namespace calbrix_bench
{
    long long nanosecondsOf (clockid_t clock)
    {
        timespec t {};
        clock_gettime (clock, &t);
        return static_cast<long long> (t.tv_sec) * 1000000000LL + t.tv_nsec;
    }

    long long monotonicNow() { return nanosecondsOf (CLOCK_MONOTONIC); }
    long long threadCpuNow() { return nanosecondsOf (CLOCK_THREAD_CPUTIME_ID); }

    void sleepUntil (long long deadline)
    {
        const timespec at { static_cast<time_t> (deadline / 1000000000LL), static_cast<long> (deadline % 1000000000LL) };
        while (clock_nanosleep (CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR)
        {
        }
    }

    double blockNanoseconds (int blockSize) { return blockSize / sampleRate * 1.0e9; }

    void print (const std::string& name, double value)
    {
        std::printf ("%s: %.4f\n", name.c_str(), value);
        std::fflush (stdout);
    }

    bool deviceIsRealtime = false;

    long long runPaced (int blockSize, int blocks, const std::function<void (int)>& body, const std::atomic<bool>* stop)
    {
        long long longestLateness = 0;
        std::thread device ([&]
        {
            prctl (PR_SET_TIMERSLACK, 1UL); // wake at the deadline, not up to 50 us after it
            const sched_param realtime { 70 };
            deviceIsRealtime = pthread_setschedparam (pthread_self(), SCHED_FIFO, &realtime) == 0;

            const double period = blockNanoseconds (blockSize);
            const long long start = monotonicNow() + 5000000;
            for (int k = 0; k < blocks && (stop == nullptr || ! *stop); ++k)
            {
                const long long deadline = start + std::llround (k * period);
                sleepUntil (deadline);
                longestLateness = std::max (longestLateness, monotonicNow() - deadline);
                body (k);
            }
        });
        device.join();
        return longestLateness;
    }

    Tone::Tone()
    {
        const double pi = juce::MathConstants<double>::pi;
        for (int c = 0; c < 2; ++c)
            for (int i = 0; i < static_cast<int> (sampleRate); ++i)
                channels[c].push_back (static_cast<float> (0.3 * std::sin (2.0 * pi * (c == 0 ? 331.0 : 277.0) * i / sampleRate)
                                                           + 0.1 * std::sin (2.0 * pi * 3100.0 * i / sampleRate)));
    }

    void Tone::fill (juce::AudioBuffer<float>& buffer, int block) const
    {
        const auto n = static_cast<size_t> (buffer.getNumSamples());
        const auto start = (static_cast<size_t> (block) * n) % (channels[0].size() - n);
        for (int c = 0; c < 2; ++c)
            buffer.copyFrom (c, 0, channels[c].data() + start, buffer.getNumSamples());
    }

    [[noreturn]] void fail (const std::string& why)
    {
        std::cerr << "bench: " << why << "\n";
        std::exit (1);
    }

    bool pumpUntil (const std::function<bool()>& condition, int timeoutMs)
    {
        const auto deadline = juce::Time::getMillisecondCounter() + static_cast<juce::uint32> (timeoutMs);
        while (! condition())
        {
            if (juce::Time::getMillisecondCounter() > deadline)
                return false;
            juce::MessageManager::getInstance()->runDispatchLoopUntil (2);
        }
        return true;
    }

    juce::File builtModel (const juce::String& relativePath)
    {
        const char* models = std::getenv ("CALBRIX_MODELS_DIR");
        const auto file = juce::File (juce::String (models != nullptr ? models : "")).getChildFile (relativePath);
        if (! file.existsAsFile())
            fail ("no model at " + file.getFullPathName().toStdString() + " (is CALBRIX_MODELS_DIR set?)");
        return file;
    }
} // namespace calbrix_bench
