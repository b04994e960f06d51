// What one model load does to the processor: the module, preparation, delays and latency, the
// model's defaults, the loading flag, and how a file that cannot be loaded is reported.
#include "LoadTestSupport.h"
#include "StateTreeWriter.h"
#include "TestWaits.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <map>

using namespace calbrix_test;

namespace
{
    constexpr int blockSize = 512;

    // The eight plain parameter values, in the order a host sees them.
    std::vector<float> parameterValues (CalbrixAudioProcessor& processor)
    {
        std::vector<float> values;
        for (auto* parameter : processor.getParameters())
            values.push_back (parameterValue (processor, dynamic_cast<juce::AudioProcessorParameterWithID*> (parameter)->paramID));
        return values;
    }

    void setParameter (CalbrixAudioProcessor& processor, const juce::String& id, float normalised)
    {
        processor.parameters.getParameter (id)->setValueNotifyingHost (normalised);
    }

    // Values a host or the user might have set, none of them a fixture's default.
    void setUserParameterValues (CalbrixAudioProcessor& processor)
    {
        const char* ids[] = { "p1", "p2", "p3", "p4", "wet_gain", "dry_gain", "output_gain", "input_gain" };
        float value = 0.61f;
        for (const auto* id : ids)
            setParameter (processor, id, value += 0.03f);
    }

    std::vector<float> wrapperDefaults (const Calbrix& model)
    {
        return { model.defaultP1, model.defaultP2, model.defaultP3, model.defaultP4,
                 model.defaultDry, model.defaultWet, model.defaultInputGain, model.defaultOutputGain };
    }

    const c10::ivalue::Object* loadedModuleObject (CalbrixAudioProcessor& processor)
    {
        return processor.model->module._ivalue().get();
    }

    // How often counting_delays.pt has run forward_bt.
    int64_t forwardCalls (CalbrixAudioProcessor& processor)
    {
        const std::lock_guard<Calbrix::CallLock> lock (processor.model->callLock());
        return processor.model->module.attr ("calls").toInt();
    }

    // Plays one block of a steady signal as the audio thread does, then waits until the inference
    // worker has taken it from the input queues.
    bool playOneBlockThroughTheWorker (CalbrixAudioProcessor& processor)
    {
        // The worker replaces the queues after a load: only then are they the audio thread's to fill.
        if (! pumpMessagesUntil ([&] { return ! processor.resetRequested; }))
            return false;

        juce::AudioBuffer<float> buffer (2, blockSize);
        juce::MidiBuffer midi;
        for (int channel = 0; channel < 2; ++channel)
            juce::FloatVectorOperations::fill (buffer.getWritePointer (channel), 0.25f, blockSize);
        processor.processBlock (buffer, midi);
        return pumpMessagesUntil ([&] { return processor.inputQueues[0]->size_approx() == 0; });
    }

    class ModelLoading : public ::testing::Test
    {
    protected:
        void SetUp() override { startFresh(); }
        void TearDown() override { dismissAlertWindows(); }

        // A new processor on an empty data directory, as at a first start.
        void startFresh()
        {
            processor.reset();
            dismissAlertWindows();
            dataDirectory().deleteRecursively();
            processor = std::make_unique<CalbrixAudioProcessor>();
        }

        // Picks a fixture as the page does and waits until its load has finished.
        void pickModel (const juce::String& fixture, const juce::String& nameInModelsFolder = {})
        {
            const auto name = nameInModelsFolder.isEmpty() ? fixture : nameInModelsFolder;
            fixtureModel (fixture).copyFileTo (CalbrixAudioProcessor::modelFileFor (name));
            setModelPath (*processor, name);
            ASSERT_TRUE (waitForLoadingIdle (*processor));
        }

        std::unique_ptr<CalbrixAudioProcessor> processor;
    };
} // namespace

