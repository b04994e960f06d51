#include "BrowserIntegrationPluginClient.h"

#include "DataDirectoryFiles.h"
#include "PageNumber.h"
#include "ParameterMetadata.h"
#include "SystemBrowser.h"

namespace lorquist::BrowserIntegration
{
    namespace
    {
        // Names of the page protocol and of the processor's state tree.
        const juce::Identifier mirroredTreeId { "PARAMETERS" };
        const juce::Identifier idProperty { "id" };
        const juce::Identifier valueProperty { "value" };
        const juce::String modelPathId { "model_path" };
        // Announced, never stored: asks the processor to (re)load the model named by "model_path".
        const juce::Identifier setStateRequest { "HOST_SETSTATE_REQUEST" };

        // A request key as text; an absent key (or a request that is no object) reads as "".
        juce::String text (const juce::var& request, const char* key) { return request[key].toString(); }
    } // namespace

    BrowserIntegrationPluginClient::BrowserIntegrationPluginClient (BrowserIntegration& integration,
                                                                    juce::AudioProcessorValueTreeState& state,
                                                                    juce::String dataDirectory,
                                                                    juce::String name)
        : BrowserIntegrationClient (std::move (name), integration),
          valueTreeState (state),
          valueTreeSynchroniser (state.state, mirroredTreeId, integration),
          dataDirectoryPath (std::move (dataDirectory)),
          router (&integration),
          page (&integration.getBrowserComponent()),
          fileRequests ([this] (const juce::String& uid, const juce::String& replyText) { answerFileRequest (uid, replyText); })
    {
    }

    void BrowserIntegrationPluginClient::setupBrowserPluginIntegration()
    {
        using Handler = void (BrowserIntegrationPluginClient::*) (juce::var);
        const std::pair<const char*, Handler> handlers[] = {
            { "init", &BrowserIntegrationPluginClient::init },
            { "readFileHandler", &BrowserIntegrationPluginClient::readFile },
            { "saveFileHandler", &BrowserIntegrationPluginClient::saveFile },
            { "deleteFileHandler", &BrowserIntegrationPluginClient::deleteFile },
            { "fileListHandler", &BrowserIntegrationPluginClient::listFiles },
            { "openBrowser", &BrowserIntegrationPluginClient::openBrowser },
            { "model_path", &BrowserIntegrationPluginClient::setModelPath },
            { "setParameter", &BrowserIntegrationPluginClient::setParameter },
            { "setHiddenParameter", &BrowserIntegrationPluginClient::setHiddenParameter },
        };

        for (const auto& [eventName, handler] : handlers)
            registerBrowserCallback (eventName, [this, handler = handler] (juce::var request) { (this->*handler) (std::move (request)); });
    }

    void BrowserIntegrationPluginClient::reply (const juce::var& request, const juce::String& replyText)
    {
        sendEventToBrowser (text (request, "uid"), replyText);
    }

    //==============================================================================
    void BrowserIntegrationPluginClient::init (juce::var request)
    {
        // The metadata goes out before the full copy is even queued, and the mirror sends nothing
        // before the flag below is set: the page always has the parameter list first.
        sendEventToBrowser ("parameterMetadata", makeParameterMetadata (valueTreeState));
        valueTreeSynchroniser.sendFullSyncCallback();

        // Both channels agree on "1": the posted true or 1 arrives as that text, the navigated true
        // or 1 converts to it.
        if (text (request, "isReady") == "1")
            browserIntegration.pageReady.exchange (true);
    }

    //==============================================================================
    // The request's texts are taken here; the file work runs on the worker.
    void BrowserIntegrationPluginClient::readFile (juce::var request)
    {
        fileRequests.add (text (request, "uid"),
                          [files = DataDirectoryFiles (dataDirectoryPath), directory = text (request, "directory"),
                           filename = text (request, "filename")] { return files.read (directory, filename); },
                          {});
    }

