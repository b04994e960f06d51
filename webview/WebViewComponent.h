#pragma once

// The native web view on Linux: a WebKitGTK view running in a child process of its own and embedded
// here through XEmbed, with a script-message channel: whatever the page posts to
// `window.webkit.messageHandlers.juce.postMessage(...)` reaches `scriptMessageReceived` on the
// message thread. Any executable that creates one must call `runChildProcessIfRequested` first thing
// in its `main` (see WebViewChild.h): the child is this same executable started with other arguments.
//
// When the child dies (killed, crashed, out of memory, or its WebKit web process died), the component
// reaps it, starts a new one and loads the page it showed again; the page starts afresh, as on a
// first load. A child that keeps dying is not started again: a plain notice takes the page's place.
//
// Whatever shows before the page paints (the component itself, the embedded window, GTK's window,
// WebKit's view) has the background colour given to the constructor: a page whose own background
// is that colour never flashes another one, at start, after a restart or where a window above it
// closed.

#include "EmbeddingWindow.h"
#include "WebViewPreferences.h"

#include <juce_gui_extra/juce_gui_extra.h>

#include <cstdint>
#include <memory>

namespace calbrix_webview
{
    class ChildConnection;

    // The component stops starting new children once `deaths` of them have died within
    // `withinMilliseconds`.
    struct ChildRestartLimit
    {
        int deaths = 3;
        int withinMilliseconds = 10000;
    };

    class WebViewComponent : public juce::Component,
                             private juce::ComponentListener,
                             private juce::AsyncUpdater
    {
    public:
        // With `unloadPageWhenHidden` the page is swapped for "about:blank" while the component is not
        // showing and brought back when it shows; without it the page stays loaded and running.
        // `backgroundColour` is what shows wherever the page has not painted (yet).
        explicit WebViewComponent (bool unloadPageWhenHidden = true, ChildRestartLimit restartLimit = {},
                                   juce::Colour backgroundColour = juce::Colours::white);
        ~WebViewComponent() override;

        // The native view covers everything JUCE paints over this component. Where `component` (one
        // painted over this one, such as the editor's resizable corner) is, the native view is cut
        // away, so that component shows and takes the mouse there; it follows the component's
        // moves, size and visibility. nullptr: nothing is cut away.
        void leaveUncovered (juce::Component* component);

        // Loads a URL. A URL starting with "javascript:" (after leading white space, any letter case)
        // instead runs the text after its first ":" in the current page; nothing is loaded. A "file:"
        // URL is loaded as the local file it names. A navigation asked for while the component is not
        // showing is made when it next shows. Post data is not sent: the engine here cannot post from
        // a plain load.
        void goToURL (const juce::String& url,
                      const juce::StringArray* headers = nullptr,
                      const juce::MemoryBlock* postData = nullptr);

        void stop();
        void goBack();
        void goForward();
        void refresh();

        // Called before each navigation of the page (main frame and sub-frames) with its absolute,
        // percent-escaped URL. Return false to cancel it. Default: true.
        virtual bool pageAboutToLoad (const juce::String& newURL);
        // Called when a page has finished loading.
        virtual void pageFinishedLoading (const juce::String& url);
        // Called when a page failed to load; return true to show the error text in place of the page.
        virtual bool pageLoadHadNetworkError (const juce::String& errorInfo);
        // Called when the page asks for its window to close (window.close()).
        virtual void windowCloseRequest();
        // Called when the page tries to open a new window; no window is opened.
        virtual void newWindowAttemptingToLoad (const juce::String& newURL);
        // Called once for each message posted to the "juce" handler, with the posted object converted:
        // objects and arrays keep their structure, strings stay strings, numbers and booleans arrive as
        // their text (true as "1", false as "0"), null, undefined and dates as the void var. Bodies that
        // are not objects are delivered converted the same way. Default: ignores it.
        virtual void scriptMessageReceived (juce::var message);

        // The child process's id, or -1 while there is none (it could not be started, or it died and
        // no new one was started); for diagnostics and tests.
        int getChildProcessId() const noexcept;

        /** @internal */
        void paint (juce::Graphics&) override;
        /** @internal */
        void resized() override;
        /** @internal */
        void parentHierarchyChanged() override;
        /** @internal */
        void visibilityChanged() override;

    private:
        void componentMovedOrResized (juce::Component&, bool wasMoved, bool wasResized) override;
        void componentVisibilityChanged (juce::Component&) override;
        void componentBeingDeleted (juce::Component&) override;
        void handleAsyncUpdate() override;
        juce::Rectangle<int> uncoveredAreaInPhysicalPixels() const;

        void startChild();
        void childEnded (int generation, const juce::String& howItEnded);
        void stopForGood();
        void handleChildMessage (const juce::var& message);
        void sendCommand (const juce::String& type, juce::DynamicObject::Ptr fields = nullptr);
        void checkWindowAssociation();
        void navigate (const juce::String& url, const juce::StringArray* headers);
        void loadShownPageAgain();
        void showErrorPage (const juce::String& errorText);
        void performPendingNavigation();

        const bool unloadPageWhenHidden;
        const ChildRestartLimit restartLimit;
        const juce::Colour backgroundColour;
        juce::String pendingURL;
        juce::StringArray pendingHeaders;
        juce::MemoryBlock pendingPostData;
        bool blankPageShown = false;
        bool pageRequested = false;
        // The page to load again after the blank page or a new child: as asked for by the owner, or,
        // once it has loaded, as the engine reported it (then an escaped URI).
        juce::String shownPageURL;
        bool shownPageIsEngineURL = false;
        juce::String errorPageURL;

        std::unique_ptr<juce::XEmbedComponent> embedded;
        unsigned long embeddedWindow = 0;
        EmbeddingWindow embeddingWindow;
        juce::Component::SafePointer<juce::Component> uncovered;
        std::unique_ptr<ChildConnection> connection;
        // Messages of a child that has been replaced are not mistaken for the new one's.
        int childGeneration = 0;
        std::vector<juce::uint32> recentDeaths;
        juce::Label stoppedNotice;

        JUCE_DECLARE_NON_COPYABLE (WebViewComponent)
    };
} // namespace calbrix_webview
