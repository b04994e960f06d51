#include "ModelFileCheck.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace
{
    bool isExecutable (const std::string& path)
    {
        struct stat info {};
        return ! path.empty() && ::stat (path.c_str(), &info) == 0 && S_ISREG (info.st_mode) && ::access (path.c_str(), X_OK) == 0;
    }

    std::string executableFolder()
    {
        char buffer[4096];
        const auto length = ::readlink ("/proc/self/exe", buffer, sizeof (buffer) - 1);
        if (length <= 0)
            return {};
        const std::string path (buffer, static_cast<size_t> (length));
        return path.substr (0, path.find_last_of ('/'));
    }
} // namespace

std::string ModelFileCheck::checkerPath()
{
    if (const char* configured = std::getenv ("CALBRIX_MODEL_CHECKER"))
        return isExecutable (configured) ? std::string (configured) : std::string();

    const auto besideExecutable = executableFolder() + "/calbrix-model-check";
    return isExecutable (besideExecutable) ? besideExecutable : std::string();
}

ModelFileCheck::Outcome ModelFileCheck::check (const std::string& modelPath, std::string& description, int timeoutMs)
{
    const auto checker = checkerPath();
    if (checker.empty())
        return Outcome::notChecked;

    // The checker's own output is not needed: a clean refusal is reported by the real load.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init (&actions);
    posix_spawn_file_actions_addopen (&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen (&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen (&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);

    char* const arguments[] = { const_cast<char*> (checker.c_str()), const_cast<char*> (modelPath.c_str()), nullptr };
    pid_t child = -1;
    const int spawned = posix_spawn (&child, checker.c_str(), &actions, nullptr, arguments, environ);
    posix_spawn_file_actions_destroy (&actions);

    if (spawned != 0)
        return Outcome::notChecked;

    int status = 0;
    for (int waited = 0;; waited += 5)
    {
        const auto result = ::waitpid (child, &status, WNOHANG);
        if (result == child)
            break;
        if (result < 0 && errno != EINTR)
            return Outcome::notChecked;
        if (waited >= timeoutMs)
        {
            ::kill (child, SIGKILL);
            ::waitpid (child, &status, 0);
            description = "reading the file did not finish within " + std::to_string (timeoutMs / 1000) + " s";
            return Outcome::crashesLoader;
        }
        std::this_thread::sleep_for (std::chrono::milliseconds (5));
    }

    if (WIFSIGNALED (status))
    {
        const int signal = WTERMSIG (status);
        const char* name = sigdescr_np (signal);
        description = std::string ("reading the file crashed the model runtime (")
                    + (name != nullptr ? name : "signal " + std::to_string (signal)) + ")";
        return Outcome::crashesLoader;
    }

    // Exit 0 (readable) and 1 (an ordinary error): the real load follows and reports for itself.
    // Anything else means the checker itself could not run properly.
    const int exitCode = WIFEXITED (status) ? WEXITSTATUS (status) : -1;
    return exitCode == 0 || exitCode == 1 ? Outcome::safeToLoad : Outcome::notChecked;
}
