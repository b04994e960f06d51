// Model switches as the user makes them: a pick on the page goes through the real page handler
// (the "model_path" event, the state tree, the processor's listener, updateEngine), with a paced
// device at 48 kHz / 512 playing a tone all along. For each switch it measures, from the request,
// when the new model is first heard and how long the output is silent around the switch.
#include "CalbrixModel.h"

#include "BenchFigures.h"
#include "BenchSupport.h"

#include "BrowserComponent.h"
#include "BrowserIntegration.h"
#include "BrowserIntegrationPluginClient.h"
#include "CalbrixIdentifiers.h"
#include "PluginProcessor.h"
#include "StateTreeWriter.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>

namespace calbrix_bench
{
    namespace
    {
        constexpr int blockSize = 512;
        // Below -80 dBFS a sample counts as silence.
        constexpr float audibleLevel = 1.0e-4f;

        // What the device saw of every block it played.
        struct PlayedBlock
        {
            long long start = 0;    // when the block was processed
            // Silent samples at the block's start and at its end (the whole block when it is silent).
            int leadingSilence = 0, trailingSilence = 0;
            bool fadingOut = false; // the load had begun its fade-out
            bool loading = false;   // the load was reading and preparing the model
        };

        void measureSilence (const juce::AudioBuffer<float>& buffer, PlayedBlock& block)
        {
            auto silentAt = [&] (int i)
            {
                return std::max (std::abs (buffer.getSample (0, i)), std::abs (buffer.getSample (1, i))) < audibleLevel;
            };
            int leading = 0;
            while (leading < blockSize && silentAt (leading))
                ++leading;
            int trailing = 0;
            while (trailing < blockSize && silentAt (blockSize - 1 - trailing))
                ++trailing;
            block.leadingSilence = leading;
            block.trailingSilence = trailing;
        }

        double median (std::vector<double> values)
        {
            if (values.empty())
                return 0.0;
            std::sort (values.begin(), values.end());
            return values[values.size() / 2];
        }

        // The processor, its page handler and a device that plays blocks until stopped.
        struct SwitchRig
        {
            explicit SwitchRig (int blocksToPlay) : played (static_cast<size_t> (blocksToPlay))
            {
                processor.setRateAndBufferSizeDetails (sampleRate, blockSize);
                processor.prepareToPlay (sampleRate, blockSize);
                client.setupBrowserPluginIntegration();
                router.pageReady = true;

                device = std::thread ([this]
                {
                    juce::AudioBuffer<float> buffer (2, blockSize);
                    juce::MidiBuffer midi;
                    runPaced (blockSize, static_cast<int> (played.size()), [&] (int k)
                    {
                        tone.fill (buffer, k);
                        auto& block = played[static_cast<size_t> (k)];
                        block.start = monotonicNow();
                        block.fadingOut = processor.fadeState == 1;
                        block.loading = processor.loading;
                        processor.processBlock (buffer, midi);
                        measureSilence (buffer, block);
                        blocksDone = k + 1;
                    }, &stopPlaying);
                });
            }

            ~SwitchRig()
            {
                stopPlaying = true;
                device.join();
            }

            void pick (const juce::String& modelName, int uid)
            {
                juce::DynamicObject::Ptr data (new juce::DynamicObject());
                data->setProperty ("path", modelName);
                data->setProperty ("uid", uid);
                juce::DynamicObject::Ptr message (new juce::DynamicObject());
                message->setProperty ("eventType", "Plugin::model_path");
                message->setProperty ("data", juce::var (data.get()));
                router.dispatch (juce::var (message.get()));
            }

            bool loadsDone()
            {
                return processor.loadingPool->getNumJobs() == 0 && ! processor.treeWriter->hasPendingWrites();
            }

            // Runs the message loop while the device plays on for `milliseconds`.
            void playFor (int milliseconds)
            {
                const int until = blocksDone + static_cast<int> (milliseconds / 1000.0 * sampleRate / blockSize);
                if (! pumpUntil ([&] { return blocksDone >= until || blocksDone >= static_cast<int> (played.size()); }, 60000))
                    fail ("the device stopped playing");
            }

            // From `request`: when the fade-out began, when the output first fell silent for at
            // least a millisecond, when the model was loading, and when the new model was heard.
            struct Switch
            {
                double fadeOutMs = -1, loadStartMs = -1, loadEndMs = -1, heardMs = -1, silenceMs = -1;
            };

