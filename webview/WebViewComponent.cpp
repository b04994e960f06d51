#include "WebViewComponent.h"
#include "ChildConnection.h"

#include <algorithm>
#include <iostream>

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

        // "%" followed by two hexadecimal digits becomes the byte they give; nothing else changes
        // ("+" stays "+", "#" and "?" stay where they are).
        juce::String percentDecoded (const juce::String& text)
        {
            const auto* bytes = text.toRawUTF8();
            const auto length = text.getNumBytesAsUTF8();
            const auto hex = [] (char c) { return juce::CharacterFunctions::getHexDigitValue ((juce::juce_wchar) (unsigned char) c); };
            juce::MemoryOutputStream decoded;

            for (size_t i = 0; i < length; ++i)
            {
                if (bytes[i] == '%' && i + 2 < length && hex (bytes[i + 1]) >= 0 && hex (bytes[i + 2]) >= 0)
                {
                    decoded.writeByte ((char) (hex (bytes[i + 1]) * 16 + hex (bytes[i + 2])));
                    i += 2;
                }
                else
                {
                    decoded.writeByte (bytes[i]);
                }
            }

            return juce::String::fromUTF8 (static_cast<const char*> (decoded.getData()), (int) decoded.getDataSize());
        }

        bool namesAFile (const juce::String& path)
        {
            return juce::File::isAbsolutePath (path) && juce::File (path).exists();
        }

        // "file://" followed by a path names that path as it stands: "#", "?", "%" and "+" belong to
        // file names here, not to URL syntax, so the page loaded and any error about it name the real
        // file. Only when no file has that name but the percent-decoded text names one is the URL read
        // as escaped (as juce::URL and the engine write file URLs).
        juce::String localPathOfFileUrl (const juce::String& url)
        {
            auto path = url.substring (5); // after "file:"
            if (path.startsWith ("//"))
                path = path.substring (2);

            if (namesAFile (path))
                return path;

            const auto decoded = percentDecoded (path);
            return decoded != path && namesAFile (decoded) ? decoded : path;
        }

        // The error text as a plain-text page; escaped whole, so no character of it is read as URL
        // syntax ("#" would end the text, "%" would start an escape).
        juce::String errorPageUrlFor (const juce::String& errorText)
        {
            return "data:text/plain;charset=UTF-8," + juce::URL::addEscapeChars (errorText, false);
        }

        // The child's window; what JUCE paints of it (light grey) shows only until that window is
        // mapped, and then through nothing but its cut-away parts.
        struct EmbeddedView : juce::XEmbedComponent
        {
            EmbeddedView (unsigned long window, juce::Colour colour)
                : juce::XEmbedComponent (window, true, false), background (colour)
            {
                setOpaque (true);
            }

            void paint (juce::Graphics& g) override { g.fillAll (background); }

            const juce::Colour background;
        };
    } // namespace

    WebViewComponent::WebViewComponent (bool shouldUnloadPageWhenHidden, ChildRestartLimit limit, juce::Colour background)
        : unloadPageWhenHidden (shouldUnloadPageWhenHidden),
          restartLimit (limit),
          backgroundColour (background.withAlpha (1.0f))
    {
        setOpaque (true);

        stoppedNotice.setText ("The interface stopped; close and reopen the window to retry", juce::dontSendNotification);
        stoppedNotice.setJustificationType (juce::Justification::centred);
        stoppedNotice.setColour (juce::Label::textColourId, backgroundColour.contrasting());
        addChildComponent (stoppedNotice);

        startChild();
    }

    WebViewComponent::~WebViewComponent()
    {
        leaveUncovered (nullptr);
        cancelPendingUpdate();

        // The embedded window belongs to the child: let go of it before the child goes away.
        if (embedded != nullptr)
            embedded->removeClient();
        embedded.reset();
        connection.reset();
    }

    void WebViewComponent::startChild()
    {
        const auto generation = ++childGeneration;

        // The I/O thread may only post: a SafePointer decides on the message thread whether the
        // component still exists when the message gets there, and the generation whether the child
        // that sent it is still the current one.
        juce::Component::SafePointer<WebViewComponent> safeThis (this);

        ChildConnection::Receiver receiver;
        receiver.message = [safeThis, generation] (juce::var message)
        {
            juce::MessageManager::callAsync ([safeThis, generation, message]
            {
                if (auto* self = safeThis.getComponent())
                    if (self->childGeneration == generation)
                        self->handleChildMessage (message);
            });
        };
        receiver.connectionLost = [safeThis, generation] (const juce::String& howItEnded)
        {
            juce::MessageManager::callAsync ([safeThis, generation, howItEnded]
            {
                if (auto* self = safeThis.getComponent())
                    self->childEnded (generation, howItEnded);
            });
        };

        connection = std::make_unique<ChildConnection> (std::move (receiver), ChildConnection::queueByteLimit(),
                                                       juce::StringArray { backgroundColour.toString() });

        if (! connection->isRunning())
        {
            std::cerr << "web view: could not start its child process\n";
            stopForGood();
        }
    }

    void WebViewComponent::childEnded (int generation, const juce::String& howItEnded)
    {
        if (generation != childGeneration)
            return;

        // Its window went with it; the connection has reaped it and only waits to be let go.
        embedded.reset();
        embeddedWindow = 0;
        connection.reset();

        const auto now = juce::Time::getMillisecondCounter();
        recentDeaths.erase (std::remove_if (recentDeaths.begin(), recentDeaths.end(),
                                            [&] (juce::uint32 died) { return now - died > (juce::uint32) restartLimit.withinMilliseconds; }),
                            recentDeaths.end());
        recentDeaths.push_back (now);

        if ((int) recentDeaths.size() >= restartLimit.deaths)
        {
            std::cerr << "web view: its child process ended (" << howItEnded << "), " << recentDeaths.size()
                      << " times in a short while; no new one is started\n";
            stopForGood();
            return;
        }

        std::cerr << "web view: its child process ended (" << howItEnded << "); starting a new one\n";
        startChild();

        if (connection == nullptr)
            return;

        // The new child shows nothing yet: the page it had is loaded again, now or when the
        // component next shows, and starts as on a first load.
        if (pageRequested)
        {
            if (unloadPageWhenHidden && ! isShowing())
                blankPageShown = true;
            else
                loadShownPageAgain();
        }
    }

    void WebViewComponent::stopForGood()
    {
        embedded.reset();
        embeddedWindow = 0;
        connection.reset();
        stoppedNotice.setVisible (true);
        resized();
        repaint();
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
        shownPageIsEngineURL = false;
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

    void WebViewComponent::loadShownPageAgain()
    {
        if (! shownPageIsEngineURL)
        {
            navigate (shownPageURL, nullptr);
            return;
        }

        // Already an escaped URI: handed to the engine as it is.
        pageRequested = true;
        sendCommand ("stop");
        juce::DynamicObject::Ptr fields (new juce::DynamicObject());
        fields->setProperty ("url", shownPageURL);
        sendCommand ("load", fields);
    }

    void WebViewComponent::showErrorPage (const juce::String& errorText)
    {
        // In place of the page, which stays the one to load again.
        errorPageURL = errorPageUrlFor (errorText);
        juce::DynamicObject::Ptr fields (new juce::DynamicObject());
        fields->setProperty ("url", errorPageURL);
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
        // Seen until the child's window is embedded, and behind the notice once no child is left.
        g.fillAll (backgroundColour);
    }

    void WebViewComponent::resized()
    {
        stoppedNotice.setBounds (getLocalBounds().reduced (16));

        if (embedded != nullptr)
        {
            embedded->setBounds (getLocalBounds());
            embedded->updateEmbeddedBounds();
        }

        triggerAsyncUpdate();
    }

    void WebViewComponent::parentHierarchyChanged() { checkWindowAssociation(); triggerAsyncUpdate(); }
    void WebViewComponent::visibilityChanged()      { checkWindowAssociation(); triggerAsyncUpdate(); }

    //==============================================================================
    void WebViewComponent::leaveUncovered (juce::Component* component)
    {
        if (auto* previous = uncovered.getComponent())
            previous->removeComponentListener (this);

        uncovered = component;

        if (component != nullptr)
            component->addComponentListener (this);

        triggerAsyncUpdate();
    }

    void WebViewComponent::componentMovedOrResized (juce::Component&, bool, bool) { triggerAsyncUpdate(); }
    void WebViewComponent::componentVisibilityChanged (juce::Component&)         { triggerAsyncUpdate(); }

    void WebViewComponent::componentBeingDeleted (juce::Component& component)
    {
        component.removeComponentListener (this);
        uncovered = nullptr;
        triggerAsyncUpdate();
    }

    juce::Rectangle<int> WebViewComponent::uncoveredAreaInPhysicalPixels() const
    {
        auto* component = uncovered.getComponent();
        auto* peer = getPeer();
        if (component == nullptr || peer == nullptr || ! component->isShowing())
            return {};

        // The embedded window covers this component exactly.
        const auto area = getLocalArea (component, component->getLocalBounds()).getIntersection (getLocalBounds());
        if (area.isEmpty())
            return {};

        const auto scale = (float) peer->getPlatformScaleFactor();
        return (area.toFloat() * scale).getSmallestIntegerContainer();
    }

    void WebViewComponent::handleAsyncUpdate()
    {
        // Runs after JUCE has placed the embedded window for this layout; the round trips of
        // updateEmbeddedBounds bring JUCE's own requests to the server before this connection's.
        if (embedded == nullptr || embeddedWindow == 0 || ! isShowing())
            return;

        if (auto* peer = getPeer())
        {
            embedded->updateEmbeddedBounds();
            const bool done = embeddingWindow.update (embeddedWindow, (unsigned long) (juce::pointer_sized_uint) peer->getNativeHandle(),
                                                      backgroundColour.getARGB(), uncoveredAreaInPhysicalPixels());

            // JUCE's last painting there was clipped away by the embedded window; now that the
            // server has cut it away, what shows through is painted again.
            if (done)
                if (auto* component = uncovered.getComponent())
                    component->repaint();
        }
    }

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
                loadShownPageAgain();
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
            if (url != "about:blank" && url != errorPageURL)
            {
                shownPageURL = url;
                shownPageIsEngineURL = true;
            }
            pageFinishedLoading (url);
        }
        else if (type == "failed")
        {
            const auto errorText = message["error"].toString();
            if (pageLoadHadNetworkError (errorText))
                showErrorPage (errorText);
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
                embedded = std::make_unique<EmbeddedView> (windowId, backgroundColour);
                embeddedWindow = windowId;
                addAndMakeVisible (embedded.get());
                resized();
            }
        }
    }
} // namespace calbrix_webview
