// Engine benchmark. Drives a real processor from a thread paced like an audio device at 48 kHz
// stereo (block k is released at start + k block durations and processed at once, at real-time
// priority where the system allows it) and prints one "name: value" line per figure on stdout;
// fractions are of one block's duration. How each search went is told on stderr. It reads the
// fixture models from $CALBRIX_MODELS_DIR/fixtures and writes the processor's data folder under
// $HOME: run it through scripts/bench, which gives it a fresh HOME.
//
//   bench [overhead] [headroom] [ratio] [switch] [large] [late] [stuck] [files]     (no argument: all of
//   them; "large" needs $CALBRIX_LARGE_MODEL, a model file of about 1 GB)
#include "CalbrixModel.h"

#include "AllocationCounter.h"
#include "BackgroundProcess.h"
#include "BenchFigures.h"
#include "BenchSupport.h"
#include "ModelCheckServer.h"
#include "PluginProcessor.h"
#include "WebViewChild.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>

using namespace calbrix_bench;

namespace
{
    const Tone tone;
    BackgroundProcess::Profile profile;

    // A processor prepared for 48 kHz and `blockSize`, running a fixture model at its default
    // levels (wet 1, dry 0.5, gains 0 dB).
    struct Engine
    {
        std::unique_ptr<CalbrixAudioProcessor> processor = std::make_unique<CalbrixAudioProcessor>();
        int blockSize;

        Engine (const std::string& fixture, int samplesPerBlock) : blockSize (samplesPerBlock)
        {
            auto& p = *processor;
            p.setRateAndBufferSizeDetails (sampleRate, blockSize);

            const auto file = builtModel ("fixtures/" + juce::String (fixture));

            // Loaded before the device starts, as a restored session is: no warm-up without a model.
            p.updateEngine (file.getFullPathName().toStdString(), false);
            if (! pumpUntil ([&] { return p.loadingPool->getNumJobs() == 0; }) || ! p.model->loaded)
                fail ("could not load " + fixture);

            p.prepareToPlay (sampleRate, blockSize);
            if (! pumpUntil ([&] { return ! p.resetRequested.load(); }))
                fail ("the first queue reset did not happen");
        }

        // Sets an attribute of the model (the costly fixture's `iterations`), then starts afresh.
        void setModelAttribute (const std::string& name, int64_t value)
        {
            {
                const std::lock_guard<Calbrix::CallLock> lock (processor->model->callLock());
                processor->model->module.setattr (name, value);
            }
            emptyQueues();
        }

        // Throws away what a run left in flight (a backlog after late blocks).
        void emptyQueues()
        {
            processor->resetRequested = true;
            if (! pumpUntil ([&] { return ! processor->resetRequested.load(); }))
                fail ("the queue reset did not happen");
        }

        // Calibrates the costly fixture: wall time per iteration of a direct forward_bt call.
        double nanosecondsPerIteration()
        {
            constexpr int iterations = 2000;
            setModelAttribute ("iterations", iterations);
            const std::lock_guard<Calbrix::CallLock> lock (processor->model->callLock());
            c10::InferenceMode guard;
            const std::vector<c10::IValue> inputs { torch::zeros ({ 2, blockSize }), torch::zeros ({ 4, blockSize }) };
            long long best = 0;
            for (int i = 0; i < 5; ++i)
            {
                const auto start = monotonicNow();
                processor->model->module.get_method ("forward_bt") (inputs);
                const auto took = monotonicNow() - start;
                best = i == 0 ? took : std::min (best, took);
            }
            return static_cast<double> (best) / iterations;
        }
    };

    // What the worker's profile has counted so far.
    struct ProfileSnapshot
    {
        long long workerCpu, modelCpu, modelWall, modelCalls, chunkWall, polls;

        static ProfileSnapshot take()
        {
            return { profile.hasWorkerClock ? nanosecondsOf (profile.workerClock.load()) : 0,
                     profile.modelCallCpuNanoseconds.load(), profile.modelCallWallNanoseconds.load(), profile.modelCalls.load(),
                     profile.chunkWallNanoseconds.load(), profile.polls.load() };
        }
    };

