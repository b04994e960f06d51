// Models are code, and anyone can hand the application one: models that answer with the wrong
// shape, type or length, with numbers that are not finite, with delays out of any range, never,
// or only once they are let go. Each plays ten seconds of audio, handed over at the worker's pace
// (or, while a call of the model stays, by the clock); every block is silent or carries the dry
// signal at 0.5 and what the model answered, nothing is non-finite, the latency stays in range,
// the audio thread allocates nothing and memory stays flat; a good model loaded afterwards plays,
// and the processor then goes within its bounded waits. Nothing here depends on the machine's speed.
#include "AllocationCounter.h"
#include "DrivenAudioDevice.h"
#include "HeardAudio.h"
#include "StateTreeWriter.h"
#include "TestWaits.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>

using namespace calbrix_test;
using Pace = DrivenAudioDevice::Pace;

namespace
{
    constexpr double sampleRate = 48000.0;
    constexpr int blockSize = 512;
    constexpr int blocksPerSecond = static_cast<int> (sampleRate) / blockSize;

    // Ten seconds in all; allocations and memory are watched after the first two.
    constexpr int warmUpBlocks = 2 * blocksPerSecond;
    constexpr int hostileBlocks = 10 * blocksPerSecond;
    // While a call stays: far more than the backlog the engine holds, which then stops growing.
    constexpr int stuckBlocks = 2 * blocksPerSecond;
    constexpr int goodModelBlocks = blocksPerSecond;

    enum class Stays
    {
        never,      // the model answers by itself
        untilLetGo, // one of its calls stays until the test lets it go, with audio running
        forEver     // one of its calls does not come back while the processor lives
    };

    struct Hostile
    {
        const char* fixture;
        WetPath wet;     // what the user must hear of the model's answers
        Silence silence; // of the blocks handed at the worker's pace
        Stays stays = Stays::never;
    };

    const Silence oneAtMost = noBlockSilentButAtMost (1);

    // Everything the model wrapper's hostile fixtures do (see models/fixtures.py). A case is one
    // row: what the user must hear of the model's answers (see HeardAudio.h for the wet paths),
    // how many blocks may be silent, and whether one of its calls stays.
    const Hostile hostileModels[] = {
        { "nan_always.pt", wet::zeros, oneAtMost },
        { "inf_once.pt", wet::itsInputButTheFifthAnswerAsZeros, oneAtMost },
        { "nan_once.pt", wet::itsInputButTheFifthAnswerAsZeros, oneAtMost },
        { "one_row_output.pt", wet::zeros, oneAtMost },
        { "three_row_output.pt", wet::itsInput, oneAtMost },
        { "one_dimensional_output.pt", wet::zeros, oneAtMost },
        { "float64_output.pt", wet::zeros, oneAtMost },
        { "int32_output.pt", wet::zeros, oneAtMost },
        { "strided_output.pt", wet::zeros, oneAtMost },
        // The wet path runs short by a sample per block: now and then a block waits for it.
        { "one_short_output.pt", wet::itsInputOneSampleShortPerAnswer, anyBlockMayBeSilent() },
        // Cut to the length of the block it was given.
        { "double_length_output.pt", wet::itsInput, oneAtMost },
        // Nothing ever comes back, so every block is late.
        { "returns_none.pt", wet::nothing, anyBlockMayBeSilent() },
        { "raises_in_forward.pt", wet::zeros, oneAtMost },
        { "delays_int_max.pt", wet::itsInput, oneAtMost },
        { "delays_int_min.pt", wet::itsInput, oneAtMost },
        { "delays_minus_5.pt", wet::itsInput, oneAtMost },
        { "delays_2_pow_40.pt", wet::itsInput, oneAtMost },
        // Answers forty blocks, then stays inside the next call.
        { "gated_forward.pt", wet::itsInput, oneAtMost, Stays::untilLetGo },
        { "gated_forward.pt", wet::itsInput, anyBlockMayBeSilent(), Stays::forEver },
        // The load stays inside the model: nothing plays.
        { "gated_warm_up.pt", wet::itsInput, anyBlockMayBeSilent(), Stays::forEver },
        { "gated_buffering_delay.pt", wet::itsInput, anyBlockMayBeSilent(), Stays::forEver },
    };

    // Names the case in test output.
    void PrintTo (const Hostile& hostile, std::ostream* out)
    {
        *out << hostile.fixture;
    }

