#include "BackgroundProcess.h"

#include "CalbrixModel.h"

#include <chrono>
#include <iostream>
#include <pthread.h>
#include <thread>

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
      sampleRate (rate)
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

    if (auto* p = profile.load (std::memory_order_relaxed))
    {
        clockid_t clock {};
        if (pthread_getcpuclockid (pthread_self(), &clock) == 0)
        {
            p->workerClock = clock;
            p->hasWorkerClock = true;
        }
    }

    while (! shouldExit())
        runPass();

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
        // Waiting for a load or a reset: give the core away without sleeping.
        std::this_thread::yield();
        return;
    }

    const bool tookBlock = takeOneBlock();

    if (mustSkip())
        return;

    if (! tookBlock)
    {
        if (idleSleepMicroseconds > 0)
            std::this_thread::sleep_for (std::chrono::microseconds (idleSleepMicroseconds));
        return;
    }

    if (processor.model == nullptr || mustSkip())
        return;

    if (processor.model->loaded && ! runModel())
        return;

    pushHeldOutput();
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
    auto& model = *processor.model;
    const std::lock_guard<std::recursive_mutex> lock (model.callLock());

    // A load may have begun while this pass waited for the lock.
    if (mustSkip() || ! model.loaded)
        return false;

    c10::InferenceMode guard;
    try
    {
        auto* accounting = profile.load (std::memory_order_relaxed);
        const auto callStart = accounting != nullptr ? threadCpuNanoseconds() : 0;

        auto method = model.module.get_method ("forward_bt");
        const auto result = method (modelInputs);

        if (accounting != nullptr)
        {
            accounting->modelCallCpuNanoseconds += threadCpuNanoseconds() - callStart;
            ++accounting->modelCalls;
        }

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

    for (size_t i = 0; i < outputQueues.size() && static_cast<int64_t> (i) < outputTensor.size (0); ++i)
    {
        const auto row = outputTensor.select (0, static_cast<int64_t> (i));
        const auto count = row.size (0);
        const float* samples = row.data_ptr<float>();
        for (int64_t j = 0; j < count; ++j)
            outputQueues[i]->enqueue (samples[j]);
    }
}
