// Model calls that never come back, wherever they are made: in the audio's inference, in a load,
// or in a preparation the host asked for. The host's thread never waits on one without bound; a
// call that has gone on far beyond any sensible time is abandoned, its thread stopped where it is
// (no core kept busy), its model never called again and its file refused from then on; the dry
// signal plays meanwhile and a good model picked afterwards plays.
#include "AbandonedWork.h"
#include "DrivenAudioDevice.h"
#include "HeardAudio.h"
#include "StateTreeWriter.h"
#include "TestWaits.h"
#include "WorkerTether.h"

#include <gtest/gtest.h>

#include <ctime>

using namespace calbrix_test;
using Pace = DrivenAudioDevice::Pace;

namespace
{
    constexpr double sampleRate = 48000.0;
    constexpr int blockSize = 512;
    constexpr int blocksPerSecond = static_cast<int> (sampleRate) / blockSize;
    const Silence oneAtMost = noBlockSilentButAtMost (1);

    // What a parked thread may still spend after it was marked (it is then asleep for good); a
    // thread in a loop spends a great deal more than this in the window, unless the machine gives
    // it no turn at all.
    constexpr long long parkedCpuNanoseconds = 1000000;
    constexpr int parkedWindowMs = 500;

    void requestLoad (CalbrixAudioProcessor& processor, const juce::String& fixture)
    {
        installFixture (fixture);
        processor.updateEngine (CalbrixAudioProcessor::modelFileFor (fixture).getFullPathName().toStdString(), false);
    }

    bool loadSettled (CalbrixAudioProcessor& processor)
    {
        return processor.loadingPool->getNumJobs() == 0 && ! processor.treeWriter->hasPendingWrites()
               && ! processor.resetRequested.load() && ! processor.loading.load();
    }

    // The gated fixture's gate and its sign that a call has begun to stay (see models/fixtures.py).
    struct Gate
    {
        at::Tensor gate, inside;

        static Gate of (CalbrixAudioProcessor& processor)
        {
            Gate g;
            if (pumpMessagesUntil ([&] { return processor.model->loaded.load(); }, waits::modelLoadMs))
            {
                g.gate = processor.model->module.attr ("gate").toTensor();
                g.inside = processor.model->module.attr ("inside").toTensor();
            }
            return g;
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
    };

    long long cpuNanoseconds (clockid_t clock)
    {
        timespec now {};
        clock_gettime (clock, &now);
        return static_cast<long long> (now.tv_sec) * 1000000000LL + now.tv_nsec;
    }

    ::testing::AssertionResult refusedWithTheErrorBox (const juce::StringArray& boxes)
    {
        for (const auto& box : boxes)
            if (box.startsWith ("Error: Model Loading Failed") && box.contains ("did not come back earlier in this run"))
                return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "no box refusing the model: " << boxes.joinIntoString (" | ");
    }

