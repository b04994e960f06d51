#include "ChildConnection.h"
#include "PipeProtocol.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <poll.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

#ifndef CLOSE_RANGE_CLOEXEC
 #define CLOSE_RANGE_CLOEXEC (1U << 2)
#endif

extern char** environ;

namespace calbrix_webview
{
    namespace
    {
        void closeFd (int& fd)
        {
            if (fd >= 0)
                ::close (fd);
            fd = -1;
        }

        bool makePipe (int fds[2])
        {
            return ::pipe2 (fds, O_CLOEXEC) == 0;
        }

        juce::String selfExecutable()
        {
            char buffer[4096];
            const auto n = ::readlink ("/proc/self/exe", buffer, sizeof (buffer) - 1);
            if (n <= 0)
                return juce::File::getSpecialLocation (juce::File::currentExecutableFile).getFullPathName();
            buffer[n] = 0;
            return juce::String::fromUTF8 (buffer);
        }
    } // namespace

    size_t ChildConnection::queueByteLimit()
    {
        return 2 * (messageTextLimit() + (1u << 20));
    }

    ChildConnection::ChildConnection (Receiver r, size_t queueBound, const juce::StringArray& extraChildArguments)
        : receiver (std::move (r)), maxQueuedBytes (queueBound)
    {
        int commands[2] = { -1, -1 }, events[2] = { -1, -1 }, wakePipe[2] = { -1, -1 };

        if (! makePipe (commands) || ! makePipe (events) || ! makePipe (wakePipe))
        {
            for (auto fd : { commands[0], commands[1], events[0], events[1], wakePipe[0], wakePipe[1] })
                if (fd >= 0)
                    ::close (fd);
            return;
        }

        // Everything the child needs is built before fork: after it only async-signal-safe calls.
        const auto exe = selfExecutable().toStdString();
        const auto readArg = std::to_string (commands[0]);
        const auto writeArg = std::to_string (events[1]);
        std::vector<std::string> extraArgs;
        for (auto& argument : extraChildArguments)
            extraArgs.push_back (argument.toStdString());
        std::vector<char*> argv { const_cast<char*> (exe.c_str()), const_cast<char*> (childRoleArgument),
                                  const_cast<char*> (readArg.c_str()), const_cast<char*> (writeArg.c_str()) };
        for (auto& argument : extraArgs)
            argv.push_back (const_cast<char*> (argument.c_str()));
        argv.push_back (nullptr);

        std::vector<std::string> envStrings;
        for (auto** e = environ; e != nullptr && *e != nullptr; ++e)
            if (strncmp (*e, "NO_AT_BRIDGE=", 13) != 0 && strncmp (*e, "GDK_BACKEND=", 12) != 0)
                envStrings.emplace_back (*e);
        // XEmbed needs GTK's X11 backend; the accessibility bus is not wanted in an embedded view.
        envStrings.emplace_back ("GDK_BACKEND=x11");
        envStrings.emplace_back ("NO_AT_BRIDGE=1");
        std::vector<char*> envp;
        for (auto& s : envStrings)
            envp.push_back (const_cast<char*> (s.c_str()));
        envp.push_back (nullptr);

        const auto parentPid = ::getpid();
        const auto pid = ::fork();

        if (pid == 0)
        {
            // Other descriptors of this process (audio devices, the X connection) stay out of the child.
            ::syscall (SYS_close_range, 3u, ~0u, CLOSE_RANGE_CLOEXEC);
            ::fcntl (commands[0], F_SETFD, 0);
            ::fcntl (events[1], F_SETFD, 0);
            // A parent that dies without closing its pipes still takes the child with it.
            ::prctl (PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != parentPid)
                ::_exit (1);
            ::execve (argv[0], argv.data(), envp.data());
            ::_exit (127);
        }

        ::close (commands[0]);
        ::close (events[1]);

        if (pid < 0)
        {
            ::close (commands[1]);
            ::close (events[0]);
            ::close (wakePipe[0]);
            ::close (wakePipe[1]);
            return;
        }

        childPid = pid;
        toChild = commands[1];
        fromChild = events[0];
        wakeRead = wakePipe[0];
        wakeWrite = wakePipe[1];

        ::fcntl (toChild, F_SETFL, ::fcntl (toChild, F_GETFL) | O_NONBLOCK);
        ::fcntl (fromChild, F_SETFL, ::fcntl (fromChild, F_GETFL) | O_NONBLOCK);
        ::fcntl (wakeRead, F_SETFL, ::fcntl (wakeRead, F_GETFL) | O_NONBLOCK);
        ::fcntl (wakeWrite, F_SETFL, ::fcntl (wakeWrite, F_GETFL) | O_NONBLOCK);

        ioThread = std::thread ([this] { run(); });
    }

    ChildConnection::~ChildConnection()
    {
        stopping = true;
        wake();

        if (ioThread.joinable())
            ioThread.join();

        closeFd (toChild);
        closeFd (fromChild);

        // The child quits on end of file of its command pipe; give it a moment, then insist.
        if (childPid.load() > 0)
            reapChild (500, false);

        closeFd (wakeRead);
        closeFd (wakeWrite);
    }

    void ChildConnection::send (const juce::var& message)
    {
        if (lost || childPid.load() <= 0)
            return;

        const auto frame = encodeFrame (message);
        {
            const std::lock_guard<std::mutex> lock (outgoingLock);
            if (lost)
                return;
            if (outgoing.size() + frame.getSize() > maxQueuedBytes)
            {
                if (! std::exchange (droppingForAFullQueue, true))
                    std::cerr << "web view: its child reads no more; messages to it are dropped\n";
                return;
            }
            droppingForAFullQueue = false;
            auto* bytes = static_cast<const char*> (frame.getData());
            outgoing.insert (outgoing.end(), bytes, bytes + frame.getSize());
        }
        wake();
    }

