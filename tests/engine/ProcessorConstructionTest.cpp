// Construction of the processor: data folders, the log file, initial engine state, identity and
// the host-facing properties; and the dry-path delay line.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <regex>

using namespace calbrix_test;

namespace
{
    juce::File logFile() { return dataDirectory().getChildFile ("calbrix.log"); }

    // The banner the log gains at each construction, with the time written between `before` and `after`.
    ::testing::AssertionResult isOneBanner (const std::string& text, juce::Time before, juce::Time after)
    {
        static const std::regex banner (
            "\r\n\\*{58}\r\nCalbrix Error Log\r\nLog started: "
            "([1-9]|[12][0-9]|3[01]) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-9]{4} "
            "(1[0-2]|[1-9]):[0-5][0-9]:[0-5][0-9](am|pm)\r\n\r\n");

        if (! std::regex_match (text, banner))
            return ::testing::AssertionFailure() << "not a banner: [" << text << "]";

        const auto stamp = text.substr (text.find ("started: ") + 9);
        std::vector<juce::Time> candidates;
        for (auto t = before; t < after; t += juce::RelativeTime::seconds (1.0))
            candidates.push_back (t);
        candidates.push_back (after);
        for (auto t : candidates)
            if (stamp.rfind (t.toString (true, true).toStdString() + "\r\n", 0) == 0)
                return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "time stamp " << stamp << " is not the local time of construction";
    }

    class ProcessorConstruction : public ::testing::Test
    {
    protected:
        void SetUp() override { dataDirectory().deleteRecursively(); }
    };
} // namespace

TEST_F (ProcessorConstruction, FirstStartCreatesEmptyFoldersAndALogWithOneBanner)
{
    ASSERT_FALSE (dataDirectory().exists());

    const auto before = juce::Time::getCurrentTime();
    {
        CalbrixAudioProcessor processor;
    }
    const auto after = juce::Time::getCurrentTime();

    EXPECT_EQ (dataDirectory().getFullPathName(),
               juce::File::getSpecialLocation (juce::File::userHomeDirectory).getFullPathName() + "/.config/Application Support/Ardel/Calbrix");
    for (const auto* name : { "models", "presets" })
    {
        SCOPED_TRACE (name);
        const auto folder = dataDirectory().getChildFile (name);
        EXPECT_TRUE (folder.isDirectory());
        EXPECT_EQ (folder.getNumberOfChildFiles (juce::File::findFilesAndDirectories), 0);
    }
    EXPECT_TRUE (isOneBanner (readLogFile().toStdString(), before, after));
}

TEST_F (ProcessorConstruction, ExistingFoldersAndLogTextAreKept)
{
    const auto models = dataDirectory().getChildFile ("models");
    const auto presets = dataDirectory().getChildFile ("presets");
    ASSERT_TRUE (models.createDirectory());
    ASSERT_TRUE (presets.createDirectory());
    ASSERT_TRUE (models.getChildFile ("kept.pt").replaceWithText ("model"));
    ASSERT_TRUE (presets.getChildFile ("kept.json").replaceWithText ("preset"));
    const std::string earlier = "earlier run\r\nsecond line without end";
    ASSERT_TRUE (logFile().replaceWithText (earlier, false, false, nullptr));

    const auto before = juce::Time::getCurrentTime();
    CalbrixAudioProcessor processor;
    const auto after = juce::Time::getCurrentTime();

    EXPECT_EQ (models.getChildFile ("kept.pt").loadFileAsString(), "model");
    EXPECT_EQ (presets.getChildFile ("kept.json").loadFileAsString(), "preset");

    const auto text = readLogFile().toStdString();
    ASSERT_EQ (text.rfind (earlier, 0), 0u);
    EXPECT_TRUE (isOneBanner (text.substr (earlier.size()), before, after));
}

