// Test entry point: a real JUCE message manager for the whole run, as in the application.
#include <juce_events/juce_events.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <gtest/gtest.h>

#include "WebViewChild.h"

int main (int argc, char** argv)
{
    // A web view made by a test starts this executable again as its GTK child process.
    calbrix_webview::runChildProcessIfRequested (argc, argv);

    ::testing::InitGoogleTest (&argc, argv);
    juce::ScopedJuceInitialiser_GUI juce;
    return RUN_ALL_TESTS();
}
