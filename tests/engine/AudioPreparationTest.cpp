// Preparing for the host's sample rate and block size: what the model is told, how often it is
// warmed up, the delays and latency, the ramps and filters, the new worker, and that an unchanged
// setting changes nothing.
#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace calbrix_test;

namespace
{
    const std::string rateFailure = "error setting sr and buffer size of the model\n";

    // A processor prepared once and holding `fixture`, the queue reset of the load done.
    std::unique_ptr<CalbrixAudioProcessor> loadedAt (const juce::String& fixture, double sampleRate, int blockSize)
    {
        auto processor = std::make_unique<CalbrixAudioProcessor>();
        prepare (*processor, sampleRate, blockSize);
        EXPECT_TRUE (loadFixture (*processor, fixture));
        EXPECT_TRUE (waitForQueueReset (*processor));
        return processor;
    }

    // What processBlock queues for the worker: `samples` of every parameter at 0.5 and of the input.
    void queueForWorker (CalbrixAudioProcessor& p, int samples, float input)
    {
        for (int j = 0; j < samples; ++j)
        {
            for (auto& queue : p.paramQueues)
                queue->enqueue (0.5f);
            for (auto& queue : p.inputQueues)
                queue->enqueue (input);
        }
    }

    int stepsToTarget (CalbrixAudioProcessor::LinearSmoother& smoother)
    {
        smoother.setTargetValue (smoother.getTargetValue() + 1.0f);
        int steps = 0;
        while (smoother.isSmoothing() && steps < 1000000)
        {
            smoother.getNextValue();
            ++steps;
        }
        return steps;
    }
} // namespace

TEST (AudioPreparation, ModelIsToldTheRateAndWarmedUpForTwoHundredMilliseconds)
{
    auto processor = loadedAt ("records_preparation.pt", 22050.0, 256);

    struct Case
    {
        double sampleRate;
        int blockSize;
        int warmUpCalls;
        int rateSeen;
    };
    const Case cases[] = {
        { 48000.0, 512, 18, 48000 },
        { 44100.0, 128, 68, 44100 },
        // One block lasts longer than 200 ms: a single call.
        { 44100.0, 16384, 1, 44100 },
        { 8000.0, 2048, 1, 8000 },
        // The rate reaches the model truncated.
        { 44100.7, 512, 17, 44100 },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (juce::String (c.sampleRate) + " Hz, " + juce::String (c.blockSize));
        prepare (*processor, c.sampleRate, c.blockSize);
        EXPECT_FALSE (processor->loading.load());
        ASSERT_TRUE (waitForQueueReset (*processor));

        EXPECT_EQ (callModelInt (*processor, "recorded_warm_up_calls"), c.warmUpCalls);
        EXPECT_EQ (callModelInt (*processor, "recorded_sample_rate"), c.rateSeen);
        EXPECT_EQ (callModelInt (*processor, "recorded_block_size"), c.blockSize);
        EXPECT_EQ (processor->lastSampleRate.load(), c.sampleRate);
        EXPECT_EQ (processor->lastBlockSize.load(), c.blockSize);
    }
}

TEST (AudioPreparation, UnchangedRateAndBlockSizeChangeNothing)
{
    // The load in between prepares the model itself; the host's repeated call must not.
    auto processor = loadedAt ("records_preparation.pt", 48000.0, 512);
    auto& p = *processor;

    setModelAttribute (p, "sample_rate", int64_t { 1234 });
    p.dryQueues[0]->enqueue (0.5f);      // a queue reset would empty it
    p.fadeSmoother.setTargetValue (1.0f); // a ramp in progress
    p.fadeSmoother.getNextValue();
    const float fadeBefore = p.fadeSmoother.getCurrentValue();
    p.setLatencySamples (77);

    p.prepareToPlay (48000.0, 512);
    pumpMessagesFor (50);

    EXPECT_EQ (callModelInt (p, "recorded_sample_rate"), 1234);
    EXPECT_FALSE (p.resetRequested.load());
    EXPECT_EQ (p.dryQueues[0]->size_approx(), 1u);
    EXPECT_TRUE (p.fadeSmoother.isSmoothing());
    EXPECT_EQ (p.fadeSmoother.getCurrentValue(), fadeBefore);
    EXPECT_EQ (p.getLatencySamples(), 77);
    EXPECT_EQ (p.inferencePool->getNumJobs(), 1);
}

TEST (AudioPreparation, WithoutAModelTheCallsFailAndTheLatencyIsZero)
{
    CalbrixAudioProcessor processor;
    processor.setLatencySamples (300);
    CapturedStandardError errors;

    prepare (processor, 48000.0, 512);

    EXPECT_EQ (processor.bufferingDelay.load(), 0);
    EXPECT_EQ (processor.modelDelay.load(), 0);
    EXPECT_EQ (processor.getLatencySamples(), 0);
    EXPECT_TRUE (readLogFile().contains (rateFailure));
    // The warm-up stops at its first failing call.
    EXPECT_EQ (errors.count ("error running the model\n"), 1) << errors.text();
    EXPECT_TRUE (waitForQueueReset (processor));
}

