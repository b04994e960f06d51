// A good model at the edge: a large file whose load takes seconds. It loads to its end, a model
// picked while it loads plays after it, and nothing is taken for stuck or left behind.
#include "CalbrixModel.h"

#include "AbandonedWork.h"
#include "DrivenAudioDevice.h"
#include "HeardAudio.h"
#include "ModelSnapshot.h"
#include "StateTreeWriter.h"
#include "TestWaits.h"

#include <gtest/gtest.h>

using namespace calbrix_test;
using Pace = DrivenAudioDevice::Pace;

namespace
{
    constexpr double sampleRate = 48000.0;
    constexpr int blockSize = 512;
    constexpr int blocksPerSecond = static_cast<int> (sampleRate) / blockSize;

    // Large enough that reading it takes seconds, small enough for a CI machine's disk and memory
    // (the file, its private copy, the check's read and the loaded module: about 2 GiB at most).
    constexpr int64_t largeModelMegabytes = 512;

    // A pass-through model that follows the contract, holding `megabytes` of weights.
    void writeLargePassThroughModel (const juce::File& file, int64_t megabytes)
    {
        torch::jit::Module module ("LargePassThrough");
        module.register_attribute ("weights", c10::TensorType::get(), torch::zeros ({ megabytes * 1024 * 1024 / 4 }));
        module.define (R"(
def forward_bt(self, x: Tensor, p: Tensor) -> Optional[Tensor]:
    return x

def reset(self) -> int:
    return 0

def set_daw_sample_rate_and_buffer_size(self, sample_rate: int, block_size: int) -> int:
    return 0

def calc_model_delay_samples(self) -> int:
    return 0

def calc_buffering_delay_samples(self) -> int:
    return 0
)");
        file.getParentDirectory().createDirectory();
        module.save (file.getFullPathName().toStdString());
    }

    void pick (CalbrixAudioProcessor& processor, const juce::String& name)
    {
        processor.updateEngine (CalbrixAudioProcessor::modelFileFor (name).getFullPathName().toStdString(), true);
    }

    bool loadSettled (CalbrixAudioProcessor& processor)
    {
        return processor.loadingPool->getNumJobs() == 0 && ! processor.treeWriter->hasPendingWrites()
               && ! processor.resetRequested.load() && ! processor.loading.load();
    }
} // namespace

TEST (LargeModelLoad, ModelWhoseLoadTakesSecondsLoadsAndAModelPickedMeanwhilePlaysAfterIt)
{
    CapturedStandardError quiet;
    dataDirectory().deleteRecursively();
    const auto largeFile = CalbrixAudioProcessor::modelFileFor ("large_pass_through.pt");
    writeLargePassThroughModel (largeFile, largeModelMegabytes);
    ASSERT_LT (largeFile.getSize(), static_cast<juce::int64> (ModelSnapshot::largestFileSize()))
        << "this machine has too little memory free for the test";
    installFixture ("gain2.pt");

    auto processor = std::make_unique<CalbrixAudioProcessor>();
    prepare (*processor, sampleRate, blockSize);
    setParameter (*processor, "dry_gain", 0.5f);
    const auto logBefore = readLogFile();

    {
        DrivenAudioDevice device (*processor, sampleRate, blockSize);

        // The large model alone: it loads and passes its input through.
        pick (*processor, "large_pass_through.pt");
        ASSERT_TRUE (device.playUntil ([&] { return loadSettled (*processor); }, Pace::clock, waits::largeModelLoadMs));
        ASSERT_TRUE (processor->model->loaded.load());
        ASSERT_TRUE (resetQueuesAndWait (*processor, waits::queueResetMs));
        device.startTake (blocksPerSecond);
        EXPECT_TRUE (device.play (blocksPerSecond, Pace::workerAnswers));
        EXPECT_TRUE (heardAsExpected (device, { wet::itsInput, 0, noBlockSilentButAtMost (1) }));

        // Picked again, and while it is being read another model is picked: that one waits for
        // the read to end, then loads and plays.
        pick (*processor, "large_pass_through.pt");
        ASSERT_TRUE (device.playUntil ([&] { return processor->loading.load(); }, Pace::clock, waits::largeModelLoadMs));
        pick (*processor, "gain2.pt");
        ASSERT_TRUE (device.playUntil ([&] { return loadSettled (*processor); }, Pace::clock, 2 * waits::largeModelLoadMs));
        ASSERT_TRUE (processor->model->loaded.load());
        ASSERT_TRUE (resetQueuesAndWait (*processor, waits::queueResetMs));
        device.startTake (blocksPerSecond);
        EXPECT_TRUE (device.play (blocksPerSecond, Pace::workerAnswers));
        EXPECT_TRUE (heardAsExpected (device, { wet::twiceItsInput, 0, noBlockSilentButAtMost (1) }));
        EXPECT_EQ (device.nonFiniteSamples(), 0);
    }

    // Nothing was taken for stuck, and every load succeeded.
    EXPECT_FALSE (AbandonedWork::anyKept());
    const auto log = readLogFile().substring (logBefore.length());
    EXPECT_FALSE (log.contains ("did not come back")) << log;
    EXPECT_FALSE (log.contains ("error loading the model")) << log;
    EXPECT_TRUE (dismissAlertWindows().isEmpty());

    processor.reset();
    EXPECT_FALSE (AbandonedWork::anyKept());
    largeFile.deleteFile();
}
