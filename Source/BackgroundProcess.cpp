#include "BackgroundProcess.h"

#include "CalbrixModel.h"

#include "WorkerTether.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <iostream>
#include <pthread.h>
#include <thread>

#if JUCE_LINUX
 #include <sys/prctl.h>
#endif

namespace
{
    std::vector<float*> rowPointers (const at::Tensor& tensor, size_t rows)
    {
        std::vector<float*> pointers (rows);
        for (size_t row = 0; row < rows; ++row)
            pointers[row] = tensor.select (0, static_cast<int64_t> (row)).contiguous().data_ptr<float>();
        return pointers;
    }

    long long threadCpuNanoseconds() noexcept
    {
        timespec now {};
        clock_gettime (CLOCK_THREAD_CPUTIME_ID, &now);
        return static_cast<long long> (now.tv_sec) * 1000000000LL + now.tv_nsec;
    }

    long long steadyNanoseconds() noexcept
    {
        return std::chrono::duration_cast<std::chrono::nanoseconds> (std::chrono::steady_clock::now().time_since_epoch()).count();
    }

    // Adds the CPU and wall time of one model call to the installed profile; nothing when there is none.
    class ModelCallTimer
    {
    public:
        explicit ModelCallTimer (BackgroundProcess::Profile* p) noexcept
            : profile (p),
              cpuStart (p != nullptr ? threadCpuNanoseconds() : 0),
              wallStart (p != nullptr ? steadyNanoseconds() : 0)
        {
        }

        void stop() const noexcept
        {
            if (profile == nullptr)
                return;
            const auto wall = steadyNanoseconds() - wallStart;
            profile->modelCallCpuNanoseconds += threadCpuNanoseconds() - cpuStart;
            profile->modelCallWallNanoseconds += wall;
            if (wall > profile->longestModelCallWallNanoseconds)
                profile->longestModelCallWallNanoseconds = wall;
            ++profile->modelCalls;
        }

    private:
        BackgroundProcess::Profile* profile;
        long long cpuStart, wallStart;
    };

    void reportRunFailure (const std::string& description)
    {
        std::cerr << description << "\n" << "error running the model\n";
    }
} // namespace

std::atomic<BackgroundProcess::Profile*> BackgroundProcess::profile { nullptr };

BackgroundProcess::BackgroundProcess (CalbrixAudioProcessor& p,
                                      SampleQueues& inputs,
                                      SampleQueues& outputs,
                                      SampleQueues& params,
                                      double rate,
                                      int B)
    : juce::ThreadPoolJob ("BackgroundProcessThread"),
      processor (p),
      inputQueues (inputs),
      outputQueues (outputs),
      paramQueues (params),
      outputTensor (torch::zeros ({ 2, juce::jmax (0, B) })),
      blockSize (juce::jmax (0, B)),
      sampleRate (rate),
      tether (p.inferenceTether),
      finiteRow (static_cast<size_t> (juce::jmax (0, B)))
{
    modelInputs.clear();
    modelInputs.emplace_back (torch::zeros ({ 2, blockSize }));
    modelInputs.emplace_back (torch::zeros ({ 4, blockSize }));

    audioWritePointers = rowPointers (modelInputs[0].toTensor(), inputQueues.size());
    paramWritePointers = rowPointers (modelInputs[1].toTensor(), paramQueues.size());

    const double sleep = rate > 0.0 ? blockSize / rate * 0.1 * 1000000.0 : 0.0;
    idleSleepMicroseconds = static_cast<int> (juce::jlimit (0.0, 1000000.0, sleep));
}

BackgroundProcess::~BackgroundProcess() = default;

juce::ThreadPoolJob::JobStatus BackgroundProcess::runJob()
{
    if (shouldExit())
        return jobNeedsRunningAgain;

   #if JUCE_LINUX
    // The default timer slack lets each poll oversleep by up to 50 us: a fair part of a short
    // block's budget, spent before the model even starts.
    prctl (PR_SET_TIMERSLACK, 1UL);
   #endif

    if (auto* p = profile.load (std::memory_order_relaxed))
    {
        clockid_t clock {};
        if (pthread_getcpuclockid (pthread_self(), &clock) == 0)
        {
            p->workerClock = clock;
            p->hasWorkerClock = true;
        }
    }

    try
    {
        const WorkerTether::Attachment attached (*tether);
        const Calbrix::NeverWaitingThread neverWaiting;
        while (! shouldExit())
        {
            runPass();
            tether->checkpoint();
        }
    }
    catch (const WorkerAbandoned&)
    {
        // Abandoned inside a model call that came back late: the processor may be gone. The pool
        // thread ends with this job; pool and wrapper stay kept.
        juce::Thread::getCurrentThread()->signalThreadShouldExit();
    }

    return jobHasFinished;
}

bool BackgroundProcess::mustSkip() const
{
    return processor.loading || processor.resetRequested || shouldExit();
}

void BackgroundProcess::runPass()
{
    if (processor.resetRequested)
    {
        // The audio thread is using the queues: try again at once.
        if (processor.insideProcessBlock)
            return;

        processor.resetQueues();
        processor.resetRequested = false;
    }

    if (mustSkip())
    {
        // Nothing to do while a load or a preparation runs (which can take seconds, or stay): the
        // worker sleeps as it does between blocks, and looks again.
        sleepForATenthOfABlock (profile.load (std::memory_order_relaxed));
        return;
    }

    auto* accounting = profile.load (std::memory_order_relaxed);
    const auto passStart = accounting != nullptr ? steadyNanoseconds() : 0;

    const bool tookBlock = takeOneBlock();

    if (mustSkip())
        return;

    if (! tookBlock)
    {
        sleepForATenthOfABlock (accounting);
        return;
    }

    if (processor.model == nullptr || mustSkip())
        return;

    // Without a loaded model the held output goes out again.
    if (! processor.model->loaded || runModel())
        pushHeldOutput();

    if (accounting != nullptr)
        accounting->chunkWallNanoseconds += steadyNanoseconds() - passStart;
}

