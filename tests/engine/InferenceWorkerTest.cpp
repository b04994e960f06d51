// The inference worker against real models: what it takes from the sample queues, what it pushes
// for each kind of model answer, the queue reset and its handshake with the audio thread, and
// that no two calls ever run inside the model at once. The test thread plays the audio thread's
// part of the queues directly; processBlock is not running.
#include "BackgroundProcess.h"
#include "TestSupport.h"
#include "TestWaits.h"

#include <gtest/gtest.h>

#include <array>

using namespace calbrix_test;

namespace
{
    constexpr double sampleRate = 48000.0;
    constexpr int B = 256;

    std::unique_ptr<CalbrixAudioProcessor> workerWith (const juce::String& fixture)
    {
        auto processor = std::make_unique<CalbrixAudioProcessor>();
        prepare (*processor, sampleRate, B);
        if (fixture.isNotEmpty())
        {
            EXPECT_TRUE (loadFixture (*processor, fixture));
        }
        EXPECT_TRUE (waitForQueueReset (*processor));
        return processor;
    }

    // Samples of chunk `index`: a different value at every position, negated on the right.
    std::vector<float> chunkSamples (int index, float sign)
    {
        std::vector<float> samples (B);
        for (int j = 0; j < B; ++j)
            samples[static_cast<size_t> (j)] = sign * (static_cast<float> (index) + static_cast<float> (j + 1) / 1024.0f);
        return samples;
    }

    // Queues `counts[q]` samples into input queue 0, 1 and parameter queue 0..3, as processBlock would.
    void queueSamples (CalbrixAudioProcessor& processor, const std::array<int, 6>& counts, int chunk = 0, float paramValue = 0.25f)
    {
        const auto left = chunkSamples (chunk, 1.0f);
        const auto right = chunkSamples (chunk, -1.0f);
        for (int k = 0; k < 4; ++k)
            for (int j = 0; j < counts[static_cast<size_t> (2 + k)]; ++j)
                processor.paramQueues[static_cast<size_t> (k)]->enqueue (paramValue);
        for (int j = 0; j < counts[0]; ++j)
            processor.inputQueues[0]->enqueue (left[static_cast<size_t> (j)]);
        for (int j = 0; j < counts[1]; ++j)
            processor.inputQueues[1]->enqueue (right[static_cast<size_t> (j)]);
    }

    void queueChunk (CalbrixAudioProcessor& processor, int chunk)
    {
        queueSamples (processor, { B, B, B, B, B, B }, chunk);
    }

    bool waitForOutput (CalbrixAudioProcessor& processor, size_t samples)
    {
        return pumpMessagesUntil ([&]
        {
            return processor.outputQueues[0]->size_approx() >= samples && processor.outputQueues[1]->size_approx() >= samples;
        });
    }

    bool waitUntilInputTaken (CalbrixAudioProcessor& processor)
    {
        return pumpMessagesUntil ([&] { return processor.inputQueues[0]->size_approx() == 0; });
    }

    std::vector<float> takeAll (SampleQueue& queue)
    {
        std::vector<float> samples;
        float sample = 0.0f;
        while (queue.try_dequeue (sample))
            samples.push_back (sample);
        return samples;
    }

    std::vector<float> concat (std::initializer_list<std::vector<float>> parts)
    {
        std::vector<float> all;
        for (const auto& part : parts)
            all.insert (all.end(), part.begin(), part.end());
        return all;
    }

    std::vector<float> times (std::vector<float> samples, float factor)
    {
        for (auto& s : samples)
            s *= factor;
        return samples;
    }

    std::vector<float> firstHalf (const std::vector<float>& samples)
    {
        return { samples.begin(), samples.begin() + static_cast<long> (samples.size() / 2) };
    }

    const std::vector<float> silence (B, 0.0f);
    const std::string runFailure = "error running the model\n";
} // namespace

