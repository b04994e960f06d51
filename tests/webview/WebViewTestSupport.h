#pragma once

#include "TestSupport.h"
#include "WebViewComponent.h"

#include <gtest/gtest.h>

#include <csignal>
#include <unistd.h>
#include <vector>

namespace calbrix_webview_test
{
    // A top-level window under Xvfb, so the web view inside it is showing.
    struct HostWindow : juce::Component
    {
        HostWindow()
        {
            setOpaque (true);
            setBounds (0, 0, 480, 360);
            addToDesktop (juce::ComponentPeer::windowIsTemporary);
            setVisible (true);
        }
        ~HostWindow() override { removeFromDesktop(); }

        void paint (juce::Graphics& g) override { g.fillAll (juce::Colours::black); }
        void resized() override
        {
            for (auto* child : getChildren())
                child->setBounds (getLocalBounds());
        }
    };

    // Startup of GTK, WebKit and its web process takes a while on a loaded machine.
    constexpr int pageTimeoutMs = 30000;

    // A folder of its own for the pages one test writes.
    struct PageFolder
    {
        PageFolder() { folder.createDirectory(); }
        ~PageFolder() { folder.deleteRecursively(); }

        juce::File write (const juce::String& name, const juce::String& html) const
        {
            auto file = folder.getChildFile (name);
            file.replaceWithText (html, false, false, "\n");
            return file;
        }

        // Unique per process and per folder: tests run in parallel processes that share /tmp.
        juce::File folder = juce::File::getSpecialLocation (juce::File::tempDirectory)
                                .getChildFile ("calbrix-webview-test-" + juce::String (::getpid()) + "-"
                                               + juce::String (nextFolderNumber()));

        static int nextFolderNumber()
        {
            static int number = 0;
            return ++number;
        }
    };

    inline juce::String fileUrl (const juce::File& file) { return "file://" + file.getFullPathName(); }

    // Page text that posts `script`'s messages once loaded.
    inline juce::String pageRunning (const juce::String& script)
    {
        return "<!doctype html><html><head><meta charset=\"utf-8\"><script>\n"
               "function post(m) { window.webkit.messageHandlers.juce.postMessage(m); }\n"
               + script + "\n</script></head><body>page</body></html>";
    }

    inline bool processExists (int pid)
    {
        return pid > 0 && ::kill (pid, 0) == 0;
    }
} // namespace calbrix_webview_test