    long long residentBytes()
    {
        std::ifstream statm ("/proc/self/statm");
        long long pages = 0, resident = 0;
        statm >> pages >> resident;
        return resident * ::sysconf (_SC_PAGESIZE);
    }

    void loadWithoutDefaults (CalbrixAudioProcessor& processor, const juce::String& fixture)
    {
        installFixture (fixture);
        processor.updateEngine (CalbrixAudioProcessor::modelFileFor (fixture).getFullPathName().toStdString(), false);
    }

    bool loadSettled (CalbrixAudioProcessor& processor)
    {
        return processor.loadingPool->getNumJobs() == 0 && ! processor.treeWriter->hasPendingWrites()
               && ! processor.resetRequested.load();
    }

    // A gated fixture's gate and its sign that a call has begun to stay, held from outside the
    // model once its module is in the wrapper.
    class Gate
    {
    public:
        static Gate of (CalbrixAudioProcessor& processor)
        {
            Gate gate;
            if (pumpMessagesUntil ([&] { return processor.model->loaded.load(); }, waits::modelLoadMs))
            {
                gate.gate = processor.model->module.attr ("gate").toTensor();
                gate.inside = processor.model->module.attr ("inside").toTensor();
            }
            return gate;
        }

        bool callStays() const
        {
            if (! inside.defined())
                return false;
            float value = 0.0f;
            __atomic_load (inside.data_ptr<float>(), &value, __ATOMIC_ACQUIRE);
            return value > 0.5f;
        }

        void open()
        {
            if (! gate.defined())
                return;
            float one = 1.0f;
            __atomic_store (gate.data_ptr<float>(), &one, __ATOMIC_RELEASE);
        }

    private:
        at::Tensor gate, inside;
    };

    // gain2.pt, loaded as the audio runs by the clock (the load fades the old model out first),
    // then played from empty paths at the worker's pace: twice the tone, plus half of it dry. With
    // a call that stays, the load waits until the engine gives up on that call.
    ::testing::AssertionResult goodModelPlays (CalbrixAudioProcessor& processor, DrivenAudioDevice& device,
                                               int loadWaitMs = waits::modelLoadMs)
    {
        loadWithoutDefaults (processor, "gain2.pt");
        if (! device.playUntil ([&] { return loadSettled (processor); }, Pace::clock, loadWaitMs))
            return ::testing::AssertionFailure() << "the good model's load did not end";
        if (! processor.model->loaded)
            return ::testing::AssertionFailure() << "the good model did not load";
        if (! resetQueuesAndWait (processor, waits::queueResetMs))
            return ::testing::AssertionFailure() << "the worker did not reset the queues";

        device.startTake (goodModelBlocks);
        if (! device.play (goodModelBlocks, Pace::workerAnswers))
            return ::testing::AssertionFailure() << "the worker did not answer the good model's blocks";
        return heardAsExpected (device, { wet::twiceItsInput, 0, oneAtMost });
    }

    ::testing::AssertionResult goesWithinItsBoundedWaits (std::unique_ptr<CalbrixAudioProcessor>& processor)
    {
        const auto start = juce::Time::getMillisecondCounterHiRes();
        processor.reset();
        const auto took = juce::Time::getMillisecondCounterHiRes() - start;
        if (took < waits::teardownMs)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "the processor took " << took << " ms to go";
    }

    class HostileModels : public ::testing::TestWithParam<Hostile>
    {
    protected:
        void SetUp() override { dataDirectory().deleteRecursively(); }
        // Each failing call writes its lines on the standard error stream.
        CapturedStandardError quiet;
    };
} // namespace

