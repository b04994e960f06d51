// Test entry point: a real JUCE message manager for the whole run, as in the application.
#include <juce_events/juce_events.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <gtest/gtest.h>

#include "AbandonedWork.h"
#include "ModelCheckServer.h"
#include "WebViewChild.h"

#include <X11/Xlib.h>

#include <cstdio>
#include <cstdlib>

namespace
{
    int ignoreXError (Display*, XErrorEvent*) { return 0; }

    // JUCE sets Xlib up for threads and tolerates X errors only inside a JUCE application; a test
    // program does the same itself. Under a bare Xvfb no window manager has made the WM_STATE atom,
    // so it is made here, from a connection that stays open for the run.
    void prepareXlibAsTheApplicationDoes()
    {
        XInitThreads();
        XSetErrorHandler (ignoreXError);
        static Display* keeper = XOpenDisplay (nullptr);
        if (keeper != nullptr)
            XInternAtom (keeper, "WM_STATE", False);
    }
} // namespace

int main (int argc, char** argv)
{
    // A web view made by a test starts this executable again as its GTK child process.
    calbrix_webview::runChildProcessIfRequested (argc, argv);
    // Before any thread exists: the model checker is a fork of this process.
    ModelCheckServer::startFromMain (argc, argv);

    prepareXlibAsTheApplicationDoes();
    ::testing::InitGoogleTest (&argc, argv);
    const int result = [] { juce::ScopedJuceInitialiser_GUI juce; return RUN_ALL_TESTS(); }();
    // The results are out and the framework is shut down. The runtime's static teardown (its
    // operator registry, page by page of a process that forked its checker) costs seconds of CPU
    // per test program on a busy machine and checks nothing: skip it.
    AbandonedWork::exitCode (result);
    std::fflush (nullptr);
    std::_Exit (result);
}