TEST (InferenceWorker, EachChunkPushesWhatTheModelReturned)
{
    struct Case
    {
        const char* fixture;
        std::function<std::vector<float> (const std::vector<float>&)> output; // per chunk and channel
    };
    const Case cases[] = {
        // The held zeros of the job, chunk after chunk.
        { "", [] (const std::vector<float>&) { return silence; } },
        { "identity.pt", [] (const std::vector<float>& in) { return in; } },
        { "gain2.pt", [] (const std::vector<float>& in) { return times (in, 2.0f); } },
        // N = B / 2 samples per chunk: whatever length the model gives is pushed.
        { "half_length.pt", [] (const std::vector<float>& in) { return firstHalf (in); } },
        // None pushes nothing for its chunk.
        { "returns_none.pt", [] (const std::vector<float>&) { return std::vector<float>(); } },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.fixture);
        auto processor = workerWith (c.fixture);
        CapturedStandardError errors;

        std::vector<float> expected[2];
        for (int chunk = 0; chunk < 3; ++chunk)
        {
            queueChunk (*processor, chunk);
            for (int channel = 0; channel < 2; ++channel)
            {
                const auto out = c.output (chunkSamples (chunk, channel == 0 ? 1.0f : -1.0f));
                expected[channel].insert (expected[channel].end(), out.begin(), out.end());
            }
        }

        ASSERT_TRUE (waitUntilInputTaken (*processor));
        ASSERT_TRUE (waitForOutput (*processor, expected[0].size()));
        pumpMessagesFor (50); // room for anything pushed beyond what was expected
        EXPECT_EQ (takeAll (*processor->outputQueues[0]), expected[0]);
        EXPECT_EQ (takeAll (*processor->outputQueues[1]), expected[1]);
        EXPECT_EQ (errors.text(), "");
    }
}

TEST (InferenceWorker, TakesAChunkOnlyWhenTheInputsAndFirstTwoParametersHoldABlock)
{
    auto processor = workerWith ("last_param_echo.pt");

    struct Case
    {
        const char* what;
        std::array<int, 6> counts; // input 0, input 1, p1, p2, p3, p4
    };
    const Case waiting[] = {
        { "input 0 one short", { B - 1, B, B, B, B, B } },
        { "input 1 one short", { B, B - 1, B, B, B, B } },
        { "p1 one short", { B, B, B - 1, B, B, B } },
        { "p2 empty", { B, B, B, 0, B, B } },
    };

    for (const auto& c : waiting)
    {
        SCOPED_TRACE (c.what);
        ASSERT_TRUE (resetQueuesAndWait (*processor));
        queueSamples (*processor, c.counts);
        pumpMessagesFor (60);

        for (size_t q = 0; q < 2; ++q)
            EXPECT_EQ (processor->inputQueues[q]->size_approx(), static_cast<size_t> (c.counts[q]));
        for (size_t k = 0; k < 4; ++k)
            EXPECT_EQ (processor->paramQueues[k]->size_approx(), static_cast<size_t> (c.counts[2 + k]));
        EXPECT_EQ (processor->outputQueues[0]->size_approx(), 0u);
    }

    // p3 and p4 are not counted: a short p3 fills the rest of its row with zeros, an empty p4 all of it.
    ASSERT_TRUE (resetQueuesAndWait (*processor));
    queueSamples (*processor, { B, B, B, B, B / 2, 0 }, 0, 0.75f);
    ASSERT_TRUE (waitForOutput (*processor, B));

    std::vector<float> p3Row (B, 0.0f);
    std::fill (p3Row.begin(), p3Row.begin() + B / 2, 0.75f);
    EXPECT_EQ (takeAll (*processor->outputQueues[0]), p3Row);
    EXPECT_EQ (takeAll (*processor->outputQueues[1]), silence);
}

TEST (InferenceWorker, FailedCallsPushTheHeldOutputAndNoneClearsIt)
{
    // Calls after reset(): 1 gives back its input tensor itself, 2 raises, 3 returns None, 4 raises, 5 gives 3 x input.
    auto processor = workerWith ("output_sequence.pt");
    CapturedStandardError errors;

    for (int chunk = 0; chunk < 5; ++chunk)
        queueChunk (*processor, chunk);

    ASSERT_TRUE (waitUntilInputTaken (*processor));
    ASSERT_TRUE (waitForOutput (*processor, 4 * B));
    pumpMessagesFor (50);

    for (int channel = 0; channel < 2; ++channel)
    {
        SCOPED_TRACE (channel);
        const float sign = channel == 0 ? 1.0f : -1.0f;
        // The first answer is held as it was, not as the input tensor became with the next chunk.
        const auto first = chunkSamples (0, sign);
        EXPECT_EQ (takeAll (*processor->outputQueues[static_cast<size_t> (channel)]),
                   concat ({ first, first, silence, times (chunkSamples (4, sign), 3.0f) }));
    }

    // One group of lines per failed call, each ending in the step's text.
    EXPECT_EQ (errors.count (runFailure), 2) << errors.text();
    EXPECT_NE (errors.text().find ("scripted failure"), std::string::npos) << errors.text();
}