TEST (AudioPreparation, FailingRateCallIsLoggedAndTheWarmUpStillRuns)
{
    struct Case
    {
        const char* fixture;
        int warmUpCalls; // -1: the fixture does not record them
    };
    const Case cases[] = {
        { "records_preparation_float_rate.pt", 18 },
        { "sr_returns_float.pt", -1 },
        { "sr_returns_none.pt", -1 },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.fixture);
        auto processor = loadedAt (c.fixture, 22050.0, 256);
        const auto logBefore = readLogFile().length();
        CapturedStandardError errors;

        prepare (*processor, 48000.0, 512);
        ASSERT_TRUE (waitForQueueReset (*processor));

        const auto written = readLogFile().substring (logBefore);
        EXPECT_TRUE (written.startsWith (rateFailure)) << written;
        EXPECT_EQ (errors.text(), "");
        if (c.warmUpCalls >= 0)
        {
            EXPECT_EQ (callModelInt (*processor, "recorded_warm_up_calls"), c.warmUpCalls);
        }
    }
}

TEST (AudioPreparation, ModelRaisingInItsOtherMethodsIsPreparedAndRunsOn)
{
    // A `raise` inside the model is not a c10::Error; it must fail the call, not the thread.
    auto processor = loadedAt ("raises_in_housekeeping.pt", 22050.0, 256);
    auto& p = *processor;
    ASSERT_TRUE (p.model->loaded.load());
    const auto logBefore = readLogFile().length();

    prepare (p, 48000.0, 256);

    EXPECT_TRUE (readLogFile().substring (logBefore).contains ("set_daw_sample_rate_and_buffer_size always fails"));
    EXPECT_EQ (p.getLatencySamples(), 0);
    EXPECT_TRUE (p.model->reset().rfind ("error resetting the model\n", 0) == 0);

    // The worker survives the queue reset (which resets the model) and runs the model.
    ASSERT_TRUE (resetQueuesAndWait (p));
    queueForWorker (p, 256, 0.25f);
    ASSERT_TRUE (pumpMessagesUntil ([&] { return p.outputQueues[1]->size_approx() == 256; }));
    float sample = 0.0f;
    ASSERT_TRUE (p.outputQueues[0]->try_dequeue (sample));
    EXPECT_EQ (sample, 0.25f);
}

TEST (AudioPreparation, SuccessfulRateCallLogsAnEmptyLine)
{
    auto processor = loadedAt ("identity.pt", 22050.0, 256);
    const auto logBefore = readLogFile().length();

    prepare (*processor, 48000.0, 512);

    EXPECT_EQ (readLogFile().substring (logBefore), "\r\n");
}

TEST (AudioPreparation, ReportedLatencyIsTheSumOfTheModelsDelays)
{
    auto processor = loadedAt ("delays.pt", 48000.0, 512);
    auto& p = *processor;
    p.setLatencySamples (5);
    p.bufferingDelay = 0;
    p.modelDelay = 0;

    prepare (p, 44100.0, 256);

    EXPECT_EQ (p.bufferingDelay.load(), 1024);
    EXPECT_EQ (p.modelDelay.load(), 100);
    EXPECT_EQ (p.getLatencySamples(), 1124);
}

TEST (AudioPreparation, RampsAndHighPassFollowTheRate)
{
    using Set = juce::AudioChannelSet;
    for (const double sampleRate : { 48000.0, 44100.0 })
    {
        for (const auto& layout : { Set::stereo(), Set::mono() })
        {
            SCOPED_TRACE (juce::String (sampleRate) + " Hz, " + layout.getDescription());
            CalbrixAudioProcessor p;
            juce::AudioProcessor::BusesLayout buses;
            buses.inputBuses.add (layout);
            buses.outputBuses.add (layout);
            ASSERT_TRUE (p.setBusesLayout (buses));

            prepare (p, sampleRate, 512);

            EXPECT_EQ (stepsToTarget (p.fadeSmoother), static_cast<int> (0.2 * sampleRate));
            for (auto* smoother : { &p.wetGainSmoother, &p.dryGainSmoother, &p.inputGainSmoother, &p.outputGainSmoother,
                                    &p.p1Smoother, &p.p2Smoother, &p.p3Smoother, &p.p4Smoother })
                EXPECT_EQ (stepsToTarget (*smoother), static_cast<int> (0.05 * sampleRate));

            // Both filters, also with one channel: its output is the right path's, through filter 1.
            const auto expected = juce::IIRCoefficients::makeHighPass (sampleRate, 10.0, 10.0);
            ASSERT_EQ (p.highPassFilters.size(), 2u);
            for (const auto& filter : p.highPassFilters)
                for (int i = 0; i < 5; ++i)
                    EXPECT_EQ (filter.getCoefficients().coefficients[i], expected.coefficients[i]) << i;
        }
    }
}

TEST (AudioPreparation, NewWorkerTakesChunksOfTheNewBlockSize)
{
    CalbrixAudioProcessor p;
    prepare (p, 48000.0, 512);
    ASSERT_TRUE (waitForQueueReset (p));

    prepare (p, 48000.0, 128);
    ASSERT_TRUE (waitForQueueReset (p));
    EXPECT_EQ (p.inferencePool->getNumJobs(), 1);

    // With no model each chunk of 128 comes back as 128 zeros.
    queueForWorker (p, 128, 0.5f);
    ASSERT_TRUE (pumpMessagesUntil ([&] { return p.outputQueues[1]->size_approx() == 128; }));
    pumpMessagesFor (20);
    EXPECT_EQ (p.outputQueues[0]->size_approx(), 128u);
    float sample = 1.0f;
    ASSERT_TRUE (p.outputQueues[0]->try_dequeue (sample));
    EXPECT_EQ (sample, 0.0f);
}