TEST_F (ModelLoading, PickedModelIsLoadedPreparedAndGivesTheParametersItsDefaults)
{
    prepare (*processor, 48000.0, blockSize);
    LoadingFlagRecorder flag (*processor);
    const auto logBefore = readLogFile();
    processor->parametersDirty = false;

    pickModel ("defaults.pt");

    EXPECT_TRUE (processor->model->loaded.load());
    EXPECT_FALSE (processor->loading.load());
    EXPECT_EQ (processor->fadeState.load(), 2);
    EXPECT_EQ (flag.values(), (std::vector<juce::var> { true, false }));
    EXPECT_TRUE (flag.allSetOnTheMessageThread());

    // Gains are given as normalised values: 0.5 is 0 dB, 0.0 is -30 dB.
    const std::pair<const char*, float> expected[] = {
        { "p1", 0.1f }, { "p2", 0.2f }, { "p3", 0.3f }, { "p4", 0.4f },
        { "dry_gain", 0.25f }, { "wet_gain", 0.75f }, { "input_gain", 0.0f }, { "output_gain", -30.0f },
    };
    for (const auto& [id, value] : expected)
        EXPECT_NEAR (parameterValue (*processor, id), value, 1.0e-5f) << id;
    EXPECT_TRUE (processor->parametersDirty.load());

    // The load and the preparation that follows it each write one empty message.
    EXPECT_EQ (readLogFile(), logBefore + "\r\n\r\n");
    EXPECT_TRUE (dismissAlertWindows().isEmpty());
}

TEST_F (ModelLoading, TheTreeHoldsTheModelsDefaultsWhenTheLoadingFlagClears)
{
    // What the page reads from the tree with the load's end is what it keeps as the model's defaults.
    struct TreeAtLoadEnd : juce::ValueTree::Listener
    {
        void valueTreePropertyChanged (juce::ValueTree& child, const juce::Identifier&) override
        {
            if (child.getProperty ("id").toString() != "is_model_loading" || ! child.getProperty ("value").isBool()
                || static_cast<bool> (child.getProperty ("value")))
                return;
            for (const auto& sibling : child.getParent())
                values[sibling.getProperty ("id").toString()] = sibling.getProperty ("value");
        }
        std::map<juce::String, juce::var> values;
    } seen;

    setUserParameterValues (*processor);
    processor->parameters.copyState(); // the user's values are in the tree before the load
    processor->parameters.state.addListener (&seen);
    pickModel ("defaults.pt");
    processor->parameters.state.removeListener (&seen);

    const std::pair<const char*, double> expected[] = {
        { "p1", 0.1 }, { "p2", 0.2 }, { "p3", 0.3 }, { "p4", 0.4 },
        { "dry_gain", 0.25 }, { "wet_gain", 0.75 }, { "input_gain", 0.0 }, { "output_gain", -30.0 },
    };
    ASSERT_FALSE (seen.values.empty()) << "the loading flag never cleared";
    for (const auto& [id, value] : expected)
        EXPECT_NEAR (static_cast<double> (seen.values[id]), value, 1.0e-5) << id;
}