TEST (InferenceWorker, NoneLeavesTheTensorTheModelKeepsAlone)
{
    // The model returns a tensor it keeps, then None, then the same tensor again: clearing the
    // held output must not clear the model's own tensor.
    auto processor = workerWith ("returns_its_own_state.pt");
    for (int chunk = 0; chunk < 3; ++chunk)
        queueChunk (*processor, chunk);

    ASSERT_TRUE (waitUntilInputTaken (*processor));
    ASSERT_TRUE (waitForOutput (*processor, 2 * B));
    pumpMessagesFor (50);
    const std::vector<float> ones (B, 1.0f);
    EXPECT_EQ (takeAll (*processor->outputQueues[0]), concat ({ ones, ones }));
    EXPECT_EQ (takeAll (*processor->outputQueues[1]), concat ({ ones, ones }));
}

TEST (InferenceWorker, UnusableResultsCountAsFailedCalls)
{
    // Tensors whose rows cannot be read as two rows of contiguous floats, and a model that raises:
    // each chunk reports the failure and pushes the held output (zeros, as nothing was returned yet).
    for (const auto* fixture : { "one_dimensional_output.pt", "one_row_output.pt", "int64_output.pt",
                                 "strided_output.pt", "raises_in_forward.pt" })
    {
        SCOPED_TRACE (fixture);
        auto processor = workerWith (fixture);
        CapturedStandardError errors;

        queueChunk (*processor, 0);
        queueChunk (*processor, 1);
        ASSERT_TRUE (waitForOutput (*processor, 2 * B));
        ASSERT_TRUE (pumpMessagesUntil ([&] { return errors.count (runFailure) >= 2; }));
        pumpMessagesFor (50);

        EXPECT_EQ (takeAll (*processor->outputQueues[0]), concat ({ silence, silence }));
        EXPECT_EQ (takeAll (*processor->outputQueues[1]), concat ({ silence, silence }));
        EXPECT_EQ (errors.count (runFailure), 2) << errors.text();
    }
}

TEST (InferenceWorker, ResetWaitsUntilTheAudioThreadIsOutsideItsBlock)
{
    auto processor = workerWith ("output_sequence.pt");
    auto& p = *processor;

    // Two chunks have gone through: the model's call counter stands at 2.
    queueChunk (p, 0);
    queueChunk (p, 1);
    ASSERT_TRUE (waitForOutput (p, 2 * B));

    // The audio thread is inside processBlock when the reset is asked for.
    p.insideProcessBlock = true;
    p.resetRequested = true;

    // Everything in flight: the worker takes nothing while the request is pending, so the test may
    // stand in for either end of any queue.
    for (auto* queues : { &p.inputQueues, &p.outputQueues, &p.paramQueues, &p.dryQueues })
        for (auto& queue : *queues)
            queue->enqueue (0.5f);
    for (int i = 0; i < 10; ++i)
    {
        p.dryDelayLeft->process (1.0f, 0.0f);
        p.dryDelayRight->process (-1.0f, 0.0f);
    }
    p.underrunCount = 5;
    p.extraLatency = 1024;
    p.setLatencySamples (1536);

    std::vector<SampleQueue*> before;
    for (auto* queues : { &p.inputQueues, &p.outputQueues, &p.paramQueues, &p.dryQueues })
        for (auto& queue : *queues)
            before.push_back (queue.get());

    pumpMessagesFor (100);
    EXPECT_TRUE (p.resetRequested.load());
    size_t index = 0;
    for (auto* queues : { &p.inputQueues, &p.outputQueues, &p.paramQueues, &p.dryQueues })
        for (auto& queue : *queues)
            EXPECT_EQ (queue.get(), before[index++]);
    EXPECT_EQ (p.underrunCount.load(), 5);

    // The block ends: the worker resets, and only then clears the request.
    p.insideProcessBlock = false;
    ASSERT_TRUE (waitForQueueReset (p));

    for (auto* queues : { &p.inputQueues, &p.outputQueues, &p.paramQueues, &p.dryQueues })
        for (auto& queue : *queues)
            EXPECT_EQ (queue->size_approx(), 0u);
    for (int delay : { 0, 5, 9, 100 })
    {
        EXPECT_EQ (p.dryDelayLeft->process (0.0f, static_cast<float> (delay)), 0.0f) << delay;
        EXPECT_EQ (p.dryDelayRight->process (0.0f, static_cast<float> (delay)), 0.0f) << delay;
    }
    EXPECT_EQ (p.underrunCount.load(), 0);
    EXPECT_EQ (p.extraLatency.load(), 0);
    EXPECT_EQ (p.getLatencySamples(), 1536); // the reported latency is left as it was

    // The model was reset too: the next chunk is its first call again, which echoes its input.
    queueChunk (p, 7);
    ASSERT_TRUE (waitForOutput (p, B));
    EXPECT_EQ (takeAll (*p.outputQueues[0]), chunkSamples (7, 1.0f));
}

