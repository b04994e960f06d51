#pragma once

#include <juce_core/juce_core.h>

#include <memory>

class Calbrix;
class WorkerTether;

// Workers that were left inside a model call that did not come back, and what they may still
// reach: their pool (which runs them) and the model wrapper they are inside. Kept here, for the
// life of the program, instead of being freed under a running thread; each is one line in the log.
namespace AbandonedWork
{
    void keep (std::shared_ptr<WorkerTether> tether, std::unique_ptr<juce::ThreadPool> pool);
    void keep (std::unique_ptr<Calbrix> wrapper);

    bool anyKept();

    // The end of main() in a program that may have abandoned workers: once any worker was
    // abandoned, the program ends at once, without its static destructors, which would pull the
    // model runtime (and the framework) from under a thread that may still be inside it.
    int exitCode (int code);
}
