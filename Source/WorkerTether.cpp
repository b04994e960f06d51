#include "WorkerTether.h"

#include <chrono>

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
    if (! tether.reenter())
        throw WorkerAbandoned();
    tetherOfThisThread = &tether;
}

WorkerTether::Attachment::~Attachment()
{
    tetherOfThisThread = previous;
    tether.leave();
    tether.callStartedAt = 0.0;
}

void WorkerTether::leave() noexcept
{
    const std::lock_guard<std::mutex> hold (lock);
    callStartedAt = nowMilliseconds();
    inside = false;
    steppedOut.notify_all();
}

bool WorkerTether::reenter() noexcept
{
    const std::lock_guard<std::mutex> hold (lock);
    callStartedAt = 0.0;
    if (abandoned)
        return false;
    inside = true;
    return true;
}

void WorkerTether::checkpoint()
{
    if (abandoned)
    {
        leave();
        throw WorkerAbandoned();
    }
}

void WorkerTether::abandon()
{
    std::unique_lock<std::mutex> hold (lock);
    abandoned = true;
    steppedOut.wait (hold, [this] { return ! inside; });
}

double WorkerTether::millisecondsInCall() const noexcept
{
    const double started = callStartedAt;
    return started > 0.0 ? nowMilliseconds() - started : 0.0;
}

WorkerTether* WorkerTether::current() noexcept
{
    return tetherOfThisThread;
}
