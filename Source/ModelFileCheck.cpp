#include "ModelFileCheck.h"

#include "ModelCheckServer.h"
#include "ModelSnapshot.h"
#include "SocketMessages.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
    std::string signalName (int signal)
    {
        const char* name = sigdescr_np (signal);
        return name != nullptr ? name : "signal " + std::to_string (signal);
    }

    // Signals that a process raises against itself when its code goes wrong; any other signal
    // came from outside it.
    bool isCrash (int signal)
    {
        switch (signal)
        {
            case SIGSEGV: case SIGBUS: case SIGILL: case SIGFPE: case SIGABRT: case SIGTRAP: case SIGSYS:
                return true;
            default:
                return false;
        }
    }

    std::string killedText (int signal)
    {
        std::string text = "the process reading the file was killed from outside (" + signalName (signal) + ")";
        // The out-of-memory killer's signal; the readers offer themselves to it first.
        if (signal == SIGKILL)
            text += ": the system may have run out of memory";
        return text;
    }
} // namespace

ModelFileCheck::~ModelFileCheck()
{
    closeSession();
}

void ModelFileCheck::closeSession()
{
    // The session ends when it sees its socket close, and with it any reader it still waits for.
    if (session >= 0)
        ::close (session);
    session = -1;
}

ModelFileCheck::Outcome ModelFileCheck::check (const ModelSnapshot& snapshot, int cancelDescriptor, std::string& description)
{
    const std::lock_guard<std::mutex> hold (lock);

    if (! ModelCheckServer::isAvailable())
        return Outcome::notChecked;

    // A session can go while it is asked (its server killed, say): a new one is asked again. The
    // file is never loaded unchecked because of that.
    for (int attempt = 0; attempt < 3; ++attempt)
    {
        if (session < 0)
            session = ModelCheckServer::openSession();
        if (session < 0)
            break;

        Outcome outcome;
        if (askSession (snapshot, cancelDescriptor, outcome, description))
            return outcome;
        closeSession();
    }

    description = "the file could not be checked: no checking process answered";
    return Outcome::crashesLoader;
}

bool ModelFileCheck::askSession (const ModelSnapshot& snapshot, int cancelDescriptor, Outcome& outcome, std::string& description)
{
    if (! SocketMessages::send (session, ModelCheckServer::checkRequest, 0, snapshot.descriptor()))
        return false;

    pid_t reader = -1;
    for (;;)
    {
        pollfd waits[] = { { session, POLLIN, 0 }, { cancelDescriptor, POLLIN, 0 } };
        const nfds_t count = cancelDescriptor >= 0 ? 2 : 1;
        if (::poll (waits, count, -1) < 0)
        {
            if (errno == EINTR)
                continue;
            return false;
        }

        if (count == 2 && (waits[1].revents & POLLIN) != 0)
        {
            // The session sees its socket close and kills its reader, whether or not this side
            // has heard of it yet. (Killing it from here could hit a process that reused its id.)
            closeSession();
            outcome = Outcome::cancelled;
            return true;
        }

        if (waits[0].revents == 0)
            continue;

        char tag = 0;
        int32_t value = 0;
        if (! SocketMessages::receive (session, tag, &value, nullptr))
            return false;

        if (tag == ModelCheckServer::readerStarted)
        {
            reader = static_cast<pid_t> (value);
            continue;
        }

        if (tag != ModelCheckServer::readerEnded)
            continue;

        const int status = value;
        if (reader > 0 && WIFSIGNALED (status))
        {
            const int signal = WTERMSIG (status);
            if (isCrash (signal))
            {
                description = "reading the file crashed the model runtime (" + signalName (signal) + ")";
                outcome = Outcome::crashesLoader;
            }
            else
            {
                description = killedText (signal);
                outcome = Outcome::readerKilled;
            }
            return true;
        }

        // Exit 0 (readable) and 1 (an ordinary error): the real load follows and reports for itself.
        if (reader > 0 && WIFEXITED (status) && (WEXITSTATUS (status) == 0 || WEXITSTATUS (status) == 1))
        {
            outcome = Outcome::safeToLoad;
            return true;
        }

        // The reader could not even start or read its snapshot.
        return false;
    }
}