TEST_F (ProcessorConstruction, LargeLogKeepsItsTailFromTheFirstLineBreak)
{
    constexpr size_t limit = 131072;
    struct Case { const char* what; size_t size; std::vector<std::pair<size_t, char>> breaks; size_t keptFrom; };
    const Case cases[] = {
        { "exactly at the limit: all kept", limit, { { 10, '\n' } }, 0 },
        { "one byte over, break on the first kept byte", limit + 1, { { 0, '\n' }, { 1, '\n' } }, 1 },
        { "break right at the cut", 200000, { { 50000, '\n' }, { 200000 - limit, '\n' }, { 150000, '\n' } }, 200000 - limit },
        { "first break after the cut is a carriage return", 200000, { { 200000 - limit - 1, '\n' }, { 70000, '\r' }, { 71000, '\n' } }, 70000 },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        dataDirectory().deleteRecursively();
        std::string content (c.size, 'x');
        for (const auto& [offset, character] : c.breaks)
            content[offset] = character;
        ASSERT_TRUE (dataDirectory().createDirectory());
        ASSERT_TRUE (logFile().replaceWithData (content.data(), content.size()));

        const auto before = juce::Time::getCurrentTime();
        {
            CalbrixAudioProcessor processor;
        }
        const auto after = juce::Time::getCurrentTime();

        const auto text = readLogFile().toStdString();
        const auto kept = content.substr (c.keptFrom);
        ASSERT_GE (text.size(), kept.size());
        EXPECT_TRUE (text.compare (0, kept.size(), kept) == 0);
        EXPECT_TRUE (isOneBanner (text.substr (kept.size()), before, after));
    }
}

TEST_F (ProcessorConstruction, EveryConstructionAddsExactlyOneBanner)
{
    const auto before = juce::Time::getCurrentTime();
    {
        CalbrixAudioProcessor first;
        CalbrixAudioProcessor second;
    }
    {
        CalbrixAudioProcessor third;
    }
    const auto after = juce::Time::getCurrentTime();

    // The log is nothing but three banners, one after the other.
    const auto text = readLogFile().toStdString();
    const std::string marker = "\r\n**********";
    std::vector<size_t> starts;
    for (auto at = text.find (marker); at != std::string::npos; at = text.find (marker, at + 1))
        starts.push_back (at);
    ASSERT_EQ (starts.size(), 3u) << text;
    ASSERT_EQ (starts[0], 0u);
    starts.push_back (text.size());
    for (size_t i = 0; i < 3; ++i)
        EXPECT_TRUE (isOneBanner (text.substr (starts[i], starts[i + 1] - starts[i]), before, after));
}

TEST_F (ProcessorConstruction, EngineStateRightAfterConstruction)
{
    CalbrixAudioProcessor processor;

    EXPECT_EQ (processor.fadeState.load(), 2);
    EXPECT_TRUE (processor.muted.load());
    EXPECT_FALSE (processor.loading.load());
    EXPECT_FALSE (processor.resetRequested.load());
    EXPECT_FALSE (processor.insideProcessBlock.load());
    EXPECT_TRUE (processor.parametersDirty.load());
    EXPECT_EQ (processor.lastSampleRate.load(), -1.0);
    EXPECT_EQ (processor.lastBlockSize.load(), -1);
    EXPECT_EQ (processor.bufferingDelay.load(), 0);
    EXPECT_EQ (processor.modelDelay.load(), 0);
    EXPECT_EQ (processor.underrunCount.load(), 0);
    EXPECT_EQ (processor.extraLatency.load(), 0);
    EXPECT_EQ (processor.getLatencySamples(), 0);
    EXPECT_EQ (processor.connectedPort, 3000);

    const std::pair<const char*, SampleQueues*> queueSets[] = {
        { "input", &processor.inputQueues }, { "output", &processor.outputQueues },
        { "param", &processor.paramQueues }, { "dry", &processor.dryQueues },
    };
    for (const auto& [name, queues] : queueSets)
    {
        SCOPED_TRACE (name);
        EXPECT_EQ (queues->size(), juce::String (name) == "param" ? 4u : 2u);
        for (const auto& queue : *queues)
        {
            ASSERT_NE (queue, nullptr);
            EXPECT_EQ (queue->size_approx(), 0u);
            EXPECT_GE (queue->max_capacity(), CalbrixAudioProcessor::queueCapacity);
        }
    }

    ASSERT_NE (processor.dryDelayLeft, nullptr);
    ASSERT_NE (processor.dryDelayRight, nullptr);
    EXPECT_EQ (processor.dryDelayLeft->getSize(), 96000);
    ASSERT_NE (processor.model, nullptr);
    EXPECT_FALSE (processor.model->loaded.load());
    EXPECT_EQ (processor.highPassFilters.size(), 2u);
    for (auto* pool : { processor.loadingPool.get(), processor.inferencePool.get() })
    {
        ASSERT_NE (pool, nullptr);
        EXPECT_EQ (pool->getNumThreads(), 1);
        EXPECT_EQ (pool->getNumJobs(), 0);
    }
}

