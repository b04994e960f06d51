#pragma once

#include <juce_core/juce_core.h>

// The groups of figures the benchmark prints (see scripts/bench).
namespace calbrix_bench
{
    // Alternating between the two example models through the page, `switches` times.
    void modelSwitchFigures (int switches);
    // Picking a generated model of about 1 GB: from the request to its audio.
    void largeModelLoadFigure (const juce::File& largeModel);
    // `blocks` blocks of 64 at 48 kHz with a model that never keeps up.
    void lateModelFigures (int blocks);
    // Destroying a processor whose model call does not come back.
    void stuckModelTeardownFigure();
    // The page saving and reading a file of 100 MiB: how long the message thread is held up.
    void fileRequestFigures();
    // Threads still busy after five model calls in a row that did not come back.
    void abandonedThreadsFigure();
}
