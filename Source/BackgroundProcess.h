#pragma once

#include <torch/script.h>

#include <ctime>

#include "PluginProcessor.h"

class WorkerTether;

// The inference worker: takes one host block from the input and parameter queues, runs the model's
// forward_bt on it and pushes the result into the output queues, until the pool asks it to stop.
class BackgroundProcess : public juce::ThreadPoolJob
{
public:
    BackgroundProcess (CalbrixAudioProcessor& processor,
                       SampleQueues& inputQueues,
                       SampleQueues& outputQueues,
                       SampleQueues& paramQueues,
                       double sampleRate,
                       int blockSize);
    ~BackgroundProcess() override;

    JobStatus runJob() override;

    // Optional accounting for benchmarks. While one is installed, every job publishes the CPU clock
    // of its worker thread and adds up the CPU and wall time spent inside forward_bt, so that the
    // engine's own work can be told from the model's. Costs one atomic load per model call when
    // none is. Only the worker writes the model figures.
    struct Profile
    {
        std::atomic<bool> hasWorkerClock { false };
        std::atomic<clockid_t> workerClock { 0 };
        std::atomic<long long> modelCallCpuNanoseconds { 0 };
        std::atomic<long long> modelCallWallNanoseconds { 0 };
        std::atomic<long long> longestModelCallWallNanoseconds { 0 };
        std::atomic<long long> modelCalls { 0 };
        // Wall time of the passes that took a chunk, from taking it to pushing the result, model
        // call included (timed with the cheap clock only, so that profiling adds little to it).
        std::atomic<long long> chunkWallNanoseconds { 0 };
        // The idle polls: how many, and the longest time one slept beyond its tenth of a block.
        std::atomic<long long> polls { 0 };
        std::atomic<long long> longestPollOvershootNanoseconds { 0 };
    };
    static std::atomic<Profile*> profile;

private:
    // One pass of the worker loop.
    void runPass();
    bool takeOneBlock();
    void sleepForATenthOfABlock (Profile* accounting);
    // Runs the model on the chunk just taken; false when nothing is to be pushed for it.
    bool runModel();
    void pushHeldOutput();
    bool mustSkip() const;
    // Ensures `result` is an output the worker can read row by row; false when it is not.
    bool acceptOutput (at::Tensor result);

    CalbrixAudioProcessor& processor;
    SampleQueues& inputQueues;
    SampleQueues& outputQueues;
    SampleQueues& paramQueues;
    at::Tensor outputTensor;
    std::vector<c10::IValue> modelInputs;
    int blockSize;
    double sampleRate;
    std::vector<float*> audioWritePointers;
    std::vector<float*> paramWritePointers;
    int idleSleepMicroseconds;
    std::shared_ptr<WorkerTether> tether;
    // Room for one output row with its non-finite samples replaced; a chunk of more than the
    // block's length never reaches it (acceptOutput cuts it), so it does not grow after the first.
    std::vector<float> finiteRow;
    bool inNonFiniteRun = false;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (BackgroundProcess)
};
