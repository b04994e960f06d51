// The engine under a model that never keeps up, and teardown with a model call that never comes
// back: what the audio thread allocates, how resident memory grows, how long the processor takes
// to go.
#include "CalbrixModel.h"

#include "AllocationCounter.h"
#include "BenchFigures.h"
#include "BenchSupport.h"
#include "PluginProcessor.h"
#include "WorkerTether.h"

#include <dirent.h>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <thread>
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

    namespace
    {
        // User and system CPU time of every thread of this process, in clock ticks.
        std::map<std::string, long long> cpuTicksByThread()
        {
            std::map<std::string, long long> ticks;
            if (auto* tasks = ::opendir ("/proc/self/task"))
            {
                while (const auto* entry = ::readdir (tasks))
                {
                    const std::string id = entry->d_name;
                    if (id == "." || id == "..")
                        continue;
                    std::ifstream stat ("/proc/self/task/" + id + "/stat");
                    std::string line;
                    std::getline (stat, line);
                    // The fields after the command name, which is in parentheses and may hold spaces.
                    std::istringstream fields (line.substr (line.rfind (')') + 2));
                    std::string field;
                    long long utime = 0, stime = 0;
                    for (int i = 3; i <= 15 && fields >> field; ++i)
                    {
                        if (i == 14) utime = std::stoll (field);
                        if (i == 15) stime = std::stoll (field);
                    }
                    ticks[id] = utime + stime;
                }
                ::closedir (tasks);
            }
            return ticks;
        }
    } // namespace

    void abandonedThreadsFigure()
    {
        // Five models in a row whose forward_bt spins from its 41st call on, each a file of its
        // own (a file whose call stayed is refused afterwards), picked while the audio runs; each
        // call is given up on by the engine in its own time.
        constexpr int blockSize = 512;
        constexpr int stuckCalls = 5;
        const auto folder = juce::File::createTempFile ("calbrix-stuck");
        folder.createDirectory();

        auto processor = std::make_unique<CalbrixAudioProcessor>();
        processor->setRateAndBufferSizeDetails (sampleRate, blockSize);
        processor->prepareToPlay (sampleRate, blockSize);

        std::atomic<bool> stopAudio { false };
        std::thread audio ([&]
        {
            juce::AudioBuffer<float> buffer (2, blockSize);
            juce::MidiBuffer midi;
            const Tone tone;
            runPaced (blockSize, std::numeric_limits<int>::max(), [&] (int k)
            {
                tone.fill (buffer, k);
                processor->processBlock (buffer, midi);
            }, &stopAudio);
        });

        std::vector<at::Tensor> gates;
        for (int k = 0; k < stuckCalls; ++k)
        {
            const auto copy = folder.getChildFile ("stuck_" + juce::String (k) + ".pt");
            builtModel ("fixtures/gated_forward.pt").copyFileTo (copy);
            const auto tether = processor->inferenceTether;
            processor->updateEngine (copy.getFullPathName().toStdString(), false);
            if (! pumpUntil ([&] { return processor->model->loaded.load() && processor->loadingPool->getNumJobs() == 0; }, 120000))
                fail ("could not load " + copy.getFullPathName().toStdString());
            gates.push_back (processor->model->module.attr ("gate").toTensor());
            if (! pumpUntil ([&] { return tether->isAbandoned(); }, 10 * CalbrixAudioProcessor::stuckCallMs))
                fail ("the engine did not give up on a call that stays");
        }

        // Threads that kept at least half a core busy over two seconds.
        constexpr int windowMs = 2000;
        const auto before = cpuTicksByThread();
        pumpUntil ([] { return false; }, windowMs);
        const auto after = cpuTicksByThread();
        const long long busyTicks = ::sysconf (_SC_CLK_TCK) * windowMs / 1000 / 2;
        int spinning = 0;
        for (const auto& [id, ticks] : after)
            if (const auto was = before.find (id); was != before.end() && ticks - was->second >= busyTicks)
                ++spinning;
        print ("abandoned_threads_spinning", spinning);

        stopAudio = true;
        audio.join();
        processor.reset();
        for (auto& gate : gates)
            gate.data_ptr<float>()[0] = 1.0f;
        folder.deleteRecursively();
    }
} // namespace calbrix_bench
