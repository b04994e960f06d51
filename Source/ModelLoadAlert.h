#pragma once

#include <juce_core/juce_core.h>

// Puts up the "Error: Model Loading Failed" box on the message thread. Called from the loading
// worker; it waits a bounded time for the box to be up, so a message thread that is busy waiting
// for the worker (teardown, a new load request) cannot deadlock with it.
void showModelLoadFailure (const juce::String& errorText);
