#include "SnapshotModuleLoader.h"

#include "ModelCheckServer.h"
#include "SocketMessages.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <string>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace
{
    constexpr const char* keeperArgument = "--calbrix-model-check-server";
    // Where a keeper started as this executable finds its socket.
    constexpr int keeperSocket = 3;
    // Without a process descriptor (an old kernel), how often a session looks at its reader.
    constexpr int readerLookMs = 20;

    enum Request : char
    {
        newServer = 'N',  // program to keeper, with the server's socket
        newSession = 'S', // program to server, with the session's socket
    };

    std::mutex linkLock;
    int keeperLink = -1;  // this program's end of the keeper's socket
    pid_t keeperProcess = -1;
    int serverLink = -1;  // this program's end of the current server's socket
    bool keeperStarted = false;

    void quietStandardStreams()
    {
        const int null = ::open ("/dev/null", O_RDWR);
        for (int stream = 0; stream <= 2; ++stream)
            ::dup2 (null, stream);
        if (null > 2)
            ::close (null);
    }

    // A child of a process with one thread: ends with its parent, whatever ends the parent.
    void becomeChild (pid_t parent, const char* name)
    {
        ::prctl (PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit (0);
        ::prctl (PR_SET_NAME, name);
    }

    void reap (pid_t child)
    {
        while (::waitpid (child, nullptr, 0) < 0 && errno == EINTR)
        {
        }
    }

    // A reader: reads one snapshot as the application's load will, and ends. Exit status 0: it
    // loads and lists its methods; 1: the runtime refused it with an error of its own. A file
    // that crashes the runtime ends this process by that signal instead.
    [[noreturn]] void runReader (int snapshot)
    {
        // Under memory pressure a reader is the first process to go, never the application.
        if (const int adjust = ::open ("/proc/self/oom_score_adj", O_WRONLY); adjust >= 0)
        {
            [[maybe_unused]] const auto written = ::write (adjust, "1000", 4);
            ::close (adjust);
        }

        struct stat info {};
        if (::fstat (snapshot, &info) != 0)
            ::_exit (2);

        try
        {
            c10::InferenceMode guard;
            auto module = loadModuleFromSnapshot (snapshot, static_cast<uint64_t> (info.st_size));
            module.train (false);
            listModuleMethods (module);
            ::_exit (0);
        }
        catch (...)
        {
            ::_exit (1);
        }
    }

    // Waits until the reader ends (true, with its wait status) or the client closes its end of
    // the socket (false, once the reader has been killed and reaped). Watching the socket all
    // along is what lets a cancelled check end a reader that would never end by itself.
    bool awaitReader (int socket, pid_t reader, int& status)
    {
        const int readerEnd = static_cast<int> (::syscall (SYS_pidfd_open, reader, 0));
        bool ended = false, clientGone = false;
        while (! ended && ! clientGone)
        {
            pollfd waits[] = { { socket, POLLIN, 0 }, { readerEnd, POLLIN, 0 } };
            const int ready = ::poll (waits, readerEnd >= 0 ? 2 : 1, readerEnd >= 0 ? -1 : readerLookMs);
            if (ready < 0 && errno != EINTR)
                clientGone = true;

            pid_t done = -1;
            while ((done = ::waitpid (reader, &status, WNOHANG)) < 0 && errno == EINTR)
            {
            }
            ended = done == reader;

            // During a check the client only ever closes its end; anything else is treated alike.
            if (! ended && ready > 0 && waits[0].revents != 0)
                clientGone = true;
        }

        if (readerEnd >= 0)
            ::close (readerEnd);
        if (ended)
            return true;

        ::kill (reader, SIGKILL); // still our unreaped child: the id cannot name another process
        reap (reader);
        return false;
    }

    // A session: one check at a time for one client, each in a reader of its own.
    [[noreturn]] void runSession (int socket)
    {
        for (;;)
        {
            char tag = 0;
            int snapshot = -1;
            if (! SocketMessages::receive (socket, tag, nullptr, &snapshot))
                ::_exit (0);
            if (tag != ModelCheckServer::checkRequest || snapshot < 0)
            {
                if (snapshot >= 0)
                    ::close (snapshot);
                continue;
            }

            const pid_t session = ::getpid();
            const pid_t reader = ::fork();
            if (reader == 0)
            {
                ::close (socket);
                becomeChild (session, ModelCheckServer::readerName);
                runReader (snapshot);
            }
            ::close (snapshot);

            int status = -1;
            if (reader > 0)
            {
                if (! SocketMessages::send (socket, ModelCheckServer::readerStarted, reader))
                {
                    ::kill (reader, SIGKILL);
                    reap (reader);
                    ::_exit (0);
                }
                if (! awaitReader (socket, reader, status))
                    ::_exit (0); // the reader is gone with its client
            }
            if (! SocketMessages::send (socket, ModelCheckServer::readerEnded, status))
                ::_exit (0);
        }
    }

    // Sessions are reaped by the system as they end.
    void reapChildrenAutomatically()
    {
        ::signal (SIGCHLD, SIG_IGN);
        ::signal (SIGPIPE, SIG_IGN);
    }

    // The server: forks a session for every socket it is sent, until the program's end closes.
    [[noreturn]] void runServer (int socket)
    {
        reapChildrenAutomatically();

        for (;;)
        {
            char tag = 0;
            int sessionSocket = -1;
            if (! SocketMessages::receive (socket, tag, nullptr, &sessionSocket))
                ::_exit (0);
            if (sessionSocket < 0)
                continue;

            const pid_t server = ::getpid();
            const pid_t session = ::fork();
            if (session == 0)
            {
                ::signal (SIGCHLD, SIG_DFL); // a session waits for its readers
                ::close (socket);
                becomeChild (server, ModelCheckServer::sessionName);
                runSession (sessionSocket);
            }
            ::close (sessionSocket);
        }
    }

    // The keeper: forks a server for every socket it is sent, until the program's end closes.
    [[noreturn]] void runKeeper (int socket)
    {
        ::prctl (PR_SET_NAME, ModelCheckServer::keeperName);
        reapChildrenAutomatically();

        for (;;)
        {
            char tag = 0;
            int serverSocket = -1;
            if (! SocketMessages::receive (socket, tag, nullptr, &serverSocket))
                ::_exit (0);
            if (serverSocket < 0)
                continue;

            const pid_t keeper = ::getpid();
            const pid_t server = ::fork();
            if (server == 0)
            {
                ::close (socket);
                becomeChild (keeper, ModelCheckServer::serverName);
                runServer (serverSocket);
            }
            ::close (serverSocket);
        }
    }

    bool makeSocketPair (int (&ends)[2])
    {
        return ::socketpair (AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) == 0;
    }

    // Hands one end of a new socket to `link`'s process and returns the other, or -1.
    int openThrough (int link, char request)
    {
        int ends[2];
        if (link < 0 || ! makeSocketPair (ends))
            return -1;
        const bool sent = SocketMessages::send (link, request, 0, ends[1]);
        ::close (ends[1]);
        if (sent)
            return ends[0];
        ::close (ends[0]);
        return -1;
    }

    void forgetKeeper()
    {
        if (keeperLink >= 0)
            ::close (keeperLink);
        keeperLink = -1;
        if (keeperProcess > 0)
        {
            ::kill (keeperProcess, SIGKILL); // ours until reaped, so the id is still the keeper's
            reap (keeperProcess);
        }
        keeperProcess = -1;
    }

    // Starts this executable again as a keeper on one end of a new socket: this program has
    // threads now, so it cannot fork one. It gets no descriptor of this program's but that end.
    bool respawnKeeper()
    {
        forgetKeeper();

        int ends[2];
        if (! makeSocketPair (ends))
            return false;

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init (&actions);
        posix_spawn_file_actions_adddup2 (&actions, ends[1], keeperSocket);
        posix_spawn_file_actions_addclosefrom_np (&actions, keeperSocket + 1);
        posix_spawn_file_actions_addopen (&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen (&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen (&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);

        std::string executable = "/proc/self/exe", argument = keeperArgument;
        char* const arguments[] = { executable.data(), argument.data(), nullptr };
        pid_t process = -1;
        const int spawned = posix_spawn (&process, executable.c_str(), &actions, nullptr, arguments, environ);
        posix_spawn_file_actions_destroy (&actions);
        ::close (ends[1]);

        if (spawned != 0)
        {
            ::close (ends[0]);
            return false;
        }

        keeperLink = ends[0];
        keeperProcess = process;
        return true;
    }

    bool keeperHasEnded()
    {
        if (keeperProcess <= 0)
            return true;
        pid_t done = -1;
        while ((done = ::waitpid (keeperProcess, nullptr, WNOHANG)) < 0 && errno == EINTR)
        {
        }
        if (done != keeperProcess)
            return false;
        keeperProcess = -1; // reaped
        return true;
    }

    // A link to a new server: a fork of the keeper, or of a new keeper when that one is gone.
    int startServer()
    {
        if (keeperHasEnded() && ! respawnKeeper())
            return -1;
        if (const int link = openThrough (keeperLink, newServer); link >= 0)
            return link;
        return respawnKeeper() ? openThrough (keeperLink, newServer) : -1;
    }
} // namespace

void ModelCheckServer::startFromMain (int argc, char** argv)
{
    if (argc >= 2 && std::strcmp (argv[1], keeperArgument) == 0)
    {
        ::close_range (keeperSocket + 1, ~0u, 0);
        quietStandardStreams();
        runKeeper (keeperSocket);
    }

    int ends[2];
    if (! makeSocketPair (ends))
        return;

    // Buffered output would otherwise be written twice.
    std::fflush (nullptr);

    const pid_t parent = ::getpid();
    const pid_t keeper = ::fork();
    if (keeper == 0)
    {
        ::dup2 (ends[1], keeperSocket);
        ::close_range (keeperSocket + 1, ~0u, 0);
        quietStandardStreams();
        becomeChild (parent, keeperName);
        runKeeper (keeperSocket);
    }

    ::close (ends[1]);
    if (keeper < 0)
    {
        ::close (ends[0]);
        return;
    }

    const std::lock_guard<std::mutex> hold (linkLock);
    keeperLink = ends[0];
    keeperProcess = keeper;
    keeperStarted = true;
    // Forked now, while the program starts up; sessions asked for meanwhile wait in its socket.
    serverLink = openThrough (keeperLink, newServer);
}

bool ModelCheckServer::isAvailable()
{
    const std::lock_guard<std::mutex> hold (linkLock);
    return keeperStarted;
}

int ModelCheckServer::openSession()
{
    const std::lock_guard<std::mutex> hold (linkLock);
    if (! keeperStarted)
        return -1;

    for (int attempt = 0; attempt < 3; ++attempt)
    {
        if (serverLink < 0)
            serverLink = startServer();
        if (const int session = openThrough (serverLink, newSession); session >= 0)
            return session;

        if (serverLink >= 0)
            ::close (serverLink);
        serverLink = -1;
    }
    return -1;
}
