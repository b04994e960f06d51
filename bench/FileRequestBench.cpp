// The page's file requests on a file of 100 MiB, as the page makes them: the request reaches the
// real router and plug-in client on the message thread, and its reply goes back through the router
// into a real web view. While each request is under way a tick re-posts itself on the message
// thread; the longest gap between two ticks is how long the window could not respond.
#include "BenchFigures.h"
#include "BenchSupport.h"

#include "BrowserComponent.h"
#include "BrowserIntegration.h"
#include "BrowserIntegrationPluginClient.h"
#include "PluginProcessor.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace calbrix_bench
{
    namespace
    {
        constexpr size_t fileBytes = 100u << 20;

        // The real router, noting when a reply of the request watched has been handed to the page.
        struct WatchingRouter : lorquist::BrowserIntegration::BrowserIntegration
        {
            using BrowserIntegration::BrowserIntegration;

            void sendEventToBrowser (juce::String eventType, juce::var data) override
            {
                BrowserIntegration::sendEventToBrowser (eventType, data);
                if (eventType == watched)
                    answered = std::move (data);
            }

            juce::String watched;
            juce::var answered;
        };

        // A thread that posts a probe to the message thread every 2 ms; the longest time a probe
        // waited to run is how long the message thread could not respond.
        struct Prober
        {
            void start()
            {
                alive = std::make_shared<std::atomic<bool>> (true);
                longestWait = std::make_shared<std::atomic<long long>> (0);
                thread = std::thread ([a = alive, longest = longestWait]
                {
                    while (*a)
                    {
                        const auto posted = monotonicNow();
                        juce::MessageManager::callAsync ([posted, longest]
                        {
                            const auto waited = monotonicNow() - posted;
                            if (waited > *longest)
                                *longest = waited;
                        });
                        std::this_thread::sleep_for (std::chrono::milliseconds (2));
                    }
                });
            }

            void stop()
            {
                *alive = false;
                thread.join();
            }

            std::shared_ptr<std::atomic<bool>> alive;
            std::shared_ptr<std::atomic<long long>> longestWait;
            std::thread thread;
        };

        juce::var request (const juce::String& eventName, const juce::String& uid,
                           std::initializer_list<std::pair<const char*, juce::String>> fields)
        {
            juce::DynamicObject::Ptr data (new juce::DynamicObject());
            for (auto& [key, value] : fields)
                data->setProperty (key, value);
            data->setProperty ("uid", uid);
            juce::DynamicObject::Ptr message (new juce::DynamicObject());
            message->setProperty ("eventType", "Plugin::" + eventName);
            message->setProperty ("data", juce::var (data.get()));
            return juce::var (message.get());
        }
    } // namespace

    void fileRequestFigures()
    {
        const auto dataDirectory = juce::File::getSpecialLocation (juce::File::tempDirectory)
                                       .getNonexistentChildFile ("calbrix-bench-files", "", false);
        dataDirectory.getChildFile ("models").createDirectory();

        {
            CalbrixAudioProcessor processor;
            lorquist::BrowserIntegration::BrowserComponent browser { "127.0.0.1", "", {} };
            WatchingRouter router { browser };
            lorquist::BrowserIntegration::BrowserIntegrationPluginClient client {
                router, processor.parameters, dataDirectory.getFullPathName(), "Plugin"
            };
            client.setupBrowserPluginIntegration();

            juce::MemoryBlock content (fileBytes);
            juce::Random (1).fillBitsRandomly (content.getData(), content.getSize());
            const auto payload = "data:application/octet-stream;base64," + juce::Base64::toBase64 (content.getData(), content.getSize());
            content.reset();

            struct Step { const char* figure; juce::var message; const char* uid; };
            const Step steps[] = {
                { "100mib_save", request ("saveFileHandler", "save", { { "directory", "models" }, { "filename", "big.pt" }, { "data", payload } }), "save" },
                { "100mib_read", request ("readFileHandler", "read", { { "directory", "models" }, { "filename", "big.pt" } }), "read" },
            };

            Prober prober;
            for (const auto& step : steps)
            {
                router.watched = juce::String ("Plugin::") + step.uid;
                router.answered = juce::var();
                pumpUntil ([] { return false; }, 200);

                prober.start();
                const auto begin = monotonicNow();
                // As a page message arrives: dispatched from the message loop.
                juce::MessageManager::callAsync ([&router, message = step.message] { router.dispatch (message); });
                if (! pumpUntil ([&] { return ! router.answered.isVoid(); }, 120000))
                    fail (std::string ("no reply to the ") + step.figure);
                const auto end = monotonicNow();
                prober.stop();
                // The probes still queued run before the figure is read.
                pumpUntil ([] { return false; }, 200);

                print (std::string ("message_thread_stall_ms_") + step.figure, static_cast<double> (prober.longestWait->load()) / 1.0e6);
                print (std::string ("file_request_ms_") + step.figure, static_cast<double> (end - begin) / 1.0e6);
            }
        }

        dataDirectory.deleteRecursively();
    }
} // namespace calbrix_bench