TEST_F (ModelLoading, NewModelFadesInOnlyOnceItsDefaultsAreInTheTree)
{
    prepare (*processor, 48000.0, blockSize);
    setUserParameterValues (*processor);
    const auto userValues = parameterValues (*processor);
    fixtureModel ("defaults.pt").copyFileTo (CalbrixAudioProcessor::modelFileFor ("defaults.pt"));

    processor->updateEngine (CalbrixAudioProcessor::modelFileFor ("defaults.pt").getFullPathName().toStdString(), true);
    ASSERT_TRUE (pumpMessagesUntil ([&] { return processor->loading.load() && ! processor->treeWriter->hasPendingWrites(); }));

    // The message thread holds back: the defaults the load posts cannot reach the tree yet, and
    // the output must not begin to fade in meanwhile.
    auto waitWithoutMessages = [] (const std::function<bool()>& condition, int timeoutMs)
    {
        const auto deadline = juce::Time::getMillisecondCounter() + static_cast<juce::uint32> (timeoutMs);
        while (! condition() && juce::Time::getMillisecondCounter() < deadline)
            juce::Thread::sleep (1);
        return condition();
    };
    ASSERT_TRUE (waitWithoutMessages ([&] { return processor->treeWriter->hasPendingWrites(); }, waits::modelLoadMs));
    constexpr int windowForAnEarlyFadeInMs = 500;
    waitWithoutMessages ([&] { return processor->fadeState.load() == 2; }, windowForAnEarlyFadeInMs);
    EXPECT_NE (processor->fadeState.load(), 2);
    EXPECT_EQ (parameterValues (*processor), userValues);

    ASSERT_TRUE (waitForLoadingIdle (*processor));
    EXPECT_EQ (processor->fadeState.load(), 2);
    EXPECT_NEAR (parameterValue (*processor, "p1"), 0.1f, 1.0e-5f);
    EXPECT_NEAR (parameterValue (*processor, "wet_gain"), 0.75f, 1.0e-5f);
}

TEST_F (ModelLoading, DelaysAndLatencyFollowEachLoadedModel)
{
    struct Case { const char* fixture; int buffering, model; };
    const Case cases[] = {
        { "delays.pt", 1024, 100 },
        { "float_model_delay.pt", 1024, 0 },   // a float where an integer is due counts as no delay
        { "no_buffering_delay.pt", 0, 100 },
        { "identity.pt", 0, 0 },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.fixture);
        pickModel (c.fixture);
        EXPECT_TRUE (processor->model->loaded.load());
        EXPECT_EQ (processor->bufferingDelay.load(), c.buffering);
        EXPECT_EQ (processor->modelDelay.load(), c.model);
        EXPECT_EQ (processor->getLatencySamples(), c.buffering + c.model);
    }
}

TEST_F (ModelLoading, PathThatNamesNoFileOnlyLetsTheOutputFadeIn)
{
    pickModel ("identity.pt");
    ASSERT_TRUE (processor->model->loaded.load());
    const auto* module = loadedModuleObject (*processor);
    ASSERT_TRUE (CalbrixAudioProcessor::modelFileFor ("a_folder").createDirectory());
    const auto parametersBefore = parameterValues (*processor);

    // Each text differs from the one before, so each one is a request.
    for (const auto* text : { "", "missing.pt", "a_folder" })
    {
        SCOPED_TRACE (std::string ("model_path \"") + text + "\"");
        LoadingFlagRecorder flag (*processor);
        const auto logBefore = readLogFile();
        processor->loading = true;
        processor->fadeState = 1;

        setModelPath (*processor, text);
        ASSERT_TRUE (waitForLoadingIdle (*processor));

        EXPECT_FALSE (processor->loading.load());
        EXPECT_EQ (processor->fadeState.load(), 2);
        EXPECT_TRUE (flag.values().empty());
        EXPECT_EQ (readLogFile(), logBefore);
        EXPECT_TRUE (processor->model->loaded.load());
        EXPECT_EQ (loadedModuleObject (*processor), module);
        EXPECT_EQ (parameterValues (*processor), parametersBefore);
        EXPECT_TRUE (dismissAlertWindows().isEmpty());
    }
}

