#pragma once

#include <juce_core/juce_core.h>

#include <sys/eventfd.h>
#include <unistd.h>

// A descriptor that becomes readable once a pool job is asked to exit, so that a job blocked in a
// wait on descriptors (a model check) wakes at once when a new load or the processor's teardown
// asks it to stop. Lives on the job's stack while it runs.
class JobExitSignal : private juce::Thread::Listener
{
public:
    explicit JobExitSignal (juce::ThreadPoolJob& j) : job (j), fd (::eventfd (0, EFD_CLOEXEC | EFD_NONBLOCK))
    {
        job.addListener (this);
        if (job.shouldExit())
            exitSignalSent();
    }

    ~JobExitSignal() override
    {
        job.removeListener (this);
        if (fd >= 0)
            ::close (fd);
    }

    int descriptor() const noexcept { return fd; }

private:
    void exitSignalSent() override
    {
        const uint64_t one = 1;
        if (fd >= 0)
            [[maybe_unused]] const auto written = ::write (fd, &one, sizeof (one));
    }

    juce::ThreadPoolJob& job;
    int fd;

    JUCE_DECLARE_NON_COPYABLE (JobExitSignal)
};
