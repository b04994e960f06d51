#pragma once

#include <juce_audio_processors/juce_audio_processors.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "DelayLine.h"
#include "ParameterManager.h"
#include "SampleQueue.h"

class Calbrix;
class ModelFileCheck;
class StateTreeWriter;
class StuckWorkerWatch;
class WorkerTether;

using SampleQueues = std::vector<std::unique_ptr<SampleQueue>>;

class CalbrixAudioProcessor : public juce::AudioProcessor,
                              public juce::AudioProcessorValueTreeState::Listener,
                              public juce::ValueTree::Listener
{
public:
    // The room every queue is made with at construction, two seconds at 48 kHz; a preparation
    // makes them larger where its block size needs it (queueCapacityFor).
    static constexpr size_t queueCapacity = 96000;
    static constexpr int delayLineSize = 96000;
    static constexpr int connectedPortNumber = 3000;

    CalbrixAudioProcessor();
    ~CalbrixAudioProcessor() override;

    const juce::String getName() const override;

    void prepareToPlay (double sampleRate, int samplesPerBlock) override;
    void releaseResources() override;
    void processBlock (juce::AudioBuffer<float>&, juce::MidiBuffer&) override;
    using juce::AudioProcessor::processBlock;

    double getTailLengthSeconds() const override;
    bool acceptsMidi() const override;
    bool producesMidi() const override;
    bool isMidiEffect() const override;

    juce::AudioProcessorEditor* createEditor() override;
    bool hasEditor() const override;

    int getNumPrograms() override;
    int getCurrentProgram() override;
    void setCurrentProgram (int index) override;
    const juce::String getProgramName (int index) override;
    void changeProgramName (int index, const juce::String& newName) override;

    void getStateInformation (juce::MemoryBlock& destData) override;
    void setStateInformation (const void* data, int sizeInBytes) override;

    bool isBusesLayoutSupported (const BusesLayout& layouts) const override;

    void parameterChanged (const juce::String& parameterID, float newValue) override;
    void valueTreePropertyChanged (juce::ValueTree& tree, const juce::Identifier& property) override;
    void valueTreeRedirected (juce::ValueTree& tree) override;

    // Queues a load of the model file at `path` on the loading worker.
    void updateEngine (std::string path, bool applyDefaults);

    // Tells the model the host's rate and block size and warms it up.
    void prepareModel (double sampleRate, int blockSize, double unused = 0.0);

    // "3000/?id=<instance id>&v=1.5.0": identifies this instance to the page.
    juce::String getConnectedPort() const;

    // Replaces every sample queue with an empty one and restarts the dry path; inference worker only.
    void resetQueues();

    // The full path of a model named in "model_path".
    static juce::File modelFileFor (const juce::String& modelPathText);

    // Reads the model's delays, brings them into the range the engine serves, stores them and
    // reports their sum as the latency. Loading worker, holding the wrapper (see model).
    void readModelDelays();

    // Loading worker: the wrapper for this worker's model calls, with its call lock held. Waits for
    // a call on the inference worker to end; a wrapper left with an abandoned call is replaced
    // first (replaceAbandonedWrapper). An unowned lock only when `stop` says so meanwhile.
    std::unique_lock<std::recursive_timed_mutex> takeModelOnLoadingWorker (const std::function<bool()>& stop);

    // Message thread, a few times a second: a worker that has been inside one call of the model's
    // own code for longer than stuckCallMs is abandoned there (and parked, see WorkerTether); the
    // loading worker then replaces the wrapper, and later work runs on new workers.
    void replaceWorkersStuckInTheModel();

    // Loading worker, at the end of each job: `loading` stays set while a host preparation waits.
    void finishLoadingWork();

    // Any thread: a host preparation has been asked for and its model part has not ended yet.
    bool isPreparing();

    // ---- Engine state shared by the audio thread, the two workers and the message thread -------
    juce::CriticalSection jobLock;
    ParameterManager parameters;

    SampleQueues inputQueues;
    SampleQueues outputQueues;
    SampleQueues paramQueues;
    SampleQueues dryQueues;

    std::unique_ptr<DelayLine> dryDelayLeft;
    std::unique_ptr<DelayLine> dryDelayRight;

    std::unique_ptr<juce::ThreadPool> loadingPool;
    int connectedPort = connectedPortNumber;
    std::unique_ptr<juce::FileLogger> logger;
    // The one wrapper. Replaced only on the loading worker (replaceAbandonedWrapper), and only
    // while no inference job runs: the inference job reads it on its own worker, which ends (or is
    // abandoned) before the replacement and gets a new job after it. No other thread touches it
    // while the processor lives; the host's preparation leaves the model to the loading worker.
    std::unique_ptr<Calbrix> model;
    std::vector<juce::IIRFilter> highPassFilters;
    juce::String instanceIdText;

    std::atomic<bool> muted { true };
    std::atomic<bool> loading { false };
    std::atomic<bool> resetRequested { false };
    std::atomic<bool> insideProcessBlock { false };
    std::atomic<bool> parametersDirty { true };

    std::atomic<float>* wetGainParameter = nullptr;
    std::atomic<float>* dryGainParameter = nullptr;
    std::atomic<float>* inputGainParameter = nullptr;
    std::atomic<float>* outputGainParameter = nullptr;
    std::atomic<float>* p1Parameter = nullptr;
    std::atomic<float>* p2Parameter = nullptr;
    std::atomic<float>* p3Parameter = nullptr;
    std::atomic<float>* p4Parameter = nullptr;

    std::atomic<int> bufferingDelay { 0 };
    std::atomic<int> modelDelay { 0 };
    std::atomic<int> underrunCount { 0 };
    std::atomic<int> extraLatency { 0 };
    // Ticks the last processBlock spent in its wait for the model's output; audio thread only
    // (lets a profiler tell the engine's own work from the time it waits).
    juce::int64 lastWaitTicks = 0;
    std::atomic<double> lastSampleRate { -1.0 };
    std::atomic<int> lastBlockSize { -1 };
    std::atomic<int> fadeState { 1 };

    // The host's newest preparation request, which the loading worker carries out.
    std::mutex preparationLock;
    double requestedSampleRate = -1.0;
    int requestedBlockSize = -1;
    bool preparationPending = false;

    using LinearSmoother = juce::SmoothedValue<float, juce::ValueSmoothingTypes::Linear>;
    LinearSmoother fadeSmoother, wetGainSmoother, dryGainSmoother, inputGainSmoother, outputGainSmoother,
                   p1Smoother, p2Smoother, p3Smoother, p4Smoother;

    std::unique_ptr<juce::ThreadPool> inferencePool;

    // The loading worker's writes of the state tree go through it to the message thread.
    std::shared_ptr<StateTreeWriter> treeWriter;
    // This processor's session with the process that reads every model file before it is loaded.
    std::unique_ptr<ModelFileCheck> modelFileCheck;
    // Accepted restores so far: a load requested before the latest one does not give defaults.
    std::atomic<int> stateRestores { 0 };
    // How many times the last load found the output not yet muted, each followed by a 1 ms wait.
    std::atomic<int> fadeOutChecksOfLastLoad { 0 };

    // The workers' tethers (see WorkerTether): each job holds its pool's.
    std::shared_ptr<WorkerTether> loadingTether, inferenceTether;
    std::unique_ptr<StuckWorkerWatch> stuckWorkerWatch;
    // The newest load request, for a load that has to be started again on a new worker (jobLock).
    std::string latestLoadPath;
    bool latestLoadAppliesDefaults = false;
    // Set once a worker was abandoned inside the wrapper (the wrapper's call lock then stays held
    // for good): the loading worker replaces it before its next model call.
    std::atomic<bool> wrapperAbandoned { false };

    // Largest number of samples the reported latency grows by after late blocks.
    static constexpr int maxExtraLatency = 16384;

    // Delays the engine serves: the dry delay line holds a model delay of 0 .. delayLineSize - 1
    // samples, and the queues are sized for a buffering delay of up to maxBufferingDelay. A model
    // that asks for more gets these; one that asks for less than 0 gets 0.
    static constexpr int maxModelDelay = delayLineSize - 1;
    static constexpr int maxBufferingDelay = 65536;

    // Room in every sample queue for a prepared block size: the largest backlog the paths may hold
    // (the buffering delay, the most extra latency, a few blocks in flight); never less than the
    // room queues are made with at construction.
    static size_t queueCapacityFor (int blockSize);
    std::atomic<size_t> preparedQueueCapacity { queueCapacity };

    // Bounded waits of teardown for a worker to end: the inference pool's own 5 s, and a few
    // seconds for a load. A worker still running then is abandoned (see WorkerTether).
    static constexpr int inferenceStopWaitMs = 5000;
    static constexpr int loadingStopWaitMs = 3000;
    // One call of the model's own code running longer than this is stuck: far beyond anything a
    // model that follows the contract needs (a block's answer, a warm-up call, a delay query).
    // Reading a file the checker has read to its end is not such a call: it always ends.
    static constexpr int stuckCallMs = 10000;
    // How long the host's prepareToPlay waits for the model's part of the preparation, which runs
    // on the loading worker; after that the audio stays silent until it ends.
    static constexpr int hostPreparationWaitMs = 1000;

private:
    void readParameterTargets() noexcept;
    // Queues the model part of a host preparation on the loading worker; signalled when it ends.
    std::shared_ptr<juce::WaitableEvent> queuePreparation();
    void prepareOnLoadingWorker();
    void replaceAbandonedWrapper();
    void abandonLoadingWorker();
    void queueRecovery();
    void replaceInferenceJob (double sampleRate, int blockSize);
    void startInferenceJob (double sampleRate, int blockSize);
    void abandonInferenceWorker();
    void stopWorkersForTeardown();
    void endPoolThreadsForTeardown();
    void setHighPassCoefficients (double sampleRate);
    void requestModelLoadFromState (bool applyDefaults);
    void replaceNonFiniteParameterValues();

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (CalbrixAudioProcessor)
};