TEST_F (ProcessorConstruction, InstancesDrawIndependentNonNegativeIds)
{
    CalbrixAudioProcessor first;
    CalbrixAudioProcessor second;

    std::vector<int> ids;
    for (auto* processor : { &first, &second })
    {
        const auto stored = processor->parameters.getCustomParamValue ("instance_id", ParameterManager::PARAMX);
        ASSERT_TRUE (stored.isInt());
        const int id = stored;
        EXPECT_GE (id, 0);
        EXPECT_EQ (processor->instanceIdText, juce::String (id));
        EXPECT_EQ (processor->getConnectedPort(), "3000/?id=" + juce::String (id) + "&v=1.5.0");
        ids.push_back (id);
    }
    EXPECT_NE (ids[0], ids[1]);
}

TEST_F (ProcessorConstruction, ConnectedPortNamesTheInstanceAndVersion)
{
    CalbrixAudioProcessor processor;
    processor.instanceIdText = "42";
    processor.parameters.state.getChildWithProperty ("id", "plugin_version").setProperty ("value", "9.9.9", nullptr);

    EXPECT_EQ (processor.getConnectedPort(), "3000/?id=42&v=1.5.0");
}

TEST_F (ProcessorConstruction, HostFacingProperties)
{
    CalbrixAudioProcessor processor;

    EXPECT_EQ (processor.getName(), "Calbrix FX");
    EXPECT_EQ (processor.getTailLengthSeconds(), 0.0);
    EXPECT_FALSE (processor.acceptsMidi());
    EXPECT_FALSE (processor.producesMidi());
    EXPECT_FALSE (processor.isMidiEffect());
    EXPECT_TRUE (processor.hasEditor());

    ASSERT_EQ (processor.getBusCount (true), 1);
    ASSERT_EQ (processor.getBusCount (false), 1);
    EXPECT_EQ (processor.getBus (true, 0)->getName(), "Input");
    EXPECT_EQ (processor.getBus (false, 0)->getName(), "Output");
    EXPECT_EQ (processor.getBus (true, 0)->getCurrentLayout(), juce::AudioChannelSet::stereo());
    EXPECT_EQ (processor.getBus (false, 0)->getCurrentLayout(), juce::AudioChannelSet::stereo());

    EXPECT_EQ (processor.getNumPrograms(), 1);
    for (int index : { -1, 0, 1, 7, std::numeric_limits<int>::max() })
    {
        SCOPED_TRACE (index);
        processor.setCurrentProgram (index);
        EXPECT_EQ (processor.getCurrentProgram(), 0);
        processor.changeProgramName (index, "renamed");
        EXPECT_EQ (processor.getProgramName (index), "");
    }
}