    // What one paced run through the engine cost, over its measured blocks.
    struct EngineRun
    {
        int blocks = 0;
        int late = 0;
        long long audioNs = 0;     // processBlock's wall time without its wait for the model
        long long workerCpuNs = 0; // all of the worker thread's CPU time, model calls included
        long long modelCpuNs = 0, modelWallNs = 0, modelCalls = 0, longestModelWallNs = 0;
        long long chunkWallNs = 0; // the worker's passes that handled a chunk, model included
        long long polls = 0, longestPollOvershootNs = 0;
        long long longestDeviceLatenessNs = 0;
        long long allocations = 0; // on the audio thread

        double perBlock (long long total) const { return blocks > 0 ? static_cast<double> (total) / blocks : 0.0; }
        double engineNsPerBlock() const { return perBlock (audioNs) + perBlock (workerCpuNs - modelCpuNs); }
        // The worker's own work on a chunk, and what its idle polls cost besides.
        double workerBusyNsPerBlock() const { return perBlock (chunkWallNs - modelWallNs); }
        double workerPollNsPerBlock() const { return perBlock (workerCpuNs - modelCpuNs) - workerBusyNsPerBlock(); }
        double meanModelWallNs() const { return modelCalls > 0 ? static_cast<double> (modelWallNs) / static_cast<double> (modelCalls) : 0.0; }

        void add (const EngineRun& other)
        {
            blocks += other.blocks;
            late += other.late;
            audioNs += other.audioNs;
            workerCpuNs += other.workerCpuNs;
            modelCpuNs += other.modelCpuNs;
            modelWallNs += other.modelWallNs;
            modelCalls += other.modelCalls;
            longestModelWallNs = std::max (longestModelWallNs, other.longestModelWallNs);
            chunkWallNs += other.chunkWallNs;
            polls += other.polls;
            longestPollOvershootNs = std::max (longestPollOvershootNs, other.longestPollOvershootNs);
            longestDeviceLatenessNs = std::max (longestDeviceLatenessNs, other.longestDeviceLatenessNs);
            allocations += other.allocations;
        }
    };

    EngineRun allSteadyStateRuns;

    // Plays `warmUp` unmeasured blocks and then `blocks` measured ones through the engine.
    EngineRun playThroughEngine (Engine& engine, int warmUp, int blocks)
    {
        auto& p = *engine.processor;
        EngineRun run;
        run.blocks = blocks;
        juce::AudioBuffer<float> buffer (2, engine.blockSize);
        juce::MidiBuffer midi;
        const double nsPerTick = 1.0e9 / static_cast<double> (juce::Time::getHighResolutionTicksPerSecond());
        ProfileSnapshot before {};

        run.longestDeviceLatenessNs = runPaced (engine.blockSize, warmUp + blocks, [&] (int k)
        {
            tone.fill (buffer, k);
            if (k == warmUp)
            {
                before = ProfileSnapshot::take();
                profile.longestModelCallWallNanoseconds = 0;
                profile.longestPollOvershootNanoseconds = 0;
                calbrix_test::resetAllocationCount();
                calbrix_test::startCountingAllocations();
            }

            const int underrunsBefore = p.underrunCount.load();
            const auto start = juce::Time::getHighResolutionTicks();
            p.processBlock (buffer, midi);
            const auto took = juce::Time::getHighResolutionTicks() - start;

            if (k >= warmUp)
            {
                run.audioNs += std::llround (static_cast<double> (took - p.lastWaitTicks) * nsPerTick);
                run.late += p.underrunCount.load() > underrunsBefore ? 1 : 0;
            }

            if (k == warmUp + blocks - 1)
            {
                calbrix_test::stopCountingAllocations();
                run.allocations = calbrix_test::allocationCount();
                const auto after = ProfileSnapshot::take();
                run.workerCpuNs = after.workerCpu - before.workerCpu;
                run.modelCpuNs = after.modelCpu - before.modelCpu;
                run.modelWallNs = after.modelWall - before.modelWall;
                run.modelCalls = after.modelCalls - before.modelCalls;
                run.chunkWallNs = after.chunkWall - before.chunkWall;
                run.polls = after.polls - before.polls;
                run.longestModelWallNs = profile.longestModelCallWallNanoseconds.load();
                run.longestPollOvershootNs = profile.longestPollOvershootNanoseconds.load();
            }
        });

        allSteadyStateRuns.add (run);
        return run;
    }

