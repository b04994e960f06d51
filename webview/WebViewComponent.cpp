#include "WebViewComponent.h"
#include "ChildConnection.h"

namespace calbrix_webview
{
    namespace
    {
        juce::var makeCommand (const juce::String& type, juce::DynamicObject::Ptr fields)
        {
            auto command = fields != nullptr ? fields : juce::DynamicObject::Ptr (new juce::DynamicObject());
            command->setProperty ("type", type);
            return juce::var (command.get());
        }
        // "file://" followed by a plain path names that path, even when it holds characters such as
        // "%" or "+" that unescaping would change; anything else is read as an escaped URL.
        juce::String localPathOfFileUrl (const juce::String& url)
        {
            if (url.startsWithIgnoreCase ("file:///"))
            {
                const auto plainPath = url.substring (7);
                if (juce::File (plainPath).exists())
                    return plainPath;
            }

            return juce::URL (url).getLocalFile().getFullPathName();
        }
    } // namespace

    WebViewComponent::WebViewComponent (bool shouldUnloadPageWhenHidden)
        : unloadPageWhenHidden (shouldUnloadPageWhenHidden)
    {
        setOpaque (true);

        // The I/O thread may only post: a SafePointer decides on the message thread whether the
        // component still exists when the message gets there.
        juce::Component::SafePointer<WebViewComponent> safeThis (this);

        ChildConnection::Receiver receiver;
        receiver.message = [safeThis] (juce::var message)
        {
            juce::MessageManager::callAsync ([safeThis, message]
            {
                if (auto* self = safeThis.getComponent())
                    self->handleChildMessage (message);
            });
        };
        receiver.connectionLost = [safeThis]
        {
            juce::MessageManager::callAsync ([safeThis]
            {
                if (auto* self = safeThis.getComponent())
                    self->embedded.reset();
            });
        };

        connection = std::make_unique<ChildConnection> (std::move (receiver));

        if (! connection->isRunning())
            std::cerr << "web view: could not start its child process\n";
    }

    WebViewComponent::~WebViewComponent()
    {
        // The embedded window belongs to the child: let go of it before the child goes away.
        if (embedded != nullptr)
            embedded->removeClient();
        embedded.reset();
        connection.reset();
    }

    int WebViewComponent::getChildProcessId() const noexcept
    {
        return connection != nullptr && connection->isRunning() ? (int) connection->getChildPid() : -1;
    }

    //==============================================================================
    void WebViewComponent::goToURL (const juce::String& url, const juce::StringArray* headers,
                                    const juce::MemoryBlock* postData)
    {
        const auto trimmed = url.trimStart();

        // Scripts run in the page as it is, also while hidden, and are never run a second time.
        if (trimmed.startsWithIgnoreCase ("javascript:"))
        {
            juce::DynamicObject::Ptr fields (new juce::DynamicObject());
            fields->setProperty ("script", trimmed.fromFirstOccurrenceOf (":", false, false));
            sendCommand ("eval", fields);
            return;
        }

        // A navigation asked for while hidden waits for the next showing.
        if (! isShowing())
        {
            pendingURL = url;
            pendingHeaders = headers != nullptr ? *headers : juce::StringArray();
            if (postData != nullptr)
                pendingPostData = *postData;
            else
                pendingPostData.reset();
            return;
        }

        pendingURL.clear();
        blankPageShown = false;
        navigate (trimmed, headers);
    }

    void WebViewComponent::navigate (const juce::String& url, const juce::StringArray* headers)
    {
        pageRequested = true;
        shownPageURL = url;
        sendCommand ("stop");

        juce::DynamicObject::Ptr fields (new juce::DynamicObject());

        if (url.startsWithIgnoreCase ("file:"))
        {
            // The child turns the path into a properly escaped file URI.
            fields->setProperty ("path", localPathOfFileUrl (url));
            sendCommand ("loadFile", fields);
            return;
        }

        fields->setProperty ("url", url);

        if (headers != nullptr && ! headers->isEmpty())
        {
            juce::Array<juce::var> headerLines;
            for (auto& line : *headers)
                headerLines.add (line);
            fields->setProperty ("headers", headerLines);
        }

        sendCommand ("load", fields);
    }

