#pragma once

#include <mutex>
#include <string>

class ModelSnapshot;

// One processor's checking session (see ModelCheckServer): has a snapshot read by a process of its
// own before the application loads it, so that a file that crashes the runtime's loader is refused
// instead of ending the application.
class ModelFileCheck
{
public:
    enum class Outcome
    {
        safeToLoad,    // read cleanly, or refused with an ordinary error that the load reports itself
        crashesLoader, // the reader crashed, or no reader could be had: `description` says why
        readerKilled,  // something outside (the out-of-memory killer, say) ended the reader
        cancelled,     // the cancel descriptor became readable first
        notChecked     // this program started no checking server
    };

    ModelFileCheck() = default;
    ~ModelFileCheck();

    // Blocks until the reader is done or `cancelDescriptor` becomes readable; a cancelled check
    // ends its session, which kills the reader. There is no time limit: a large model takes as
    // long as it takes, and the load that waits here can always be cancelled.
    Outcome check (const ModelSnapshot& snapshot, int cancelDescriptor, std::string& description);

    // Whether a load must not read a file that had this outcome.
    static bool refuses (Outcome outcome) { return outcome == Outcome::crashesLoader || outcome == Outcome::readerKilled; }

private:
    // False when the session went away before it answered.
    bool askSession (const ModelSnapshot&, int cancelDescriptor, Outcome&, std::string& description);
    void closeSession();

    std::mutex lock;
    int session = -1;

    ModelFileCheck (const ModelFileCheck&) = delete;
    ModelFileCheck& operator= (const ModelFileCheck&) = delete;
};
