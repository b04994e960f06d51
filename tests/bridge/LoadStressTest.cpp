// Model loads amid everything else that writes the state tree: the page's model picks and parameter
// changes, the host's saves and restores, the framework's parameter copies, the page's state
// mirror, and audio running all along by the clock. Nothing heard is ever non-finite, and no late
// block is heard; afterwards the last model plays, judged block by block at the worker's pace.
// Short by default; CALBRIX_STRESS_LOADS sets how many loads are requested (1000 for a long run).
#include "BridgeTestSupport.h"
#include "DrivenAudioDevice.h"
#include "HeardAudio.h"
#include "LoadTestSupport.h"
#include "StateTreeWriter.h"
#include "TestWaits.h"

#include <cstdlib>

using namespace calbrix_bridge_test;
using namespace calbrix_test;
using Pace = DrivenAudioDevice::Pace;

namespace
{
    int loadsToRequest()
    {
        const char* configured = std::getenv ("CALBRIX_STRESS_LOADS");
        return configured != nullptr ? juce::jmax (1, std::atoi (configured)) : 150;
    }

    juce::var request (std::initializer_list<std::pair<const char*, juce::var>> fields)
    {
        juce::DynamicObject::Ptr object (new juce::DynamicObject());
        for (const auto& [key, value] : fields)
            object->setProperty (key, value);
        return juce::var (object.get());
    }
} // namespace

TEST (LoadStress, LoadsAmidPageEventsRestoresAndSavesLeaveAWorkingProcessor)
{
    dataDirectory().deleteRecursively();
    CalbrixAudioProcessor processor;
    prepare (processor, 48000.0, 512);
    const juce::String models[] = { installFixture ("identity.pt"), installFixture ("gain2.pt") };

    BrowserComponent browser { "127.0.0.1", "", {} };
    auto plugin = std::make_unique<RecordedClient> (browser, processor.parameters, dataDirectory().getFullPathName());
    plugin->router.pageReady = true; // the state mirror sends everything it sees

    DrivenAudioDevice device (processor, 48000.0, 512);
    device.start (Pace::clock);

    juce::Random random (20261210);
    auto saved = saveState (processor);
    const juce::String parameterIds[] = { "p1", "p2", "p3", "p4", "dry_gain", "wet_gain" };
    const int loads = loadsToRequest();

    for (int load = 0; load < loads; ++load)
    {
        plugin->fromPage ("model_path", request ({ { "path", models[load % 2] }, { "uid", load } }));

        // Until the next pick, which comes sometimes while this load still runs, sometimes later:
        // a parameter from the page every millisecond, now and then a save or a restore.
        const auto nextPick = juce::Time::getMillisecondCounterHiRes() + random.nextInt ({ 2, 80 });
        while (juce::Time::getMillisecondCounterHiRes() < nextPick)
        {
            plugin->fromPage ("setParameter", request ({ { "id", parameterIds[random.nextInt (6)] }, { "value", random.nextFloat() } }));
            if (random.nextInt (40) == 0)
                saved = saveState (processor);
            if (random.nextInt (150) == 0)
                restoreState (processor, saved);
            pumpMessagesFor (1);
        }
        plugin->router.sent.clear();
    }

    // The page goes (as when the editor closes) while a load runs, and comes back.
    plugin->fromPage ("model_path", request ({ { "path", models[0] }, { "uid", "closing" } }));
    plugin.reset();
    plugin = std::make_unique<RecordedClient> (browser, processor.parameters, dataDirectory().getFullPathName());

    plugin->fromPage ("model_path", request ({ { "path", models[1] }, { "uid", "last" } }));
    ASSERT_TRUE (waitForLoadingIdle (processor, waits::modelLoadMs));
    device.stop();
    EXPECT_EQ (processor.parameters.findCustomParamValue ("is_model_loading"), juce::var (false));
    EXPECT_TRUE (processor.model->loaded.load());
    EXPECT_EQ (processor.parameters.state.getNumChildren(), 15);
    EXPECT_EQ (device.nonFiniteSamples(), 0);
    EXPECT_EQ (device.lateBlocksHeard(), 0);

    // The last model (gain2.pt) plays from empty paths, once it has faded in: twice the tone, plus
    // half of it dry.
    setParameter (processor, "wet_gain", 1.0f);
    setParameter (processor, "dry_gain", 0.5f);
    ASSERT_TRUE (device.playUntil ([&] { return ! processor.muted.load() && ! processor.fadeSmoother.isSmoothing(); },
                                   Pace::workerAnswers, waits::modelLoadMs));
    ASSERT_TRUE (resetQueuesAndWait (processor, waits::queueResetMs));
    constexpr int blocks = 100;
    device.startTake (blocks);
    ASSERT_TRUE (device.play (blocks, Pace::workerAnswers));
    EXPECT_TRUE (heardAsExpected (device, { wet::twiceItsInput, 0, noBlockSilentButAtMost (1) }));
    EXPECT_EQ (device.nonFiniteSamples(), 0);
    EXPECT_EQ (device.lateBlocksHeard(), 0);
}