    void ChildConnection::wake()
    {
        if (wakeWrite >= 0)
        {
            const char byte = 1;
            // A full wake pipe already guarantees a wake-up.
            [[maybe_unused]] auto ignored = ::write (wakeWrite, &byte, 1);
        }
    }

    void ChildConnection::forgetOutgoing()
    {
        const std::lock_guard<std::mutex> lock (outgoingLock);
        lost = true;
        std::vector<char>().swap (outgoing);
    }

    juce::String ChildConnection::reapChild (int graceMilliseconds, bool untilStopping)
    {
        // After SIGKILL a process ends at once unless it is stuck in the kernel; a child that does not
        // is left as it is rather than waited for without end.
        constexpr juce::uint32 killedWaitMilliseconds = 2000;

        const auto pid = childPid.load();
        if (pid <= 0)
            return "gone";

        const auto start = juce::Time::getMillisecondCounter();
        bool killed = false;

        for (;;)
        {
            int status = 0;
            const auto reaped = ::waitpid (pid, &status, WNOHANG);

            if (reaped == pid || (reaped < 0 && errno == ECHILD))
            {
                childPid = -1;
                if (reaped != pid)
                    return "gone";
                if (WIFSIGNALED (status))
                    return "killed by signal " + juce::String (WTERMSIG (status));
                return "exit code " + juce::String (WEXITSTATUS (status));
            }

            if (untilStopping && stopping)
                return {};

            const auto elapsed = juce::Time::getMillisecondCounter() - start;

            if (! killed && elapsed >= (juce::uint32) graceMilliseconds)
            {
                ::kill (pid, SIGKILL);
                killed = true;
            }
            else if (killed && elapsed >= (juce::uint32) graceMilliseconds + killedWaitMilliseconds)
            {
                std::cerr << "web view: child process " << pid << " does not end; it is left behind\n";
                childPid = -1;
                return "not ending";
            }

            ::usleep (2000);
        }
    }

    void ChildConnection::run()
    {
        pthread_setname_np (pthread_self(), ioThreadName);

        // A write to a pipe whose reader is gone must fail with EPIPE rather than raise SIGPIPE, which
        // would end the whole application. This thread is the only one that writes to the child, so
        // blocking the signal here covers every such write, whatever the host does with the signal.
        sigset_t brokenPipe;
        sigemptyset (&brokenPipe);
        sigaddset (&brokenPipe, SIGPIPE);
        pthread_sigmask (SIG_BLOCK, &brokenPipe, nullptr);

        FrameDecoder decoder;
        std::vector<juce::var> messages;
        std::vector<char> writing;
        size_t written = 0;
        bool childGone = false;
        char buffer[65536];

        while (! stopping && ! childGone)
        {
            if (written == writing.size())
            {
                writing.clear();
                written = 0;
                const std::lock_guard<std::mutex> lock (outgoingLock);
                writing.swap (outgoing);
            }

            pollfd fds[3] = { { fromChild, POLLIN, 0 }, { wakeRead, POLLIN, 0 },
                              { toChild, (short) (written < writing.size() ? POLLOUT : 0), 0 } };

            if (::poll (fds, 3, -1) < 0)
            {
                if (errno == EINTR)
                    continue;
                childGone = true;
                break;
            }

            if (fds[1].revents & POLLIN)
                while (::read (wakeRead, buffer, sizeof (buffer)) > 0) {}

            // An error on the command pipe means its reader is gone: nothing more is written to it,
            // even when the same poll also reported it writable.
            if (fds[2].revents & (POLLERR | POLLHUP | POLLNVAL))
            {
                childGone = true;
            }
            else if (fds[2].revents & POLLOUT)
            {
                const auto n = ::write (toChild, writing.data() + written, writing.size() - written);
                if (n > 0)
                    written += (size_t) n;
                else if (n < 0 && errno != EAGAIN && errno != EINTR)
                    childGone = true;
            }

            if (fds[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))
            {
                for (;;)
                {
                    const auto n = ::read (fromChild, buffer, sizeof (buffer));
                    if (n > 0)
                    {
                        if (! decoder.append (buffer, (size_t) n))
                        {
                            childGone = true;
                            break;
                        }
                        continue;
                    }
                    if (n == 0 || (errno != EAGAIN && errno != EINTR))
                        childGone = true;
                    break;
                }

                decoder.takeMessages (messages);
                for (auto& message : messages)
                    if (receiver.message)
                        receiver.message (std::move (message));
                messages.clear();
            }
        }

        if (stopping)
            return;

        // The child is gone or going (it closes its pipes only as it ends): nothing is kept for it
        // any more, and it is reaped before the owner hears of it, so that no id of a dead process
        // is handed out and no zombie stays.
        std::vector<char>().swap (writing);
        forgetOutgoing();
        const auto howItEnded = reapChild (1000, true);

        if (stopping)
            return;

        if (receiver.connectionLost)
            receiver.connectionLost (howItEnded);

        // Nothing more can come; wait only for the owner to stop this thread.
        while (! stopping)
        {
            pollfd w { wakeRead, POLLIN, 0 };
            ::poll (&w, 1, -1);
            while (::read (wakeRead, buffer, sizeof (buffer)) > 0) {}
        }
    }
} // namespace calbrix_webview
