#pragma once

#include "TestSupport.h"
#include "TestWaits.h"
#include "WebViewComponent.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <sys/wait.h>
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

    namespace waits = calbrix_test::waits;

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

    // True also for a zombie: a child that has died but was not reaped still exists.
    inline bool processExists (int pid)
    {
        return pid > 0 && ::kill (pid, 0) == 0;
    }

    // Whether a child of this process has ended, every thread of it, without reaping it: true for
    // a zombie, false once it has been reaped.
    inline bool childHasEnded (int pid)
    {
        siginfo_t info {};
        return pid > 0 && ::waitid (P_PID, (id_t) pid, &info, WEXITED | WNOWAIT | WNOHANG) == 0 && info.si_pid == pid;
    }

    // Whether a dead child of a view is gone as the view promises: reaped, or, where it took longer to
    // end than the view waits for it (a loaded machine), ended and named in the view's error line
    // about leaving it behind. `errors` holds what was written to the standard error descriptor.
    inline bool reapedOrLeftBehind (int pid, const juce::String& errors)
    {
        if (! processExists (pid))
            return true;
        return errors.contains ("child process " + juce::String (pid) + " does not end; it is left behind") && childHasEnded (pid);
    }

    // SIGKILL for one process of the test's own. A pid of 0, -1 or below would signal a whole
    // process group or every process there is: refused.
    inline void killProcess (int pid)
    {
        if (pid <= 1)
        {
            ADD_FAILURE() << "refusing to kill pid " << pid;
            return;
        }
        ::kill (pid, SIGKILL);
    }

    // A write to a pipe whose reader is gone raises SIGPIPE; with the default disposition that ends
    // the process, which is what a test of such writes must be able to see.
    inline void expectBrokenPipesWouldBeFatal()
    {
        struct sigaction action {};
        ASSERT_EQ (::sigaction (SIGPIPE, nullptr, &action), 0);
        ASSERT_EQ (action.sa_handler, SIG_DFL);
        sigset_t blocked;
        ASSERT_EQ (::pthread_sigmask (SIG_BLOCK, nullptr, &blocked), 0);
        ASSERT_FALSE (sigismember (&blocked, SIGPIPE));
    }

    // Entries of a /proc folder of this process ("fd", "task").
    inline int countProcEntries (const char* folder)
    {
        return juce::File ("/proc/self").getChildFile (folder).getNumberOfChildFiles (juce::File::findFilesAndDirectories);
    }
    inline int countOpenDescriptors() { return countProcEntries ("fd"); }
    inline int countThreads()         { return countProcEntries ("task"); }

    // The first direct child of `pid` whose command name starts with `name` (names are cut at 15
    // characters), or -1.
    inline int childProcessNamed (int pid, const juce::String& name)
    {
        const auto children = juce::File ("/proc/" + juce::String (pid) + "/task/" + juce::String (pid) + "/children").loadFileAsString();
        for (auto& child : juce::StringArray::fromTokens (children, " \n", ""))
            if (juce::File ("/proc/" + child + "/comm").loadFileAsString().startsWith (name.substring (0, 15)))
                return child.getIntValue();
        return -1;
    }

    // Sends everything written to the standard error descriptor (this process's and that of the
    // children started meanwhile, which inherit it) to a file while it exists.
    struct CapturedErrorDescriptor
    {
        CapturedErrorDescriptor()
        {
            std::fflush (stderr);
            saved = ::dup (2);
            const auto fd = ::open (file.getFullPathName().toRawUTF8(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
            ::dup2 (fd, 2);
            ::close (fd);
        }
        ~CapturedErrorDescriptor()
        {
            std::fflush (stderr);
            ::dup2 (saved, 2);
            ::close (saved);
            file.deleteFile();
        }
        juce::String text() const { return file.loadFileAsString(); }

        juce::File file = juce::File::getSpecialLocation (juce::File::tempDirectory)
                              .getChildFile ("calbrix-stderr-" + juce::String (::getpid()) + "-" + juce::String (juce::Random::getSystemRandom().nextInt64()));
        int saved = -1;
    };
} // namespace calbrix_webview_test