TEST_F (ProcessorConstruction, OnlyMatchingMonoOrStereoLayoutsAreSupported)
{
    using Set = juce::AudioChannelSet;
    using Layout = juce::AudioProcessor::BusesLayout;

    auto layout = [] (std::initializer_list<Set> inputs, std::initializer_list<Set> outputs)
    {
        Layout l;
        for (const auto& s : inputs) l.inputBuses.add (s);
        for (const auto& s : outputs) l.outputBuses.add (s);
        return l;
    };

    struct Case { const char* what; Layout layout; bool supported; };
    const Case cases[] = {
        { "stereo to stereo", layout ({ Set::stereo() }, { Set::stereo() }), true },
        { "mono to mono", layout ({ Set::mono() }, { Set::mono() }), true },
        { "stereo to stereo with a further bus", layout ({ Set::stereo(), Set::mono() }, { Set::stereo(), Set::create5point1() }), true },
        { "mono to stereo", layout ({ Set::mono() }, { Set::stereo() }), false },
        { "stereo to mono", layout ({ Set::stereo() }, { Set::mono() }), false },
        { "no input bus, stereo out", layout ({}, { Set::stereo() }), false },
        { "disabled input, stereo out", layout ({ Set::disabled() }, { Set::stereo() }), false },
        { "stereo in, no output bus", layout ({ Set::stereo() }, {}), false },
        { "disabled both sides", layout ({ Set::disabled() }, { Set::disabled() }), false },
        { "one discrete channel both sides", layout ({ Set::discreteChannels (1) }, { Set::discreteChannels (1) }), false },
        { "5.1 both sides", layout ({ Set::create5point1() }, { Set::create5point1() }), false },
        { "quadraphonic both sides", layout ({ Set::quadraphonic() }, { Set::quadraphonic() }), false },
        { "LCR both sides", layout ({ Set::createLCR() }, { Set::createLCR() }), false },
    };

    CalbrixAudioProcessor processor;
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        EXPECT_EQ (processor.isBusesLayoutSupported (c.layout), c.supported);
    }
}

TEST_F (ProcessorConstruction, AnyParameterChangeMarksTheParametersDirty)
{
    CalbrixAudioProcessor processor;

    processor.parametersDirty = false;
    processor.parameterChanged ("no such parameter", std::numeric_limits<float>::quiet_NaN());
    EXPECT_TRUE (processor.parametersDirty.load());

    for (auto* parameter : processor.getParameters())
    {
        SCOPED_TRACE (dynamic_cast<juce::AudioProcessorParameterWithID*> (parameter)->paramID);
        processor.parametersDirty = false;
        parameter->setValueNotifyingHost (0.25f);
        EXPECT_TRUE (processor.parametersDirty.load());
    }
}

// ---- Delay line ----------------------------------------------------------------------------------

namespace
{
    float inputAt (int step) { return static_cast<float> (step % 1000 + 1); }

    // Runs `steps` samples of a known sequence through a fresh line and returns what came out.
    std::vector<float> runLine (float delay, int steps)
    {
        DelayLine line (512);
        std::vector<float> out;
        out.reserve (static_cast<size_t> (steps));
        for (int step = 0; step < steps; ++step)
            out.push_back (line.process (inputAt (step), delay));
        return out;
    }
} // namespace

TEST (DelayLine, WholeSampleDelaysReturnTheSampleWrittenThatManyStepsEarlier)
{
    constexpr int steps = 96000 + 3000;
    for (int d : { 0, 1, 7, 512, 95999 })
    {
        SCOPED_TRACE (d);
        const auto out = runLine (static_cast<float> (d), steps);
        for (int step = 0; step < steps; ++step)
        {
            const float expected = step >= d ? inputAt (step - d) : 0.0f;
            if (out[static_cast<size_t> (step)] != expected)
            {
                ADD_FAILURE() << "step " << step << ": " << out[static_cast<size_t> (step)] << " != " << expected;
                break;
            }
        }
    }
}

TEST (DelayLine, FractionalDelayInterpolatesBetweenNeighbours)
{
    const auto out = runLine (2.25f, 20);
    for (int step = 3; step < 20; ++step)
        EXPECT_FLOAT_EQ (out[static_cast<size_t> (step)], 0.75f * inputAt (step - 2) + 0.25f * inputAt (step - 3)) << step;
}

TEST (DelayLine, DelaysOutsideTheBufferAreClamped)
{
    constexpr float inf = std::numeric_limits<float>::infinity();
    struct Case { const char* what; float delay; float behavesLike; };
    const Case cases[] = {
        { "negative", -1.0f, 0.0f },             { "very negative", -1.0e9f, 0.0f },
        { "NaN", std::numeric_limits<float>::quiet_NaN(), 0.0f }, { "minus infinity", -inf, 0.0f },
        { "buffer size", 96000.0f, 95999.0f },   { "far beyond", 1.0e9f, 95999.0f },
        { "infinity", inf, 95999.0f },
    };

    constexpr int steps = 96000 * 2 + 17;
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        EXPECT_EQ (runLine (c.delay, steps), runLine (c.behavesLike, steps));
    }
}