TEST_F (ModelLoading, PathToSomethingOtherThanARegularFileIsRefusedAtOnce)
{
    // Each would block the read for ever (a FIFO with no writer), never end (a device), or cannot
    // be read at all (a socket). A folder stays silent, like a missing file (see above).
    // A socket's own path has to be short; the models folder names it through a link.
    int listening = -1;
    const auto socketFile = juce::File ("/tmp").getNonexistentChildFile ("calbrix-socket", "");
    const auto makeSocket = [&listening, socketFile] (const juce::File& file)
    {
        listening = ::socket (AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::strncpy (address.sun_path, socketFile.getFullPathName().toRawUTF8(), sizeof (address.sun_path) - 1);
        return ::bind (listening, reinterpret_cast<sockaddr*> (&address), sizeof (address)) == 0
               && socketFile.createSymbolicLink (file, true);
    };

    struct Case { const char* name; std::function<bool (const juce::File&)> make; const char* reason; };
    const Case cases[] = {
        { "fifo.pt", [] (const juce::File& f) { return ::mkfifo (f.getFullPathName().toRawUTF8(), 0600) == 0; },
          "not a regular file (a FIFO)" },
        { "device.pt", [] (const juce::File& f) { return juce::File ("/dev/zero").createSymbolicLink (f, true); },
          "not a regular file (a character device)" },
        { "socket.pt", makeSocket, "the file could not be opened" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        startFresh();
        pickModel ("identity.pt");
        ASSERT_TRUE (processor->model->loaded.load());
        const auto file = CalbrixAudioProcessor::modelFileFor (c.name);
        ASSERT_TRUE (c.make (file));
        LoadingFlagRecorder flag (*processor);
        const auto logBefore = readLogFile();

        setModelPath (*processor, c.name);
        ASSERT_TRUE (waitForLoadingIdle (*processor));

        const auto text = "error loading the model\n" + file.getFullPathName() + "\n" + c.reason;
        const auto alerts = dismissAlertWindows();
        ASSERT_EQ (alerts.size(), 1);
        EXPECT_TRUE (alerts[0].startsWith ("Error: Model Loading Failed. " + text)) << alerts[0];
        EXPECT_TRUE (readLogFile().substring (logBefore.length()).startsWith (text));
        EXPECT_EQ (flag.values(), (std::vector<juce::var> { true, false }));
        EXPECT_FALSE (processor->model->loaded.load());
        EXPECT_FALSE (processor->loading.load());
    }

    if (listening >= 0)
        ::close (listening);
    socketFile.deleteFile();
}

TEST_F (ModelLoading, TreeWithoutAModelPathNamesAFileCalledUndefined)
{
    auto& state = processor->parameters.state;
    state.removeChild (state.getChildWithProperty ("id", "model_path"), nullptr);
    LoadingFlagRecorder flag (*processor);

    // The missing value reads as undefined, without being created (the tree keeps its children);
    // no file of that name: nothing is loaded.
    announceLoadRequest (*processor);
    ASSERT_TRUE (waitForLoadingIdle (*processor));
    EXPECT_EQ (state.getNumChildren(), 14);
    EXPECT_EQ (flag.loadsStarted(), 0);
    EXPECT_FALSE (processor->model->loaded.load());

    ASSERT_TRUE (fixtureModel ("identity.pt").copyFileTo (CalbrixAudioProcessor::modelFileFor ("undefined")));
    announceLoadRequest (*processor);
    ASSERT_TRUE (waitForLoadingIdle (*processor));
    EXPECT_EQ (flag.loadsStarted(), 1);
    EXPECT_TRUE (processor->model->loaded.load());
    EXPECT_EQ (state.getNumChildren(), 14);
}

TEST_F (ModelLoading, FileThatCannotBeLoadedIsReportedAndNoModelRunsAfterwards)
{
    // The runtime's own error for a file that is no archive, the script compiler's error (another
    // exception type) for an archive whose code does not parse, and an archive that crashes the
    // runtime's loader outright (only the checking process goes down).
    for (const auto* broken : { "not_torchscript.pt", "unparsable_code.pt", "crashes_loader.pt" })
    {
        SCOPED_TRACE (broken);
        startFresh();
        prepare (*processor, 48000.0, blockSize);
        pickModel ("counting_delays.pt");
        ASSERT_TRUE (processor->model->loaded.load());
        setUserParameterValues (*processor);

        // The model runs on the worker (beyond the calls of its warm-up).
        const auto warmUpCalls = forwardCalls (*processor);
        const auto deadline = juce::Time::getMillisecondCounter() + waits::workerAnswerMs;
        while (forwardCalls (*processor) == warmUpCalls && juce::Time::getMillisecondCounter() < deadline)
            playOneBlockThroughTheWorker (*processor);
        ASSERT_GT (forwardCalls (*processor), warmUpCalls);

        const auto* module = loadedModuleObject (*processor);
        const auto parametersBefore = parameterValues (*processor);
        const auto logBefore = readLogFile();
        LoadingFlagRecorder flag (*processor);

        pickModel (broken, "broken.pt");

        const auto fullPath = CalbrixAudioProcessor::modelFileFor ("broken.pt").getFullPathName();
        const auto alerts = dismissAlertWindows();
        ASSERT_EQ (alerts.size(), 1);
        EXPECT_TRUE (alerts[0].startsWith ("Error: Model Loading Failed. error loading the model\n" + fullPath + "\n")) << alerts[0];
        if (juce::String (broken) == "crashes_loader.pt")
        {
            EXPECT_TRUE (alerts[0].contains ("crashed the model runtime")) << alerts[0];
        }

        // The whole text, as one message (the box shows at most its first 2048 characters).
        const auto logged = readLogFile().substring (logBefore.length());
        EXPECT_TRUE (logged.startsWith ("error loading the model\n" + fullPath + "\n")) << logged;
        EXPECT_TRUE (logged.endsWith ("\r\n"));
        EXPECT_TRUE (logged.startsWith (alerts[0].fromFirstOccurrenceOf (". ", false, false)));

        EXPECT_EQ (flag.values(), (std::vector<juce::var> { true, false }));
        EXPECT_FALSE (processor->model->loaded.load());
        EXPECT_FALSE (processor->loading.load());
        EXPECT_EQ (processor->fadeState.load(), 2);
        EXPECT_EQ (loadedModuleObject (*processor), module);
        EXPECT_EQ (processor->bufferingDelay.load(), 1024);
        EXPECT_EQ (processor->modelDelay.load(), 100);
        EXPECT_EQ (processor->getLatencySamples(), 1124);
        EXPECT_EQ (parameterValues (*processor), parametersBefore);

        // The worker goes on taking blocks but gives none of them to the model.
        const auto callsAfterFailure = forwardCalls (*processor);
        for (int block = 0; block < 20; ++block)
            ASSERT_TRUE (playOneBlockThroughTheWorker (*processor));
        EXPECT_EQ (forwardCalls (*processor), callsAfterFailure);
    }
}

TEST_F (ModelLoading, DefaultsThatCannotBeReadLeaveTheParametersAndAreLogged)
{
    constexpr float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case
    {
        const char* fixture;
        std::vector<float> wrapperDefaults;   // p1..p4, dry, wet, input gain, output gain
        const char* logged;                   // after "error calling get_default_param_values \n"
    };
    const Case cases[] = {
        // Every read comes before any value is kept: a missing method or a wrong type keeps none.
        { "no_output_gain_default.pt", { 0, 0, 0, 0, 0, 0, 0, 0 }, "get_output_gain_default_value" },
        { "int_wet_default.pt", { 0, 0, 0, 0, 0, 0, 0, 0 }, "" },
        // The first three elements are kept before the fourth is found missing.
        { "three_defaults.pt", { 0.1f, 0.2f, 0.3f, 0, 0, 0, 0, 0 }, "" },
        // All read, but a NaN never reaches a parameter.
        { "nan_default.pt", { 0.5f, 0.5f, 0.5f, 0.5f, 0.0f, nan, 0.5f, 0.5f }, "non-finite default for wet_gain" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.fixture);
        startFresh();
        setUserParameterValues (*processor);
        const auto parametersBefore = parameterValues (*processor);
        // Stand-ins that the load's delay report must replace.
        processor->bufferingDelay = 7;
        processor->modelDelay = 9;
        processor->setLatencySamples (16);
        const auto logBefore = readLogFile();
        LoadingFlagRecorder flag (*processor);

        pickModel (c.fixture);

        EXPECT_TRUE (processor->model->loaded.load());
        EXPECT_EQ (flag.values(), (std::vector<juce::var> { true, false }));
        EXPECT_EQ (processor->getLatencySamples(), 0);
        EXPECT_EQ (processor->bufferingDelay.load() + processor->modelDelay.load(), 0);
        EXPECT_EQ (parameterValues (*processor), parametersBefore);

        const auto kept = wrapperDefaults (*processor->model);
        for (size_t i = 0; i < kept.size(); ++i)
        {
            if (std::isnan (c.wrapperDefaults[i]))
                EXPECT_TRUE (std::isnan (kept[i])) << i;
            else
                EXPECT_FLOAT_EQ (kept[i], c.wrapperDefaults[i]) << i;
        }

        // The load's and the preparation's empty messages, then the failed read.
        const auto logged = readLogFile().substring (logBefore.length());
        EXPECT_TRUE (logged.startsWith ("\r\n\r\nerror calling get_default_param_values \n")) << logged;
        EXPECT_TRUE (logged.contains (c.logged)) << logged;
        EXPECT_TRUE (dismissAlertWindows().isEmpty());
    }
}

TEST_F (ModelLoading, RestoredStateKeepsItsParametersWhileItsModelLoads)
{
    const auto name = juce::String ("defaults.pt");
    ASSERT_TRUE (fixtureModel (name).copyFileTo (CalbrixAudioProcessor::modelFileFor (name)));

    juce::MemoryBlock saved;
    std::vector<float> savedParameters;
    {
        CalbrixAudioProcessor original;
        setModelPath (original, name);
        ASSERT_TRUE (waitForLoadingIdle (original));
        setUserParameterValues (original);
        savedParameters = parameterValues (original);
        saved = saveState (original);
    }

    LoadingFlagRecorder flag (*processor);
    restoreState (*processor, saved);
    ASSERT_TRUE (waitForLoadingIdle (*processor));

    EXPECT_EQ (flag.loadsStarted(), 1);
    EXPECT_TRUE (processor->model->loaded.load());
    for (size_t i = 0; i < savedParameters.size(); ++i)
        EXPECT_NEAR (parameterValues (*processor)[i], savedParameters[i], 1.0e-4f) << i;
    // The defaults are not even read.
    EXPECT_EQ (wrapperDefaults (*processor->model), std::vector<float> (8, 0.0f));
}

TEST_F (ModelLoading, FailingCallsOfALoadedModelDoNotFailTheLoad)
{
    // A model's own `raise` is not one of the runtime's errors; each such failure is that call's
    // failure, as the runtime's would be, not a failed load.
    struct Case { const char* fixture; std::vector<const char*> logged; };
    const Case cases[] = {
        { "raises_in_forward.pt", {} },   // fails its warm-up
        { "raising_methods.pt", { "error setting sr and buffer size of the model\n", "set_daw_sample_rate_and_buffer_size always fails",
                                  "error calling get_default_param_values \n", "the dry default fails" } },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.fixture);
        startFresh();
        prepare (*processor, 48000.0, blockSize);
        setUserParameterValues (*processor);
        const auto parametersBefore = parameterValues (*processor);
        processor->setLatencySamples (16);
        const auto logBefore = readLogFile();
        LoadingFlagRecorder flag (*processor);

        pickModel (c.fixture);

        EXPECT_TRUE (processor->model->loaded.load());
        EXPECT_EQ (flag.values(), (std::vector<juce::var> { true, false }));
        EXPECT_TRUE (dismissAlertWindows().isEmpty());
        EXPECT_EQ (processor->getLatencySamples(), 0);
        const auto logged = readLogFile().substring (logBefore.length());
        EXPECT_FALSE (logged.contains ("error loading the model")) << logged;
        for (const auto* text : c.logged)
            EXPECT_TRUE (logged.contains (text)) << text;
        if (! c.logged.empty())
        {
            EXPECT_EQ (parameterValues (*processor), parametersBefore);
        }
    }
}