    // gain2.pt, picked and then played from empty paths: twice the tone, plus half of it dry.
    ::testing::AssertionResult goodModelPlays (CalbrixAudioProcessor& processor, DrivenAudioDevice& device)
    {
        requestLoad (processor, "gain2.pt");
        if (! device.playUntil ([&] { return loadSettled (processor); }, Pace::clock, waits::modelLoadMs))
            return ::testing::AssertionFailure() << "the good model's load did not end";
        if (! processor.model->loaded)
            return ::testing::AssertionFailure() << "the good model did not load";
        if (! resetQueuesAndWait (processor, waits::queueResetMs))
            return ::testing::AssertionFailure() << "the worker did not reset the queues";

        device.startTake (blocksPerSecond);
        if (! device.play (blocksPerSecond, Pace::workerAnswers))
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
} // namespace

TEST (StuckModelCalls, CallThatStaysIsStoppedWhereItIsAndItsFileIsRefusedFromThenOn)
{
    CapturedStandardError quiet;
    struct Case { const char* fixture; bool inInference; const char* where; };
    const Case cases[] = {
        { "gated_forward.pt", true, "the inference worker's call" },
        { "gated_warm_up.pt", false, "the load's warm-up" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.where);
        dataDirectory().deleteRecursively();
        dismissAlertWindows();

        auto processor = std::make_unique<CalbrixAudioProcessor>();
        prepare (*processor, sampleRate, blockSize);
        setParameter (*processor, "dry_gain", 0.5f);
        DrivenAudioDevice device (*processor, sampleRate, blockSize);

        // The worker the call will stay on (its tether is replaced when it is abandoned).
        const auto tether = c.inInference ? processor->inferenceTether : processor->loadingTether;
        requestLoad (*processor, c.fixture);
        auto gate = Gate::of (*processor);
        ASSERT_TRUE (device.playUntil ([&] { return gate.callStays(); }, Pace::clock, waits::modelCallBeginsMs));

        // Nothing else is asked of the engine: the call alone has gone on far too long.
        ASSERT_TRUE (device.playUntil ([&] { return tether->isParked(); }, Pace::clock, waits::stuckCallAbandonedMs));

        clockid_t clock {};
        ASSERT_TRUE (tether->workerCpuClock (clock));
        const auto cpuBefore = cpuNanoseconds (clock);
        device.play (parkedWindowMs * blocksPerSecond / 1000, Pace::clock);
        EXPECT_LT (cpuNanoseconds (clock) - cpuBefore, parkedCpuNanoseconds);
        EXPECT_TRUE (AbandonedWork::anyKept());
        EXPECT_TRUE (readLogFile().contains ("a call into the model did not come back"));

        // Picked again (the same file, not written since): refused, with the box and a line in
        // the log; nothing of it runs.
        ASSERT_TRUE (device.playUntil ([&] { return loadSettled (*processor); }, Pace::clock, waits::modelLoadMs));
        processor->updateEngine (CalbrixAudioProcessor::modelFileFor (c.fixture).getFullPathName().toStdString(), false);
        ASSERT_TRUE (device.playUntil ([&] { return loadSettled (*processor); }, Pace::clock, waits::modelLoadMs));
        EXPECT_FALSE (processor->model->loaded.load());
        EXPECT_TRUE (refusedWithTheErrorBox (dismissAlertWindows()));
        EXPECT_TRUE (readLogFile().contains ("refused a load of " + CalbrixAudioProcessor::modelFileFor (c.fixture).getFullPathName()));

        // The dry signal plays meanwhile: no model answers, so the wet path is zeros.
        ASSERT_TRUE (resetQueuesAndWait (*processor, waits::queueResetMs));
        device.startTake (blocksPerSecond);
        EXPECT_TRUE (device.play (blocksPerSecond, Pace::workerAnswers));
        EXPECT_TRUE (heardAsExpected (device, { wet::zeros, 0, oneAtMost }));

        EXPECT_TRUE (goodModelPlays (*processor, device));
        EXPECT_EQ (device.nonFiniteSamples(), 0);
        EXPECT_TRUE (goesWithinItsBoundedWaits (processor));
        gate.open();
    }
}

TEST (StuckModelCalls, HostPreparationWhoseModelCallStaysReturnsAndTheAudioComesBack)
{
    CapturedStandardError quiet;
    dataDirectory().deleteRecursively();
    dismissAlertWindows();

    auto processor = std::make_unique<CalbrixAudioProcessor>();
    prepare (*processor, sampleRate, blockSize);
    setParameter (*processor, "dry_gain", 0.5f);

    requestLoad (*processor, "gated_second_preparation.pt");
    auto gate = Gate::of (*processor);
    ASSERT_TRUE (pumpMessagesUntil ([&] { return loadSettled (*processor); }, waits::modelLoadMs));

    // The user picks another buffer size: the host prepares again on its own thread (this one, the
    // message thread, as the Standalone does), and the model's rate call stays. The host goes on.
    constexpr double newRate = 44100.0;
    constexpr int newBlockSize = 256;
    const auto start = juce::Time::getMillisecondCounterHiRes();
    processor->setRateAndBufferSizeDetails (newRate, newBlockSize);
    processor->prepareToPlay (newRate, newBlockSize);
    EXPECT_LT (juce::Time::getMillisecondCounterHiRes() - start, waits::hostPreparationMs);
    ASSERT_TRUE (pumpMessagesUntil ([&] { return gate.callStays(); }, waits::modelCallBeginsMs));

    // Silence while the call stays; once it is given up, the preparation is made again without
    // that model, whose file the newest load request named and which is then refused.
    DrivenAudioDevice device (*processor, newRate, newBlockSize);
    ASSERT_TRUE (device.playUntil ([&] { return ! processor->wrapperAbandoned.load() && AbandonedWork::anyKept() && loadSettled (*processor); },
                                   Pace::clock, waits::stuckCallAbandonedMs + waits::modelLoadMs));
    EXPECT_TRUE (refusedWithTheErrorBox (dismissAlertWindows()));

    ASSERT_TRUE (resetQueuesAndWait (*processor, waits::queueResetMs));
    device.startTake (blocksPerSecond);
    EXPECT_TRUE (device.play (blocksPerSecond, Pace::workerAnswers));
    EXPECT_TRUE (heardAsExpected (device, { wet::zeros, 0, oneAtMost }));

    EXPECT_TRUE (goodModelPlays (*processor, device));
    EXPECT_EQ (device.nonFiniteSamples(), 0);
    EXPECT_TRUE (goesWithinItsBoundedWaits (processor));
    gate.open();
}
