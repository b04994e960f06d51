// How state-tree events become load jobs, and how jobs follow one another on the loading worker:
// which changes request a load, where the path points, requests that overlap a load, the fade-out
// wait before a load, and a load still running when the processor goes.
#include "LoadTestSupport.h"

#include "StateTreeWriter.h"

#include <gtest/gtest.h>

#include <thread>

using namespace calbrix_test;

namespace
{
    juce::ValueTree childWithId (CalbrixAudioProcessor& processor, const juce::String& id)
    {
        return processor.parameters.state.getChildWithProperty ("id", id);
    }

    class ModelLoadRequests : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            dataDirectory().deleteRecursively();
            processor = std::make_unique<CalbrixAudioProcessor>();
        }

        std::unique_ptr<CalbrixAudioProcessor> processor;
    };
} // namespace

TEST_F (ModelLoadRequests, OnlyModelPathChangesAndAnnouncedRequestsLoad)
{
    installFixture ("identity.pt");
    installFixture ("delays.pt");
    setModelPath (*processor, "identity.pt");
    ASSERT_TRUE (waitForLoadingIdle (*processor));

    auto& state = processor->parameters.state;
    struct Case { const char* what; std::function<void()> change; bool requestsLoad; };
    const Case cases[] = {
        { "a new model path", [&] { setModelPath (*processor, "delays.pt"); }, true },
        { "the same model path again", [&] { setModelPath (*processor, "delays.pt"); }, false },
        { "another property of the model path", [&] { childWithId (*processor, "model_path").setProperty ("note", 1, nullptr); }, true },
        { "announced on the tree", [&] { announceLoadRequest (*processor); }, true },
        { "announced on a parameter's child", [&] { childWithId (*processor, "p3").sendPropertyChangeMessage (ID_SETSTATE_REQUEST); }, true },
        { "empty identifier announced on the model path", [&] { childWithId (*processor, "model_path").sendPropertyChangeMessage ({}); }, false },
        { "a parameter's value", [&] { childWithId (*processor, "p1").setProperty ("value", 0.9, nullptr); }, false },
        { "another custom value", [&] { processor->parameters.setCustomParamValue ("model_id", 7, ParameterManager::PARAMX); }, false },
        { "the loading flag", [&] { processor->parameters.setCustomParamValue ("is_model_loading", "x", ParameterManager::PARAMX); }, false },
        { "a property of the tree itself", [&] { state.setProperty ("model_path", "identity.pt", nullptr); }, false },
        { "a parameter moved by the host", [&]
          {
              processor->parameters.getParameter ("p2")->setValueNotifyingHost (0.1f);
              processor->parameters.copyState(); // brings the value into the tree at once
          }, false },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        LoadingFlagRecorder flag (*processor);
        c.change();
        ASSERT_TRUE (waitForLoadingIdle (*processor));
        EXPECT_EQ (flag.loadsStarted(), c.requestsLoad ? 1 : 0);
    }
}

TEST_F (ModelLoadRequests, ModelPathIsJoinedUnderTheModelsFolderAsItStands)
{
    struct Case { const char* modelPath; const char* fileUnderDataDirectory; };
    const Case cases[] = {
        { "nested/folder/model.pt", "models/nested/folder/model.pt" },
        { "../beside_the_models_folder.pt", "beside_the_models_folder.pt" },
        { "name with spaces & ümlauts.pt", "models/name with spaces & ümlauts.pt" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.modelPath);
        const auto file = dataDirectory().getChildFile (juce::String::fromUTF8 (c.fileUnderDataDirectory));
        ASSERT_TRUE (file.getParentDirectory().createDirectory());
        ASSERT_TRUE (fixtureModel ("identity.pt").copyFileTo (file));
        processor->model->loaded = false;

        setModelPath (*processor, juce::String::fromUTF8 (c.modelPath));
        ASSERT_TRUE (waitForLoadingIdle (*processor));
        EXPECT_TRUE (processor->model->loaded.load());
    }
}

