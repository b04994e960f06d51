// The audio thread's promise: once running, processBlock allocates nothing, whatever the block
// size, channel count or lateness of the model, as long as no queue fills up. (A model call or a
// lock-free queue that grew would show up here as allocations.)
#include "AllocationCounter.h"
#include "BlockPlayer.h"
#include "WorkerAnswers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace calbrix_test;

namespace
{
    long long allocationsWhile (const std::function<void()>& work)
    {
        resetAllocationCount();
        {
            ScopedAllocationCounting counting;
            work();
        }
        return allocationCount();
    }
} // namespace

TEST (RealTimeSafety, CounterSeesAllocationsOfThisThreadOnly)
{
    const auto size = static_cast<size_t> (juce::Random::getSystemRandom().nextInt (10) + 1);
    EXPECT_EQ (allocationsWhile ([&] { std::vector<int> v (size); EXPECT_EQ (v.size(), size); }), 1);

    std::atomic<bool> go { false }, done { false };
    std::thread other ([&] { while (! go) std::this_thread::yield(); std::vector<int> v (size); done = true; });
    EXPECT_EQ (allocationsWhile ([&] { go = true; while (! done) std::this_thread::yield(); }), 0);
    other.join();
    EXPECT_EQ (allocationsWhile ([] {}), 0);
}

TEST (RealTimeSafety, SteadyStateBlocksAllocateNothingOnTheAudioThread)
{
    struct Case
    {
        const char* fixture;
        int blockSize;
        int channels;
        int blocks;
        bool everyBlockLate;
    };
    const Case cases[] = {
        { "identity.pt", 512, 2, 1000, false },
        { "identity.pt", 64, 2, 1000, false },
        { "gain2.pt", 128, 1, 1000, false },
        // Every block late: the latency grows block after block up to its limit, after which blocks
        // go into neither path; and still nothing is allocated.
        { "returns_none.pt", 64, 2, 500, true },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (juce::String (c.fixture) + ", " + juce::String (c.blockSize) + " samples, " + juce::String (c.channels) + " channels");
        CalbrixAudioProcessor processor;
        prepare (processor, 48000.0, c.blockSize);
        ASSERT_TRUE (loadFixture (processor, c.fixture));
        ASSERT_TRUE (waitForQueueReset (processor));
        setParameter (processor, "dry_gain", 0.5f);

        const int warmUpBlocks = 100;
        const int total = warmUpBlocks + c.blocks;
        std::vector<std::vector<float>> tone;
        for (int channel = 0; channel < c.channels; ++channel)
            tone.push_back (testTone (total * c.blockSize, channel, 48000.0));

        juce::AudioBuffer<float> buffer (c.channels, c.blockSize);
        juce::MidiBuffer midi;
        // Each block is handed over once the worker has answered the one before: whether the model
        // keeps up does not depend on the machine, and waiting allocates nothing.
        const WorkerAnswers answers;
        int block = 0;
        bool answered = true;
        auto runBlocks = [&] (int count)
        {
            for (const int end = block + count; block < end; ++block)
            {
                for (int channel = 0; channel < c.channels; ++channel)
                    buffer.copyFrom (channel, 0, tone[static_cast<size_t> (channel)].data() + block * c.blockSize, c.blockSize);
                processor.processBlock (buffer, midi);
                answered = answered && answers.waitAfterHandover();
            }
        };

        runBlocks (warmUpBlocks);
        ASSERT_FALSE (processor.muted.load());
        const int lateBefore = processor.underrunCount.load();
        EXPECT_EQ (allocationsWhile ([&] { runBlocks (c.blocks); }), 0);
        EXPECT_TRUE (answered) << "the worker did not answer a block within its bound";
        if (c.everyBlockLate)
        {
            EXPECT_EQ (processor.extraLatency.load(), CalbrixAudioProcessor::maxExtraLatency);
            EXPECT_LE (processor.dryQueues[0]->size_approx(), static_cast<size_t> (CalbrixAudioProcessor::maxExtraLatency + c.blockSize));
        }
        else
        {
            // The model's output was played: a block the worker answers too late for its own wait
            // leaves its output for the next, so at most one of the counted blocks is late.
            EXPECT_LE (processor.underrunCount.load() - lateBefore, 1);
        }
    }
}