TEST (InferenceWorker, ResetAskedForBeforeAnyJobWaitsForTheFirstOne)
{
    // As at start-up: the saved state's model is loaded before the audio device is prepared.
    CalbrixAudioProcessor processor;
    processor.setRateAndBufferSizeDetails (sampleRate, B);
    ASSERT_TRUE (loadFixture (processor, "identity.pt"));
    ASSERT_TRUE (processor.model->loaded.load());

    pumpMessagesFor (50);
    EXPECT_TRUE (processor.resetRequested.load());

    // Meanwhile every block is silent and touches no queue.
    juce::AudioBuffer<float> buffer (2, B);
    juce::MidiBuffer midi;
    for (int block = 0; block < 3; ++block)
    {
        for (int channel = 0; channel < 2; ++channel)
            juce::FloatVectorOperations::fill (buffer.getWritePointer (channel), 0.5f, B);
        processor.processBlock (buffer, midi);
        EXPECT_EQ (buffer.getMagnitude (0, B), 0.0f);
        EXPECT_EQ (processor.inputQueues[0]->size_approx(), 0u);
        EXPECT_EQ (processor.dryQueues[0]->size_approx(), 0u);
        EXPECT_FALSE (processor.insideProcessBlock.load());
    }

    processor.prepareToPlay (sampleRate, B);
    EXPECT_TRUE (waitForQueueReset (processor));
}

TEST (InferenceWorker, ModelCallsNeverOverlap)
{
    // Every method of the probe spends a few milliseconds inside the module and counts how many
    // calls were inside it at once.
    auto processor = workerWith ("overlap_probe.pt");
    auto& p = *processor;
    constexpr int chunks = 8;

    // The worker is busy with a queue of chunks when the host prepares again on this thread.
    for (int chunk = 0; chunk < chunks; ++chunk)
        queueChunk (p, chunk);
    ASSERT_TRUE (pumpMessagesUntil ([&] { return p.inputQueues[0]->size_approx() < static_cast<size_t> (chunks * B); }));
    p.prepareToPlay (44100.0, B);
    EXPECT_EQ (callModelInt (p, "max_overlap"), 1);

    // A load on the loading worker while the host prepares, twice over, on this thread.
    ASSERT_TRUE (waitForQueueReset (p));
    installFixture ("overlap_probe.pt");
    p.updateEngine (CalbrixAudioProcessor::modelFileFor ("overlap_probe.pt").getFullPathName().toStdString(), false);
    for (int round = 0; round < 6 && p.loadingPool->getNumJobs() > 0; ++round)
        p.prepareToPlay (round % 2 == 0 ? sampleRate : 44100.0, B);
    ASSERT_TRUE (waitForLoadingIdle (p));
    ASSERT_TRUE (p.model->loaded.load());
    EXPECT_EQ (callModelInt (p, "max_overlap"), 1);
}

TEST (InferenceWorker, WhileALoadOrAPreparationRunsItSleepsBetweenItsLooks)
{
    // The worker's idle sleeps are counted where a profile is installed.
    BackgroundProcess::Profile profile;
    BackgroundProcess::profile = &profile;
    auto processor = workerWith ("identity.pt");

    // As while a load reads a large file or a model call in it stays: nothing is to be taken.
    processor->loading = true;
    const auto sleepsBefore = profile.polls.load();
    constexpr long long sleepsToSee = 20;
    EXPECT_TRUE (pumpMessagesUntil ([&] { return profile.polls.load() >= sleepsBefore + sleepsToSee; }, waits::workerAnswerMs));

    processor->loading = false;
    processor.reset();
    BackgroundProcess::profile = nullptr;
}
