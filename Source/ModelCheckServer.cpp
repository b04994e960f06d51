#include "SnapshotModuleLoader.h"

#include "ModelCheckServer.h"
#include "SocketMessages.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace
{
    constexpr const char* serverArgument = "--calbrix-model-check-server";
    // Where a server finds its socket.
    constexpr int serverSocket = 3;

    std::mutex linkLock;
    int serverLink = -1;   // this program's end of the server's socket
    pid_t serverProcess = -1;
    bool serverStarted = false;

    void quietStandardStreams()
    {
        const int null = ::open ("/dev/null", O_RDWR);
        for (int stream = 0; stream <= 2; ++stream)
            ::dup2 (null, stream);
        if (null > 2)
            ::close (null);
    }

    // A child of a process with one thread: ends with its parent, whatever ends the parent.
    void endWithParent (pid_t parent)
    {
        ::prctl (PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit (0);
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
                endWithParent (session);
                runReader (snapshot);
            }
            ::close (snapshot);

            int status = -1;
            if (reader > 0)
            {
                if (! SocketMessages::send (socket, ModelCheckServer::readerStarted, reader))
                    ::_exit (0);
                while (::waitpid (reader, &status, 0) < 0 && errno == EINTR)
                {
                }
            }
            if (! SocketMessages::send (socket, ModelCheckServer::readerEnded, status))
                ::_exit (0);
        }
    }

    // The server: forks a session for every socket it is sent, until this program's end closes.
    [[noreturn]] void runServer (int socket)
    {
        ::prctl (PR_SET_NAME, "calbrix-check");
        ::signal (SIGCHLD, SIG_IGN); // sessions need no reaping
        ::signal (SIGPIPE, SIG_IGN);

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
                endWithParent (server);
                runSession (sessionSocket);
            }
            ::close (sessionSocket);
        }
    }

    bool makeSocketPair (int (&ends)[2])
    {
        return ::socketpair (AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) == 0;
    }

    // Starts this executable again as a server on one end of a new socket. Slower than the fork at
    // start-up (the runtime has to load), but safe now that this program has threads; requests
    // wait in the socket meanwhile.
    bool restartServer()
    {
        if (serverLink >= 0)
            ::close (serverLink);
        serverLink = -1;
        if (serverProcess > 0)
            ::waitpid (serverProcess, nullptr, WNOHANG);
        serverProcess = -1;

        int ends[2];
        if (! makeSocketPair (ends))
            return false;

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init (&actions);
        posix_spawn_file_actions_adddup2 (&actions, ends[1], serverSocket);
        posix_spawn_file_actions_addopen (&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen (&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen (&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);

        std::string executable = "/proc/self/exe", argument = serverArgument;
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

        serverLink = ends[0];
        serverProcess = process;
        return true;
    }
} // namespace

void ModelCheckServer::startFromMain (int argc, char** argv)
{
    if (argc >= 2 && std::strcmp (argv[1], serverArgument) == 0)
    {
        quietStandardStreams();
        runServer (serverSocket);
    }

    int ends[2];
    if (! makeSocketPair (ends))
        return;

    // Buffered output would otherwise be written twice.
    std::fflush (nullptr);

    const pid_t parent = ::getpid();
    const pid_t server = ::fork();
    if (server == 0)
    {
        ::dup2 (ends[1], serverSocket);
        ::close_range (serverSocket + 1, ~0u, 0);
        quietStandardStreams();
        endWithParent (parent);
        runServer (serverSocket);
    }

    ::close (ends[1]);
    if (server < 0)
    {
        ::close (ends[0]);
        return;
    }

    const std::lock_guard<std::mutex> hold (linkLock);
    serverLink = ends[0];
    serverProcess = server;
    serverStarted = true;
}

bool ModelCheckServer::isAvailable()
{
    const std::lock_guard<std::mutex> hold (linkLock);
    return serverStarted;
}

int ModelCheckServer::openSession()
{
    const std::lock_guard<std::mutex> hold (linkLock);
    if (! serverStarted)
        return -1;

    int ends[2];
    if (! makeSocketPair (ends))
        return -1;

    for (int attempt = 0; attempt < 2; ++attempt)
    {
        if (serverLink >= 0 && SocketMessages::send (serverLink, 'S', 0, ends[1]))
        {
            ::close (ends[1]);
            return ends[0];
        }

        if (! restartServer())
            break;
    }

    ::close (ends[0]);
    ::close (ends[1]);
    return -1;
}