    void WebViewComponent::stop()    { sendCommand ("stop"); }
    void WebViewComponent::refresh() { sendCommand ("reload"); }

    void WebViewComponent::goBack()
    {
        pendingURL.clear();
        blankPageShown = false;
        sendCommand ("back");
    }

    void WebViewComponent::goForward()
    {
        pendingURL.clear();
        sendCommand ("forward");
    }

    //==============================================================================
    bool WebViewComponent::pageAboutToLoad (const juce::String&)        { return true; }
    void WebViewComponent::pageFinishedLoading (const juce::String&)    {}
    bool WebViewComponent::pageLoadHadNetworkError (const juce::String&) { return true; }
    void WebViewComponent::windowCloseRequest()                         {}
    void WebViewComponent::newWindowAttemptingToLoad (const juce::String&) {}
    void WebViewComponent::scriptMessageReceived (juce::var)            {}

    //==============================================================================
    void WebViewComponent::paint (juce::Graphics& g)
    {
        // Shown only until the child's window is embedded.
        g.fillAll (juce::Colours::white);
    }

    void WebViewComponent::resized()
    {
        if (embedded != nullptr)
        {
            embedded->setBounds (getLocalBounds());
            embedded->updateEmbeddedBounds();
        }
    }

    void WebViewComponent::parentHierarchyChanged() { checkWindowAssociation(); }
    void WebViewComponent::visibilityChanged()      { checkWindowAssociation(); }

    void WebViewComponent::checkWindowAssociation()
    {
        if (isShowing())
        {
            if (pendingURL.isNotEmpty())
                performPendingNavigation();
            else if (blankPageShown)
            {
                // Load the page again rather than going back: a page restored from the back-forward
                // cache would not run its scripts.
                blankPageShown = false;
                navigate (shownPageURL, nullptr);
            }
        }
        else if (unloadPageWhenHidden && pageRequested && ! blankPageShown)
        {
            // A hidden page may go on playing sound or burning CPU: park it on a blank page until the
            // component shows again.
            blankPageShown = true;
            juce::DynamicObject::Ptr fields (new juce::DynamicObject());
            fields->setProperty ("url", "about:blank");
            sendCommand ("load", fields);
        }
    }

    void WebViewComponent::performPendingNavigation()
    {
        const auto url = pendingURL;
        const auto headers = pendingHeaders;
        goToURL (url, &headers);
    }

    //==============================================================================
    void WebViewComponent::sendCommand (const juce::String& type, juce::DynamicObject::Ptr fields)
    {
        if (connection != nullptr)
            connection->send (makeCommand (type, fields));
    }

    void WebViewComponent::handleChildMessage (const juce::var& message)
    {
        const auto type = message["type"].toString();

        if (type == "message")
        {
            // Whatever the page posted, converted; a receiver that expects objects drops the rest.
            scriptMessageReceived (message["body"]);
        }
        else if (type == "decide")
        {
            // Every navigation waits in the child for this answer.
            const bool allow = pageAboutToLoad (message["url"].toString());
            juce::DynamicObject::Ptr fields (new juce::DynamicObject());
            fields->setProperty ("id", message["id"]);
            fields->setProperty ("allow", allow);
            sendCommand ("decision", fields);
        }
        else if (type == "finished")
        {
            const auto url = message["url"].toString();
            if (url != "about:blank")
                shownPageURL = url;
            pageFinishedLoading (url);
        }
        else if (type == "failed")
        {
            const auto errorText = message["error"].toString();
            if (pageLoadHadNetworkError (errorText))
                goToURL ("data:text/plain;charset=UTF-8," + errorText);
        }
        else if (type == "close")
        {
            windowCloseRequest();
        }
        else if (type == "newWindow")
        {
            newWindowAttemptingToLoad (message["url"].toString());
        }
        else if (type == "plug")
        {
            const auto windowId = (unsigned long) static_cast<juce::int64> (message["id"]);
            if (windowId != 0 && embedded == nullptr)
            {
                embedded = std::make_unique<juce::XEmbedComponent> (windowId, true, false);
                addAndMakeVisible (embedded.get());
                resized();
            }
        }
    }
} // namespace calbrix_webview
