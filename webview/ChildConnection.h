#pragma once

// Parent end of the web view's child process: starts the child, owns the two pipes and runs the one
// I/O thread that writes queued commands and reads the child's messages.

#include <juce_core/juce_core.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace calbrix_webview
{
    class ChildConnection
    {
    public:
        // Called on the I/O thread with each decoded message, and once with `connectionLost` when the
        // child closes its end or dies, after it has been reaped, with how it ended ("exit code 0",
        // "killed by signal 9"). The receiver must not block: it posts to the message thread.
        struct Receiver
        {
            std::function<void (juce::var)> message;
            std::function<void (const juce::String& howItEnded)> connectionLost;
        };

        // Starts the child (this same executable, with the child's arguments, then
        // `extraChildArguments`). On failure the connection stays closed: `isRunning` is false and
        // sends are dropped. At most `maxQueuedBytes` of messages wait for the child (see `send`).
        explicit ChildConnection (Receiver receiver, size_t maxQueuedBytes = queueByteLimit(),
                                  const juce::StringArray& extraChildArguments = {});

        // Stops the I/O thread, closes the command pipe (the child exits on end of file) and reaps
        // the child, killing it if it has not gone within a short grace period.
        ~ChildConnection();

        // False once the child has been reaped (or could not be started): its id is then -1.
        bool isRunning() const noexcept { return childPid.load() > 0; }
        pid_t getChildPid() const noexcept { return childPid.load(); }

        // Queues one message for the child; never blocks on the pipe. Any thread. Once the child is
        // gone, messages are dropped rather than kept; so are those that would take what waits past
        // maxQueuedBytes (a child that has stopped reading), with one error line per run of them.
        void send (const juce::var& message);

        // What may wait by default: two of the largest messages (a page that reads large files
        // one after another), from the machine's memory as the messages' own limit is.
        static size_t queueByteLimit();

        // The arguments that make an executable run the child role; used by `isChildInvocation`.
        static constexpr const char* childRoleArgument = "--calbrix-webview-child";
        // The I/O thread's name, as tools that list threads show it.
        static constexpr const char* ioThreadName = "webview-io";

    private:
        void run();
        void wake();
        void forgetOutgoing();
        juce::String reapChild (int graceMilliseconds, bool untilStopping);

        Receiver receiver;
        std::atomic<pid_t> childPid { -1 };
        int toChild = -1, fromChild = -1;
        int wakeRead = -1, wakeWrite = -1;

        std::mutex outgoingLock;
        std::vector<char> outgoing;
        const size_t maxQueuedBytes;
        bool droppingForAFullQueue = false;
        std::atomic<bool> lost { false };
        std::atomic<bool> stopping { false };
        std::thread ioThread;

        JUCE_DECLARE_NON_COPYABLE (ChildConnection)
    };
} // namespace calbrix_webview