TEST_P (HostileModels, PlaysWhatItAnswersThenAGoodModelThenGoes)
{
    const auto& c = GetParam();
    auto processor = std::make_unique<CalbrixAudioProcessor>();
    prepare (*processor, sampleRate, blockSize);
    setParameter (*processor, "dry_gain", 0.5f); // the dry signal is heard whatever the model does

    DrivenAudioDevice device (*processor, sampleRate, blockSize);
    loadWithoutDefaults (*processor, c.fixture);
    auto gate = c.stays == Stays::never ? Gate() : Gate::of (*processor);

    // The load ends, or stays inside the model; the take starts on the empty paths it leaves.
    ASSERT_TRUE (pumpMessagesUntil ([&] { return loadSettled (*processor) || gate.callStays(); }, waits::modelLoadMs));
    device.startTake (hostileBlocks);
    long long residentBefore = 0;

    if (c.stays == Stays::never)
    {
        EXPECT_TRUE (device.play (warmUpBlocks, Pace::workerAnswers));
        device.countAllocationsFromNextBlock();
        residentBefore = residentBytes();
        EXPECT_TRUE (device.play (hostileBlocks - warmUpBlocks, Pace::workerAnswers));
    }
    else
    {
        ASSERT_TRUE (device.playUntil ([&] { return gate.callStays(); }, Pace::clock, waits::modelCallBeginsMs));
        device.countAllocationsFromNextBlock();
        residentBefore = residentBytes();
        device.play (stuckBlocks, Pace::clock);

        if (c.stays == Stays::untilLetGo)
        {
            gate.open();
            EXPECT_TRUE (device.play (stuckBlocks, Pace::workerAnswers));
        }
    }

    EXPECT_EQ (device.nonFiniteSamples(), 0);
    EXPECT_EQ (device.lateBlocksHeard(), 0);
    EXPECT_TRUE (heardAsExpected (device, { c.wet, processor->modelDelay.load(), c.silence }));
    EXPECT_EQ (device.allocations(), 0);
    if (! allocatorIsSanitized())
    {
        EXPECT_LT (residentBytes() - residentBefore, 16LL << 20);
    }
    EXPECT_GE (processor->getLatencySamples(), 0);
    EXPECT_LE (processor->getLatencySamples(), CalbrixAudioProcessor::maxBufferingDelay + CalbrixAudioProcessor::maxModelDelay
                                                   + CalbrixAudioProcessor::maxExtraLatency);

    const int loadWaitMs = waits::modelLoadMs + (c.stays == Stays::forEver ? waits::stuckCallAbandonedMs : 0);
    EXPECT_TRUE (goodModelPlays (*processor, device, loadWaitMs));
    EXPECT_EQ (device.nonFiniteSamples(), 0);
    EXPECT_EQ (device.lateBlocksHeard(), 0);

    EXPECT_TRUE (goesWithinItsBoundedWaits (processor));

    // The call that was left running may end now.
    gate.open();
}

INSTANTIATE_TEST_SUITE_P (Table, HostileModels, ::testing::ValuesIn (hostileModels),
                          [] (const ::testing::TestParamInfo<Hostile>& param)
                          {
                              auto name = juce::File::createLegalFileName (param.param.fixture).upToLastOccurrenceOf (".pt", false, false)
                                              .replaceCharacter ('.', '_');
                              if (param.param.stays == Stays::untilLetGo)
                                  name << "_until_let_go";
                              else if (param.param.stays == Stays::forEver)
                                  name << "_for_ever";
                              return name.toStdString();
                          });

TEST (HostileModelTeardown, ProcessorGoesWithinItsBoundedWaitsAndANewOneWorks)
{
    CapturedStandardError quiet;
    struct Case { const char* fixture; const char* where; };
    const Case cases[] = {
        { "gated_forward.pt", "the inference worker" },
        { "gated_warm_up.pt", "the load's warm-up" },
        { "gated_buffering_delay.pt", "the load's delay query" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.where);
        dataDirectory().deleteRecursively();
        auto gate = Gate();
        {
            auto processor = std::make_unique<CalbrixAudioProcessor>();
            prepare (*processor, sampleRate, blockSize);
            setParameter (*processor, "dry_gain", 0.5f);
            DrivenAudioDevice device (*processor, sampleRate, blockSize);
            loadWithoutDefaults (*processor, c.fixture);
            gate = Gate::of (*processor);
            ASSERT_TRUE (device.playUntil ([&] { return gate.callStays(); }, Pace::clock, waits::modelCallBeginsMs));

            // As quitting or "Reset to default state" does: the processor goes, a new one comes.
            EXPECT_TRUE (goesWithinItsBoundedWaits (processor));
        }

        auto processor = std::make_unique<CalbrixAudioProcessor>();
        prepare (*processor, sampleRate, blockSize);
        setParameter (*processor, "dry_gain", 0.5f);
        {
            DrivenAudioDevice device (*processor, sampleRate, blockSize);
            EXPECT_TRUE (goodModelPlays (*processor, device));
        }
        processor.reset();
        gate.open();
    }
}
