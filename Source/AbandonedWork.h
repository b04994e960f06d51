#pragma once

#include <juce_core/juce_core.h>

#include <memory>
#include <string>

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

    // Model files with a call that did not come back, for the rest of the run: such a model is not
    // called again, and a load of the same file (same path, size and modification time; a file
    // rewritten since is tried again) is refused. Any thread.
    std::string fileIdentity (const juce::File& file);
    void refuseModel (const std::string& identity);
    bool isRefused (const std::string& identity);

    // The end of main() in a program that may have abandoned workers: once any worker was
    // abandoned, the program ends at once, without its static destructors, which would pull the
    // model runtime (and the framework) from under a thread that may still be inside it.
    int exitCode (int code);
}
