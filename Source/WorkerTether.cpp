#include "WorkerTether.h"

#include "AbandonedCallParking.h"

#include <chrono>

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace
{
    thread_local WorkerTether* tetherOfThisThread = nullptr;

    double nowMilliseconds() noexcept
    {
        return std::chrono::duration<double, std::milli> (std::chrono::steady_clock::now().time_since_epoch()).count();
    }
} // namespace

WorkerTether::Attachment::Attachment (WorkerTether& t) : tether (t), previous (tetherOfThisThread)
{
    tether.workerThreadId = static_cast<pid_t> (::syscall (SYS_gettid));
    clockid_t clock {};
    if (pthread_getcpuclockid (pthread_self(), &clock) == 0)
    {
        tether.workerClock = clock;
        tether.hasWorkerClock = true;
    }

    if (! tether.reenter())
        throw WorkerAbandoned();
    tetherOfThisThread = &tether;
}

WorkerTether::Attachment::~Attachment()
{
    tetherOfThisThread = previous;
    tether.leave (Outside::runtimeWork);
}

void WorkerTether::leave (Outside what) noexcept
{
    const std::lock_guard<std::mutex> hold (lock);
    const bool modelCode = what == Outside::modelCall;
    callStartedAt = modelCode ? nowMilliseconds() : 0.0;
    inModelCall = modelCode;
    inside = false;
    steppedOut.notify_all();
}

bool WorkerTether::reenter() noexcept
{
    const std::lock_guard<std::mutex> hold (lock);
    callStartedAt = 0.0;
    inModelCall = false;
    if (abandoned)
        return false;
    inside = true;
    return true;
}

void WorkerTether::checkpoint()
{
    if (abandoned)
    {
        leave (Outside::runtimeWork);
        throw WorkerAbandoned();
    }
}

bool WorkerTether::abandon()
{
    bool insideModelCode = false;
    {
        std::unique_lock<std::mutex> hold (lock);
        abandoned = true;
        steppedOut.wait (hold, [this] { return ! inside; });
        insideModelCode = inModelCall;
    }

    // Back from the call, it unwinds by itself; inside the model's code, it is stopped there.
    if (insideModelCode)
        AbandonedCallParking::park (workerThreadId);
    return insideModelCode;
}

double WorkerTether::millisecondsInModelCall() const noexcept
{
    const double started = callStartedAt;
    return started > 0.0 ? nowMilliseconds() - started : 0.0;
}

bool WorkerTether::workerCpuClock (clockid_t& clock) const noexcept
{
    if (! hasWorkerClock)
        return false;
    clock = workerClock;
    return true;
}

WorkerTether* WorkerTether::current() noexcept
{
    return tetherOfThisThread;
}