    void BrowserIntegrationPluginClient::saveFile (juce::var request)
    {
        fileRequests.add (text (request, "uid"),
                          [files = DataDirectoryFiles (dataDirectoryPath), directory = text (request, "directory"),
                           filename = text (request, "filename"), data = text (request, "data")] { return files.save (directory, filename, data); },
                          DataDirectoryFiles::failed);
    }

    void BrowserIntegrationPluginClient::deleteFile (juce::var request)
    {
        fileRequests.add (text (request, "uid"),
                          [files = DataDirectoryFiles (dataDirectoryPath), directory = text (request, "directory"),
                           filename = text (request, "filename")] { return files.remove (directory, filename); },
                          DataDirectoryFiles::failed);
    }

    void BrowserIntegrationPluginClient::listFiles (juce::var request)
    {
        fileRequests.add (text (request, "uid"),
                          [files = DataDirectoryFiles (dataDirectoryPath), directory = text (request, "directory")] { return files.list (directory); },
                          DataDirectoryFiles::notADirectory);
    }

    void BrowserIntegrationPluginClient::answerFileRequest (const juce::String& uid, const juce::String& replyText)
    {
        if (router != nullptr)
            sendEventToBrowser (uid, replyText);
        else if (page != nullptr)
            BrowserIntegration::sendEventToPage (*page, clientName + "::" + uid, replyText);
    }

    //==============================================================================
    void BrowserIntegrationPluginClient::openBrowser (juce::var request)
    {
        const auto opened = browserLaunches.pass() && launchInDefaultBrowser (juce::URL (text (request, "url")));
        reply (request, opened ? "Opened system browser succesfully" : "Failed to open system browser");
    }

    //==============================================================================
    juce::ValueTree BrowserIntegrationPluginClient::findStateChild (const juce::String& id) const
    {
        const juce::var wanted (id);
        for (const auto& child : valueTreeState.state)
            if (child.getProperty (idProperty) == wanted)
                return child;
        return {};
    }

    void BrowserIntegrationPluginClient::moveToEnd (juce::ValueTree child)
    {
        auto& state = valueTreeState.state;
        state.removeChild (child, nullptr);
        state.addChild (child, -1, nullptr);
    }

    void BrowserIntegrationPluginClient::setModelPath (juce::var request)
    {
        const juce::ScopedLock lock (stateLock);
        const auto path = text (request, "path");

        auto child = findStateChild (modelPathId);
        if (! child.isValid())
            return;

        child.setProperty (valueProperty, path, nullptr);
        moveToEnd (child);
        // Also when the path is unchanged and no listener heard of the value: picking the same file
        // again loads it again.
        valueTreeState.state.sendPropertyChangeMessage (setStateRequest);
        reply (request, "set model_path parameter");
    }

    void BrowserIntegrationPluginClient::setParameter (juce::var request)
    {
        // Anything but a finite number is refused like an id that names no parameter: nothing
        // changes and nothing is answered.
        const auto value = request["value"];
        if (! isFiniteNumber (value))
            return;

        // The value as it came, text or number: the framework converts it when it sets the parameter,
        // clamping it to the range. An id that names no parameter gives a value bound to nothing.
        valueTreeState.getParameterAsValue (text (request, "id")).setValue (value);
    }

    void BrowserIntegrationPluginClient::setHiddenParameter (juce::var request)
    {
        const juce::ScopedLock lock (stateLock);

        const auto id = text (request, "id");
        const auto value = text (request, "value");

        // A parameter's child sets the parameter from its text: the same numbers as "setParameter" only.
        if (valueTreeState.getParameter (id) != nullptr && ! isFiniteNumber (value))
            return;

        auto child = findStateChild (id);
        if (! child.isValid())
            return;

        child.setProperty (valueProperty, value, nullptr);
        moveToEnd (child);
    }
} // namespace lorquist::BrowserIntegration