            bool switchAfter (long long request, Switch& result) const
            {
                const auto count = std::min (static_cast<size_t> (blocksDone.load()), played.size());
                const double nsPerSample = 1.0e9 / sampleRate;
                auto msAt = [&] (size_t k, int sample)
                {
                    return (static_cast<double> (played[k].start - request) + sample * nsPerSample) / 1.0e6;
                };

                size_t k = 0;
                while (k < count && played[k].start < request)
                    ++k;

                for (size_t j = k; j < count; ++j)
                {
                    if (played[j].fadingOut && result.fadeOutMs < 0)
                        result.fadeOutMs = msAt (j, 0);
                    if (played[j].loading && result.loadStartMs < 0)
                        result.loadStartMs = msAt (j, 0);
                    if (! played[j].loading && result.loadStartMs >= 0 && result.loadEndMs < 0)
                        result.loadEndMs = msAt (j, 0);
                }

                // The new model plays from the first block after the fade-out ends (the load
                // is done then): it is heard at the first audible sample from there on, after the
                // silent run that ends there (none when the fade-out never quite reached silence).
                while (k < count && ! played[k].fadingOut)
                    ++k;
                while (k < count && played[k].fadingOut)
                    ++k;
                auto silentBefore = [&] (size_t e)
                {
                    int samples = 0;
                    for (size_t j = e; j-- > 0 && played[j].start >= request;)
                    {
                        samples += played[j].trailingSilence;
                        if (played[j].leadingSilence != blockSize)
                            break;
                    }
                    return samples;
                };
                for (; k < count; ++k)
                {
                    if (played[k].leadingSilence == blockSize)
                        continue;
                    result.heardMs = msAt (k, played[k].leadingSilence);
                    result.silenceMs = (silentBefore (k) + played[k].leadingSilence) * nsPerSample / 1.0e6;
                    return true;
                }

                return false;
            }

            CalbrixAudioProcessor processor;
            lorquist::BrowserIntegration::BrowserComponent browser { "127.0.0.1", "", {} };
            lorquist::BrowserIntegration::BrowserIntegration router { browser };
            lorquist::BrowserIntegration::BrowserIntegrationPluginClient client {
                router, processor.parameters, calbrix_applicationdata_directory.getFullPathName(), "Plugin"
            };
            const Tone tone;
            std::vector<PlayedBlock> played;
            std::atomic<int> blocksDone { 0 };
            std::atomic<bool> stopPlaying { false };
            std::thread device;
        };

        juce::String installModel (const juce::File& source, const juce::String& name)
        {
            const auto target = calbrix_applicationdata_directory.getChildFile ("models").getChildFile (name);
            target.getParentDirectory().createDirectory();
            if (! source.createSymbolicLink (target, true))
                fail ("could not put " + name.toStdString() + " into the models folder");
            return name;
        }
    } // namespace

    void modelSwitchFigures (int switches)
    {
        const juce::String models[] = { installModel (builtModel ("examples/clean_passthrough.pt"), "clean_passthrough.pt"),
                                        installModel (builtModel ("examples/drive_tone.pt"), "drive_tone.pt") };

        // About 1.5 s a switch, and a second to start.
        SwitchRig rig (static_cast<int> ((1.0 + 1.5 * switches) * sampleRate / blockSize));
        rig.pick (models[0], 0);
        if (! pumpUntil ([&] { return rig.loadsDone(); }))
            fail ("the first model did not load");
        rig.playFor (600);

        std::vector<double> switchTimes, silences;
        for (int i = 1; i <= switches; ++i)
        {
            const auto request = monotonicNow();
            rig.pick (models[i % 2], i);
            if (! pumpUntil ([&] { return rig.loadsDone(); }))
                fail ("a model switch did not finish");
            rig.playFor (700);

            SwitchRig::Switch heard;
            if (rig.switchAfter (request, heard))
            {
                switchTimes.push_back (heard.heardMs);
                silences.push_back (heard.silenceMs);
            }
            std::fprintf (stderr, "switch %d to %s: fade-out from %.1f ms, loading %.1f to %.1f ms, heard after %.1f ms, silent for %.1f ms\n",
                          i, models[i % 2].toRawUTF8(), heard.fadeOutMs, heard.loadStartMs, heard.loadEndMs, heard.heardMs, heard.silenceMs);
        }

        if (switchTimes.size() != static_cast<size_t> (switches))
            fail ("the new model was not heard after every switch");

        print ("model_switch_ms_p50", median (switchTimes));
        print ("model_switch_ms_max", *std::max_element (switchTimes.begin(), switchTimes.end()));
        print ("model_switch_silence_ms_p50", median (silences));
    }

    void largeModelLoadFigure (const juce::File& largeModel)
    {
        const auto name = installModel (largeModel, "large.pt");
        SwitchRig rig (static_cast<int> (600.0 * sampleRate / blockSize));
        rig.playFor (300);

        const auto request = monotonicNow();
        rig.pick (name, 0);
        if (! pumpUntil ([&] { return rig.loadsDone(); }, 600000))
            fail ("the large model did not load in 10 minutes");
        if (! rig.processor.model->loaded)
            fail ("the large model was refused");
        rig.playFor (500);

        SwitchRig::Switch heard;
        if (! rig.switchAfter (request, heard))
            fail ("the large model was not heard");
        std::fprintf (stderr, "large model (%lld MiB): fade-out from %.0f ms, loading %.0f to %.0f ms, heard after %.0f ms, silent for %.0f ms\n",
                      static_cast<long long> (largeModel.getSize() >> 20), heard.fadeOutMs, heard.loadStartMs, heard.loadEndMs,
                      heard.heardMs, heard.silenceMs);
        print ("model_load_ms_1gb", heard.heardMs);
    }
} // namespace calbrix_bench