    // The naive design for comparison: the device thread calls forward_bt itself, copying the
    // block into tensors and the result back. Returns the thread's CPU time per block.
    double playCallingTheModelDirectly (Engine& engine, int warmUp, int blocks)
    {
        auto& model = *engine.processor->model;
        const int n = engine.blockSize;
        juce::AudioBuffer<float> buffer (2, n);
        long long cpu = 0;

        runPaced (n, warmUp + blocks, [&] (int k)
        {
            tone.fill (buffer, k);
            const auto start = threadCpuNow();
            {
                const std::lock_guard<Calbrix::CallLock> lock (model.callLock());
                c10::InferenceMode guard;
                auto audio = torch::empty ({ 2, n });
                for (int c = 0; c < 2; ++c)
                    std::copy_n (buffer.getReadPointer (c), n, audio[c].data_ptr<float>());
                const auto result = model.module.get_method ("forward_bt") ({ audio, torch::full ({ 4, n }, 0.5f) }).toTensor();
                for (int c = 0; c < 2; ++c)
                    std::copy_n (result[c].contiguous().data_ptr<float>(), n, buffer.getWritePointer (c));
            }
            if (k >= warmUp)
                cpu += threadCpuNow() - start;
        });
        return static_cast<double> (cpu) / blocks;
    }

    // Engine overhead with a model that costs next to nothing: the audio thread's own work plus
    // the worker's CPU time outside forward_bt, idle polls included.
    void overheadAt (int blockSize, int blocks)
    {
        Engine engine ("identity.pt", blockSize);
        const auto run = playThroughEngine (engine, 200, blocks);
        const auto period = blockNanoseconds (blockSize);
        const auto suffix = "_b" + std::to_string (blockSize);
        print ("overhead_fraction" + suffix, run.engineNsPerBlock() / period);
        print ("overhead_audio_thread_us" + suffix, run.perBlock (run.audioNs) / 1000.0);
        print ("overhead_worker_busy_us" + suffix, run.workerBusyNsPerBlock() / 1000.0);
        print ("overhead_worker_idle_polls_us" + suffix, run.workerPollNsPerBlock() / 1000.0);
        print ("overhead_idle_polls_per_block" + suffix, run.perBlock (run.polls));
        print ("overhead_fraction_without_idle_polls" + suffix, (run.engineNsPerBlock() - run.workerPollNsPerBlock()) / period);
        print ("overhead_late_blocks" + suffix, run.late);
    }

    // The largest model cost, as a fraction of the block, that still gives no late block in
    // `blocks` blocks: a bisection over the costly fixture's cost. The figure is the measured
    // mean duration of its calls in the costliest run without a late block. A run with one or two
    // late blocks is tried once more before its cost counts as too much: a single stall of a
    // thread by the system is not the engine's limit (stderr tells how each run went).
    void headroomAt (int blockSize, int blocks)
    {
        Engine engine ("costly.pt", blockSize);
        const double period = blockNanoseconds (blockSize);
        const double nsPerIteration = engine.nanosecondsPerIteration();

        double passing = 0.5, failing = 0.9;
        EngineRun best;
        for (int level = 0; level < 4; ++level)
        {
            const double target = level == 0 ? 0.7 : (passing + failing) / 2.0;
            engine.setModelAttribute ("iterations", std::llround (target * period / nsPerIteration));

            bool passed = false;
            for (int attempt = 0; attempt < 2 && ! passed; ++attempt)
            {
                engine.emptyQueues();
                const auto run = playThroughEngine (engine, 20, blocks);
                passed = run.late == 0;
                std::fprintf (stderr, "headroom B=%d: model %.3f of a block (longest call %.3f): %d late; longest idle poll overshoot %.2f ms, device start lateness %.2f ms\n",
                              blockSize, run.meanModelWallNs() / period, static_cast<double> (run.longestModelWallNs) / period, run.late,
                              static_cast<double> (run.longestPollOvershootNs) / 1.0e6, static_cast<double> (run.longestDeviceLatenessNs) / 1.0e6);
                if (passed)
                    best = run;
                else if (run.late > 2)
                    break;
            }
            (passed ? passing : failing) = target;
        }

        print ("headroom_fraction_b" + std::to_string (blockSize), best.meanModelWallNs() / period);
    }

