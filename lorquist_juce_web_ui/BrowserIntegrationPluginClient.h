#pragma once

#include "BrowserIntegrationClient.h"
#include "BrowserValueTreeSynchroniser.h"
#include "FileRequestWorker.h"
#include "IntervalLimit.h"

#include <juce_audio_processors/juce_audio_processors.h>

namespace lorquist::BrowserIntegration
{
    // The named-event client through which the page works on the processor ("Plugin" in the editor):
    // it describes the parameters, mirrors the state tree to the page, sets parameters and custom
    // values, picks the model file, reads and writes files in the data directory and opens links.
    // Requests that expect an answer carry a "uid"; the answer is the event "<client name>::<uid>"
    // with a string payload. Every handler runs on the message thread; the file requests' work is
    // done on a worker of the client's own, in request order, and each is answered when it is
    // done, on the message thread (also when the client goes first: see FileRequestWorker).
    class BrowserIntegrationPluginClient : public BrowserIntegrationClient
    {
    public:
        // Starts mirroring the state tree (the mirror sends nothing until the page's "init" says it
        // is ready). Registers no events: see setupBrowserPluginIntegration.
        BrowserIntegrationPluginClient (BrowserIntegration& browserIntegration,
                                        juce::AudioProcessorValueTreeState& valueTreeState,
                                        juce::String dataDirectoryPath,
                                        juce::String clientName);

        // Registers the page events with the router. Once only: the router keeps every registration.
        // The handlers point at this client, so the router must go no later than the client.
        void setupBrowserPluginIntegration();

        // "openBrowser" starts at most one opener process per this interval; the requests in between
        // are answered as a failed launch, so a page cannot fill the message thread and the process
        // table with launches.
        static constexpr double browserLaunchIntervalMs = 1000.0;

    private:
        void init (juce::var request);
        void readFile (juce::var request);
        void saveFile (juce::var request);
        void deleteFile (juce::var request);
        void listFiles (juce::var request);
        void openBrowser (juce::var request);
        void setModelPath (juce::var request);
        void setParameter (juce::var request);
        void setHiddenParameter (juce::var request);

        void reply (const juce::var& request, const juce::String& text);
        // A file request's reply: through the router while it lives, else straight to the page if
        // that is still there (a router replaced while the request was being carried out).
        void answerFileRequest (const juce::String& uid, const juce::String& text);
        // The first state child whose "id" equals `id`; invalid when there is none.
        juce::ValueTree findStateChild (const juce::String& id) const;
        // Lets listeners see a removal and an addition, so the page's mirror lists it last too.
        void moveToEnd (juce::ValueTree child);

        // Serialises the handlers that rewrite the state tree's children.
        juce::CriticalSection stateLock;
        juce::AudioProcessorValueTreeState& valueTreeState;
        BrowserValueTreeSynchroniser valueTreeSynchroniser;
        juce::String dataDirectoryPath;
        IntervalLimit browserLaunches { browserLaunchIntervalMs };
        juce::WeakReference<BrowserIntegration> router;
        juce::Component::SafePointer<BrowserComponent> page;
        // Last: it goes first, answering its requests while everything it uses is still here.
        FileRequestWorker fileRequests;

        JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (BrowserIntegrationPluginClient)
    };
} // namespace lorquist::BrowserIntegration