TEST_F (ModelLoadRequests, RequestWhileALoadRunsReturnsAfterAboutATenthOfASecond)
{
    installFixture ("delays.pt");
    installFixture ("identity.pt");
    LoadingFlagRecorder flag (*processor);
    LatencyChangeHold hold (*processor);

    setModelPath (*processor, "delays.pt");
    ASSERT_TRUE (hold.waitUntilHeld());

    const auto start = juce::Time::getMillisecondCounterHiRes();
    setModelPath (*processor, "identity.pt");
    const auto elapsed = juce::Time::getMillisecondCounterHiRes() - start;

    // It waited for the running load, gave up and queued the new one while that load still runs.
    EXPECT_GT (elapsed, 50.0);
    EXPECT_LT (elapsed, 5000.0);
    EXPECT_EQ (processor->loadingPool->getNumJobs(), 2);
    EXPECT_EQ (flag.values(), (std::vector<juce::var> { true }));

    hold.release();
    ASSERT_TRUE (waitForLoadingIdle (*processor));

    // The running load finished first, then the new one ran.
    EXPECT_EQ (flag.values(), (std::vector<juce::var> { true, false, true, false }));
    EXPECT_TRUE (processor->model->loaded.load());
    EXPECT_EQ (processor->getLatencySamples(), 0);
}

TEST_F (ModelLoadRequests, PageRequestsWhileTheFirstLoadRunsLoadTheModelTwice)
{
    installFixture ("defaults.pt");
    processor->setLatencySamples (1); // so that the first load reports a new latency and is held
    LoadingFlagRecorder flag (*processor);
    LatencyChangeHold hold (*processor);

    // Each load that gives the defaults tells the parameter's listeners, on the message thread.
    struct DefaultsCounter : juce::AudioProcessorParameter::Listener
    {
        int count = 0;
        void parameterValueChanged (int, float) override { ++count; }
        void parameterGestureChanged (int, bool) override {}
    } defaultsApplied;
    auto* p1 = processor->parameters.getParameter ("p1");
    p1->addListener (&defaultsApplied);

    setModelPath (*processor, "defaults.pt");
    ASSERT_TRUE (hold.waitUntilHeld());
    announceLoadRequest (*processor);
    hold.release();
    ASSERT_TRUE (waitForLoadingIdle (*processor));
    p1->removeListener (&defaultsApplied);

    // The first load was past its fade-out and ran on; asked to stop, it made no further model
    // calls, so only the second load read and gave the defaults.
    EXPECT_EQ (flag.values(), (std::vector<juce::var> { true, false, true, false }));
    EXPECT_EQ (defaultsApplied.count, 1);
    EXPECT_NEAR (parameterValue (*processor, "p1"), 0.1f, 1.0e-5f);
}

TEST_F (ModelLoadRequests, PageRequestsWhileTheWorkerIsBusyLoadTheModelOnce)
{
    installFixture ("defaults.pt");
    LoadingFlagRecorder flag (*processor);
    PoolBlocker blocker;
    processor->loadingPool->addJob (&blocker, false);
    ASSERT_TRUE (blocker.started.wait (waits::poolJobStartsMs));

    // The second request removes the first job, which has not started.
    setModelPath (*processor, "defaults.pt");
    announceLoadRequest (*processor);
    EXPECT_EQ (processor->loadingPool->getNumJobs(), 2);

    blocker.release.signal();
    ASSERT_TRUE (waitForLoadingIdle (*processor));

    EXPECT_EQ (flag.values(), (std::vector<juce::var> { true, false }));
    EXPECT_NEAR (parameterValue (*processor, "p1"), 0.1f, 1.0e-5f);
}

TEST_F (ModelLoadRequests, RestoreMadeWhileAPageLoadRunsKeepsTheRestoredParameters)
{
    installFixture ("defaults.pt");
    juce::MemoryBlock saved;
    {
        CalbrixAudioProcessor original;
        setModelPath (original, "defaults.pt");
        ASSERT_TRUE (waitForLoadingIdle (original));
        setParameter (original, "p1", 0.77f);
        setParameter (original, "dry_gain", 0.66f);
        saved = saveState (original);
    }

    // The restore comes while the page's load is held before it reads the defaults, or after it
    // has read them but before they reached the tree (the message thread has not run since).
    struct Case { const char* moment; bool holdBeforeDefaults; };
    const Case cases[] = { { "held before its defaults", true }, { "defaults on their way", false } };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.moment);
        processor = std::make_unique<CalbrixAudioProcessor>();
        processor->setLatencySamples (1); // the page's load then reports a new latency
        LatencyChangeHold hold (*processor);
        if (! c.holdBeforeDefaults)
            hold.release();

        setModelPath (*processor, "defaults.pt");
        if (c.holdBeforeDefaults)
        {
            ASSERT_TRUE (hold.waitUntilHeld());
        }
        else
        {
            const auto deadline = juce::Time::getMillisecondCounter() + waits::modelLoadMs;
            while (processor->loadingPool->getNumJobs() > 0 && juce::Time::getMillisecondCounter() < deadline)
                juce::Thread::sleep (1);
            ASSERT_TRUE (processor->treeWriter->hasPendingWrites());
        }

        restoreState (*processor, saved);
        hold.release();
        ASSERT_TRUE (waitForLoadingIdle (*processor));

        EXPECT_TRUE (processor->model->loaded.load());
        EXPECT_NEAR (parameterValue (*processor, "p1"), 0.77f, 1.0e-5f);
        EXPECT_NEAR (parameterValue (*processor, "dry_gain"), 0.66f, 1.0e-5f);
        EXPECT_NEAR (parameterValue (*processor, "p2"), 0.2f, 1.0e-5f); // the original's own defaults
    }
}