    // CPU per block through the engine (audio thread without its wait, plus all of the worker)
    // against calling the model on the device thread, with a model costing about 1 ms a block at
    // B = 512; the two take turns, so that both see the machine in the same state.
    void engineAgainstDirect (int blocks)
    {
        constexpr int blockSize = 512;
        Engine engine ("costly.pt", blockSize);
        engine.setModelAttribute ("iterations", std::llround (1.0e6 / engine.nanosecondsPerIteration()));

        EngineRun throughEngine;
        double direct = 0.0;
        for (int round = 0; round < 2; ++round)
        {
            engine.emptyQueues();
            throughEngine.add (playThroughEngine (engine, 20, blocks / 2));
            direct += playCallingTheModelDirectly (engine, 20, blocks / 2) / 2.0;
        }

        const double engineCpu = throughEngine.perBlock (throughEngine.audioNs) + throughEngine.perBlock (throughEngine.workerCpuNs);
        print ("engine_vs_direct_ratio", engineCpu / direct);
        print ("engine_cpu_us_per_block", engineCpu / 1000.0);
        print ("direct_cpu_us_per_block", direct / 1000.0);
        print ("model_cpu_us_per_call", throughEngine.modelCalls > 0 ? static_cast<double> (throughEngine.modelCpuNs) / static_cast<double> (throughEngine.modelCalls) / 1000.0 : 0.0);
    }
} // namespace

int main (int argc, char** argv)
{
    // The switch figures show the page's handler, whose web view starts this program as its child.
    calbrix_webview::runChildProcessIfRequested (argc, argv);
    ModelCheckServer::startFromMain (argc, argv);
    juce::ScopedJuceInitialiser_GUI juce;
    BackgroundProcess::profile = &profile;

    const std::vector<std::string> picked (argv + 1, argv + argc);
    auto wanted = [&] (const std::string& part) { return picked.empty() || std::find (picked.begin(), picked.end(), part) != picked.end(); };

    if (wanted ("overhead"))
    {
        overheadAt (64, 3000);
        overheadAt (128, 1500);
        overheadAt (512, 500);
    }
    if (wanted ("headroom"))
    {
        headroomAt (128, 2000);
        headroomAt (512, 2000);
    }
    if (wanted ("ratio"))
        engineAgainstDirect (1000);
    if (wanted ("switch"))
        modelSwitchFigures (20);
    if (wanted ("late"))
        lateModelFigures (10000);
    if (wanted ("stuck"))
    {
        stuckModelTeardownFigure();
        abandonedThreadsFigure();
    }
    if (wanted ("files"))
        fileRequestFigures();
    if (const char* large = std::getenv ("CALBRIX_LARGE_MODEL"); large != nullptr && wanted ("large"))
        largeModelLoadFigure (juce::File (juce::String::fromUTF8 (large)));

    print ("audio_thread_allocations_per_1000_blocks",
           1000.0 * static_cast<double> (allSteadyStateRuns.allocations) / std::max (1, allSteadyStateRuns.blocks));
    print ("device_thread_realtime", deviceIsRealtime ? 1.0 : 0.0);

    BackgroundProcess::profile = nullptr;
    return 0;
}