void BackgroundProcess::sleepForATenthOfABlock (Profile* accounting)
{
    // Without a block size to go by (a rate or block size left at 0): a tenth of a typical block.
    constexpr int fallbackSleepMicroseconds = 1000;
    const int sleepMicroseconds = idleSleepMicroseconds > 0 ? idleSleepMicroseconds : fallbackSleepMicroseconds;

    if (accounting == nullptr)
    {
        std::this_thread::sleep_for (std::chrono::microseconds (sleepMicroseconds));
        return;
    }

    const auto wallStart = steadyNanoseconds();
    std::this_thread::sleep_for (std::chrono::microseconds (sleepMicroseconds));
    const auto overshoot = steadyNanoseconds() - wallStart - sleepMicroseconds * 1000LL;
    ++accounting->polls;
    if (overshoot > accounting->longestPollOvershootNanoseconds)
        accounting->longestPollOvershootNanoseconds = overshoot;
}

bool BackgroundProcess::takeOneBlock()
{
    const auto B = static_cast<size_t> (blockSize);
    if (inputQueues.size() < 2 || paramQueues.size() < 2)
        return false;

    if (inputQueues[0]->size_approx() < B || inputQueues[1]->size_approx() < B
        || paramQueues[0]->size_approx() < B || paramQueues[1]->size_approx() < B)
        return false;

    auto drain = [B] (SampleQueues& queues, const std::vector<float*>& rows)
    {
        for (size_t c = 0; c < queues.size() && c < rows.size(); ++c)
            for (size_t j = 0; j < B; ++j)
                if (! queues[c]->try_dequeue (rows[c][j]))
                    rows[c][j] = 0.0f;
    };

    drain (inputQueues, audioWritePointers);
    drain (paramQueues, paramWritePointers);
    return true;
}

bool BackgroundProcess::runModel()
{
    // Never a wait here: a load or a preparation that holds the model means nothing is to run.
    auto& model = *processor.model;
    const auto lock = model.lockForCalls();
    if (! lock.owns_lock() || mustSkip() || ! model.loaded)
        return false;

    c10::InferenceMode guard;
    try
    {
        const ModelCallTimer timer (profile.load (std::memory_order_relaxed));
        const auto result = outsideTheProcessor ([&] { return model.module.get_method ("forward_bt") (modelInputs); });
        timer.stop();

        if (result.isNone())
        {
            // Fresh zeros rather than zeroing in place: the held tensor may be the model's own buffer.
            outputTensor = torch::zeros_like (outputTensor);
            return false;
        }

        if (! result.isTensor())
        {
            reportRunFailure ("forward_bt returned " + result.tagKind() + ", expected a tensor or None\n");
            return true;
        }

        acceptOutput (result.toTensor());
    }
    catch (const std::exception& e)
    {
        reportRunFailure (describeTorchError (e));
    }

    return true;
}

bool BackgroundProcess::acceptOutput (at::Tensor result)
{
    const bool usable = result.defined()
                        && result.device().is_cpu()
                        && result.scalar_type() == at::kFloat
                        && result.dim() == 2
                        && result.size (0) >= static_cast<int64_t> (outputQueues.size())
                        && (result.size (1) <= 1 || result.stride (1) == 1);

    if (! usable)
    {
        reportRunFailure ("forward_bt returned a tensor that is not float32 [channels, samples] with contiguous rows\n");
        return false;
    }

    // More samples than the chunk had would run the wet path ahead of the dry one for good: the
    // output is cut to the chunk's length.
    if (result.size (1) > blockSize)
        result = result.narrow (1, 0, blockSize);

    // An output that shares storage with the inputs would change under the next chunk.
    for (const auto& input : modelInputs)
        if (result.is_alias_of (input.toTensor()))
            result = result.clone();

    outputTensor = std::move (result);
    return true;
}

void BackgroundProcess::pushHeldOutput()
{
    if (mustSkip())
        return;

    // The held output is always two-dimensional floats with contiguous rows (acceptOutput makes
    // sure), so row i starts i row strides into it; no tensor view is made per row.
    const float* samples = outputTensor.data_ptr<float>();
    const auto rowLength = static_cast<size_t> (outputTensor.size (1));
    const auto rows = std::min<int64_t> (static_cast<int64_t> (outputQueues.size()), outputTensor.size (0));

    // A sample that is not a finite number would break the wet path's filter for good: it goes
    // out as 0, with one error line for each run of chunks that hold such samples.
    bool allFinite = true;
    for (int64_t i = 0; i < rows && allFinite; ++i)
        allFinite = std::all_of (samples + i * outputTensor.stride (0), samples + i * outputTensor.stride (0) + rowLength,
                                 [] (float v) { return std::isfinite (v); });

    if (! allFinite && ! inNonFiniteRun)
        reportRunFailure ("forward_bt returned samples that are not finite numbers: they are played as 0\n");
    inNonFiniteRun = ! allFinite;

    for (int64_t i = 0; i < rows; ++i)
    {
        const float* row = samples + i * outputTensor.stride (0);
        if (allFinite)
        {
            outputQueues[static_cast<size_t> (i)]->enqueueAll (row, rowLength);
            continue;
        }

        finiteRow.resize (rowLength);
        std::transform (row, row + rowLength, finiteRow.begin(), [] (float v) { return std::isfinite (v) ? v : 0.0f; });
        outputQueues[static_cast<size_t> (i)]->enqueueAll (finiteRow.data(), rowLength);
    }
}
