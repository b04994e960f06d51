#include "SystemBrowser.h"

#if JUCE_LINUX
 #include <spawn.h>
 #include <sys/wait.h>
 #include <thread>

extern char** environ;
#endif

namespace lorquist::BrowserIntegration
{
#if JUCE_LINUX
    namespace
    {
        // Tried in order, found through PATH: the freedesktop opener, then Debian's browser choices.
        const char* const openers[] = { "xdg-open", "x-www-browser", "sensible-browser" };

        bool startDetached (const char* program, const juce::String& argument)
        {
            posix_spawnattr_t attributes;
            posix_spawnattr_init (&attributes);
            // Its own session: the browser outlives this application and ignores its signals.
            posix_spawnattr_setflags (&attributes, POSIX_SPAWN_SETSID);

            char* const argv[] = { const_cast<char*> (program), const_cast<char*> (argument.toRawUTF8()), nullptr };
            pid_t pid = -1;
            // Reports a program that cannot be found or started as an error, unlike a plain fork.
            const auto error = posix_spawnp (&pid, program, nullptr, &attributes, argv, environ);
            posix_spawnattr_destroy (&attributes);

            if (error != 0)
                return false;

            // Reaps the opener whenever it ends, so it never lingers as a zombie.
            std::thread ([pid] { waitpid (pid, nullptr, 0); }).detach();
            return true;
        }
    } // namespace

    bool launchInDefaultBrowser (const juce::URL& url)
    {
        auto text = url.toString (true).trim();

        // A bare e-mail address, as the framework treats it.
        if (text.containsChar ('@') && ! text.containsChar (':'))
            text = "mailto:" + text;

        // No URL starts with "-"; an opener or browser would take such text as one of its options.
        if (text.startsWithChar ('-'))
            return false;

        for (auto* opener : openers)
            if (startDetached (opener, text))
                return true;

        return false;
    }
#else
    bool launchInDefaultBrowser (const juce::URL& url)
    {
        return url.launchInDefaultBrowser();
    }
#endif
} // namespace lorquist::BrowserIntegration
