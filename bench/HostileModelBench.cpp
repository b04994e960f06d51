// The engine under a model that never keeps up, and teardown with a model call that never comes
// back: what the audio thread allocates, how resident memory grows, how long the processor takes
// to go.
#include "CalbrixModel.h"

#include "AllocationCounter.h"
#include "BenchFigures.h"
#include "BenchSupport.h"
#include "PluginProcessor.h"

#include <fstream>
#include <unistd.h>

namespace calbrix_bench
{
    namespace
    {
        double residentMegabytes()
        {
            std::ifstream statm ("/proc/self/statm");
            long long pages = 0, resident = 0;
            statm >> pages >> resident;
            return static_cast<double> (resident * ::sysconf (_SC_PAGESIZE)) / (1024.0 * 1024.0);
        }

        std::unique_ptr<CalbrixAudioProcessor> processorPlaying (const juce::String& fixture, int blockSize)
        {
            auto processor = std::make_unique<CalbrixAudioProcessor>();
            processor->setRateAndBufferSizeDetails (sampleRate, blockSize);
            processor->prepareToPlay (sampleRate, blockSize);
            processor->updateEngine (builtModel ("fixtures/" + fixture).getFullPathName().toStdString(), false);
            if (! pumpUntil ([&] { return processor->model->loaded.load() || processor->loadingPool->getNumJobs() == 0; }))
                fail ("could not load " + fixture.toStdString());
            return processor;
        }
    } // namespace

    void lateModelFigures (int blocks)
    {
        // A model that answers None: it never gives a sample back, so every block is late.
        constexpr int blockSize = 64;
        auto processor = processorPlaying ("returns_none.pt", blockSize);
        if (! pumpUntil ([&] { return processor->loadingPool->getNumJobs() == 0 && ! processor->resetRequested.load(); }))
            fail ("the late model did not settle");

        constexpr int warmUp = 200;
        juce::AudioBuffer<float> buffer (2, blockSize);
        juce::MidiBuffer midi;
        const Tone tone;
        long long allocations = 0;
        double residentBefore = 0.0;
        runPaced (blockSize, warmUp + blocks, [&] (int k)
        {
            tone.fill (buffer, k);
            if (k == warmUp)
            {
                residentBefore = residentMegabytes();
                calbrix_test::resetAllocationCount();
                calbrix_test::startCountingAllocations();
            }
            processor->processBlock (buffer, midi);
            if (k == warmUp + blocks - 1)
            {
                calbrix_test::stopCountingAllocations();
                allocations = calbrix_test::allocationCount();
            }
        });

        print ("audio_thread_allocations_late_per_1000_blocks", 1000.0 * static_cast<double> (allocations) / blocks);
        print ("resident_growth_mb_late", residentMegabytes() - residentBefore);
    }

    void stuckModelTeardownFigure()
    {
        // Its forward_bt spins from its 41st call on until the gate is opened.
        constexpr int blockSize = 512;
        auto processor = processorPlaying ("gated_forward.pt", blockSize);
        auto gate = processor->model->module.attr ("gate").toTensor();

        juce::AudioBuffer<float> buffer (2, blockSize);
        juce::MidiBuffer midi;
        const Tone tone;
        runPaced (blockSize, static_cast<int> (sampleRate / blockSize), [&] (int k)
        {
            tone.fill (buffer, k);
            processor->processBlock (buffer, midi);
        });

        const auto start = monotonicNow();
        processor.reset();
        print ("teardown_ms_stuck_model", static_cast<double> (monotonicNow() - start) / 1.0e6);

        // The call that was left running may end now.
        gate.data_ptr<float>()[0] = 1.0f;
    }
} // namespace calbrix_bench