// ---- The fade-out wait before a load ------------------------------------------------------------

TEST_F (ModelLoadRequests, FirstLoadAfterConstructionDoesNotWaitForAFade)
{
    // The restore at start-up: nothing has been processed yet, so the output is already muted.
    juce::MemoryBlock saved;
    {
        CalbrixAudioProcessor original;
        setModelPath (original, "delays.pt"); // not there yet: nothing loads
        ASSERT_TRUE (waitForLoadingIdle (original));
        saved = saveState (original);
    }
    installFixture ("delays.pt");

    ASSERT_TRUE (processor->muted.load());
    processor->fadeOutChecksOfLastLoad = -1;
    restoreState (*processor, saved);
    ASSERT_TRUE (waitForLoadingIdle (*processor));
    ASSERT_EQ (processor->getLatencySamples(), 1124);

    EXPECT_EQ (processor->fadeOutChecksOfLastLoad.load(), 0);
}

TEST_F (ModelLoadRequests, UnmutedOutputIsWaitedForTwoHundredTimesBeforeTheFileIsRead)
{
    // No audio runs, so nothing will mute the output: the job makes all its checks.
    installFixture ("delays.pt");
    processor->muted = false;

    setModelPath (*processor, "delays.pt");
    ASSERT_TRUE (waitForLoadingIdle (*processor));
    ASSERT_EQ (processor->getLatencySamples(), 1124);

    EXPECT_EQ (processor->fadeOutChecksOfLastLoad.load(), 200);
    EXPECT_EQ (processor->fadeState.load(), 2);
}

// ---- A load still running when the processor goes ------------------------------------------------

TEST_F (ModelLoadRequests, DestroyingTheProcessorEndsARunningLoadBeforeItGoes)
{
    // The defaults of this model cannot be read, which the job would log after the point where it
    // is held.
    installFixture ("no_output_gain_default.pt");
    processor->setLatencySamples (1);
    auto hold = std::make_unique<LatencyChangeHold> (*processor);

    // A handle of our own on the state tree outlives the processor and still hears its changes.
    struct FlagWatch : juce::ValueTree::Listener
    {
        juce::Array<juce::var> values;
        juce::CriticalSection lock;
        void valueTreePropertyChanged (juce::ValueTree& tree, const juce::Identifier&) override
        {
            if (tree.getProperty ("id") == "is_model_loading")
            {
                const juce::ScopedLock hold (lock);
                values.add (tree.getProperty ("value"));
            }
        }
    } watch;
    juce::ValueTree stateHandle = processor->parameters.state;
    stateHandle.addListener (&watch);

    setModelPath (*processor, "no_output_gain_default.pt");
    ASSERT_TRUE (hold->waitUntilHeld());

    // Let the load go on once teardown has begun.
    juce::WaitableEvent destroying;
    std::thread releaser ([&]
    {
        destroying.wait (10000);
        juce::Thread::sleep (300);
        hold->release();
    });

    hold->detach();
    destroying.signal();
    processor.reset();
    releaser.join();
    stateHandle.removeListener (&watch);

    // The job ended while the processor, its tree and its logger were still there, and its last
    // write of the tree was made before they went. Asked to stop, it made no further model call.
    EXPECT_EQ (watch.values, (juce::Array<juce::var> { true, false }));
    EXPECT_FALSE (readLogFile().contains ("error calling get_default_param_values"));
}
