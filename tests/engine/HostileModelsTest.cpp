// Models are code, and anyone can hand the application one: models that answer with the wrong
// shape, type or length, with numbers that are not finite, with delays out of any range, never,
// or only after a long time. Each plays ten seconds of paced audio; the output stays finite and
// bounded, the latency sane, the audio thread allocates nothing and memory stays flat; a good
// model loaded afterwards plays, and the processor then goes within its bounded waits.
#include "AllocationCounter.h"
#include "LoadTestSupport.h"
#include "PacedAudioDevice.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>

using namespace calbrix_test;

namespace
{
    constexpr double sampleRate = 48000.0;
    constexpr int blockSize = 512;

    enum class Gate
    {
        none,            // the model answers by itself
        releasedAfter8s, // one of its calls takes about eight seconds
        neverReleased    // one of its calls does not come back while the processor lives
    };

    struct Hostile
    {
        const char* fixture;
        bool answersInTime; // so the dry signal is heard all along
        Gate gate;
    };

    // Everything the model wrapper's hostile fixtures do (see models/fixtures.py).
    const Hostile hostileModels[] = {
        { "nan_always.pt", true, Gate::none },
        { "inf_once.pt", true, Gate::none },
        { "nan_once.pt", true, Gate::none },
        { "one_row_output.pt", true, Gate::none },
        { "three_row_output.pt", true, Gate::none },
        { "one_dimensional_output.pt", true, Gate::none },
        { "float64_output.pt", true, Gate::none },
        { "int32_output.pt", true, Gate::none },
        { "strided_output.pt", true, Gate::none },
        { "one_short_output.pt", true, Gate::none },
        { "double_length_output.pt", true, Gate::none },
        { "returns_none.pt", false, Gate::none },
        { "raises_in_forward.pt", true, Gate::none },
        { "delays_int_max.pt", true, Gate::none },
        { "delays_int_min.pt", true, Gate::none },
        { "delays_minus_5.pt", true, Gate::none },
        { "delays_2_pow_40.pt", true, Gate::none },
        { "gated_forward.pt", false, Gate::releasedAfter8s },
        { "gated_forward.pt", false, Gate::neverReleased },
        { "gated_warm_up.pt", false, Gate::neverReleased },
        { "gated_buffering_delay.pt", false, Gate::neverReleased },
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

    // Runs the message loop (the processor's tree writes and watch need it) for `seconds` of audio.
    void playFor (PacedAudioDevice& device, double seconds)
    {
        const auto until = device.blocks() + static_cast<long long> (seconds * sampleRate / blockSize);
        pumpMessagesUntil ([&] { return device.blocks() >= until; }, static_cast<int> (seconds * 1000.0) + 60000);
    }

    void loadWithoutDefaults (CalbrixAudioProcessor& processor, const juce::String& fixture)
    {
        installFixture (fixture);
        processor.updateEngine (CalbrixAudioProcessor::modelFileFor (fixture).getFullPathName().toStdString(), false);
    }

    // The gate of a gated fixture, held from outside its calls once its module is in the wrapper.
    at::Tensor gateOf (CalbrixAudioProcessor& processor)
    {
        if (! pumpMessagesUntil ([&] { return processor.model->loaded.load(); }, 60000))
            return {};
        return processor.model->module.attr ("gate").toTensor();
    }

    void open (at::Tensor& gate)
    {
        if (gate.defined())
            gate.data_ptr<float>()[0] = 1.0f;
    }

    // gain2.pt with the dry level at 0.5: 2 x the tone on the wet path, plus half of it dry.
    bool goodModelPlays (CalbrixAudioProcessor& processor, PacedAudioDevice& device)
    {
        loadWithoutDefaults (processor, "gain2.pt");
        if (! waitForLoadingIdle (processor, 120000) || ! waitForQueueReset (processor, 60000))
            return false;
        playFor (device, 0.5); // the fade-in
        device.resetPeak();
        playFor (device, 0.5);
        // The test tone peaks at about 0.6.
        return device.peak() > 1.2f && device.peak() < 1.8f;
    }

    class HostileModels : public ::testing::TestWithParam<Hostile>
    {
    protected:
        void SetUp() override { dataDirectory().deleteRecursively(); }
        // Each failing call writes its lines on the standard error stream.
        CapturedStandardError quiet;
    };
} // namespace

TEST_P (HostileModels, TenSecondsOfAudioThenAGoodModelThenTeardown)
{
    const auto& c = GetParam();
    auto processor = std::make_unique<CalbrixAudioProcessor>();
    prepare (*processor, sampleRate, blockSize);
    setParameter (*processor, "dry_gain", 0.5f); // the dry signal is heard whatever the model does

    PacedAudioDevice device (*processor, sampleRate, blockSize);
    device.start();
    loadWithoutDefaults (*processor, c.fixture);
    auto gate = c.gate == Gate::none ? at::Tensor() : gateOf (*processor);

    playFor (device, 2.0);
    device.countAllocationsFromNow();
    const auto residentBefore = residentBytes();
    const auto audibleBefore = device.audibleBlocks();

    playFor (device, c.gate == Gate::releasedAfter8s ? 6.0 : 8.0);
    if (c.gate == Gate::releasedAfter8s)
    {
        open (gate);
        playFor (device, 2.0);
    }

    EXPECT_EQ (device.nonFiniteSamples(), 0);
    EXPECT_LT (device.peak(), 4.0f);
    EXPECT_EQ (device.allocations(), 0);
    if (! allocatorIsSanitized())
    {
        EXPECT_LT (residentBytes() - residentBefore, 16LL << 20);
    }
    EXPECT_GE (processor->getLatencySamples(), 0);
    EXPECT_LE (processor->getLatencySamples(), CalbrixAudioProcessor::maxBufferingDelay + CalbrixAudioProcessor::maxModelDelay
                                                   + CalbrixAudioProcessor::maxExtraLatency);
    if (c.answersInTime)
    {
        // Eight seconds of blocks, nearly all of them heard.
        EXPECT_GT (device.audibleBlocks() - audibleBefore, 8.0 * sampleRate / blockSize * 0.9);
    }

    EXPECT_TRUE (goodModelPlays (*processor, device));
    EXPECT_EQ (device.nonFiniteSamples(), 0);
    device.stop();

    const auto start = juce::Time::getMillisecondCounterHiRes();
    processor.reset();
    EXPECT_LT (juce::Time::getMillisecondCounterHiRes() - start, 30000.0);

    // The call that was left running may end now.
    open (gate);
}

INSTANTIATE_TEST_SUITE_P (Table, HostileModels, ::testing::ValuesIn (hostileModels),
                          [] (const ::testing::TestParamInfo<Hostile>& param)
                          {
                              auto name = juce::File::createLegalFileName (param.param.fixture).upToLastOccurrenceOf (".pt", false, false)
                                              .replaceCharacter ('.', '_');
                              if (param.param.gate == Gate::releasedAfter8s)
                                  name << "_for_8s";
                              else if (param.param.gate == Gate::neverReleased)
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
        auto processor = std::make_unique<CalbrixAudioProcessor>();
        prepare (*processor, sampleRate, blockSize);
        setParameter (*processor, "dry_gain", 0.5f);
        PacedAudioDevice device (*processor, sampleRate, blockSize);
        device.start();
        loadWithoutDefaults (*processor, c.fixture);
        auto gate = gateOf (*processor);
        playFor (device, 1.5); // long enough for the worker to be inside the call that stays
        device.stop();

        // As quitting or "Reset to default state" does: the processor goes, a new one comes.
        const auto start = juce::Time::getMillisecondCounterHiRes();
        processor.reset();
        EXPECT_LT (juce::Time::getMillisecondCounterHiRes() - start, 30000.0);

        processor = std::make_unique<CalbrixAudioProcessor>();
        prepare (*processor, sampleRate, blockSize);
        setParameter (*processor, "dry_gain", 0.5f);
        PacedAudioDevice next (*processor, sampleRate, blockSize);
        next.start();
        EXPECT_TRUE (goodModelPlays (*processor, next));
        next.stop();
        processor.reset();
        open (gate);
    }
}
