#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <type_traits>

#include <sys/types.h>

// What lets the processor go, or carry on, while one of its workers is inside a model call that may
// never come back (a model is code: a call can loop for ever). A worker is "inside" the processor
// while it touches anything of it, and steps out only around calls into the model runtime and at
// checkpoints between its passes. The processor abandons a worker that has not come back in time:
// it marks the tether and waits until the worker is outside (inside a model call, or at a
// checkpoint, or done). Back from its call, the worker finds the mark and unwinds (WorkerAbandoned)
// without touching anything of the processor again; what the call itself uses (its job, its pool,
// the model wrapper) is kept alive for it on purpose.
//
// A worker abandoned inside the model's own code is parked (see AbandonedCallParking): the next
// operator the model runs blocks for good, at the lowest priority, so a call that loops never keeps
// a core busy. One abandoned inside the runtime's own work (reading a file) is let run to its end.
class WorkerTether
{
public:
    // Worker side: inside from the start of a job to its end.
    class Attachment
    {
    public:
        explicit Attachment (WorkerTether& tether);
        ~Attachment();

    private:
        WorkerTether& tether;
        WorkerTether* previous;
    };

    // What a worker steps out for: the model's own code, which may loop for ever (timed, and
    // parked if abandoned), or the runtime's work on a file that has been read to its end before,
    // which always ends (neither timed nor parked).
    enum class Outside
    {
        modelCall,
        runtimeWork
    };

    // Worker side, around one call into the model runtime. Returns false when the worker was
    // abandoned meanwhile: it is then outside for good.
    void leave (Outside what = Outside::modelCall) noexcept;
    bool reenter() noexcept;

    // Worker side, between two passes of its loop: lets an abandonment through, and throws
    // WorkerAbandoned when one came.
    void checkpoint();

    // Processor side: after this, the worker never touches the processor again. Waits only for a
    // worker that is between two checkpoints or model calls, which is never long. True when the
    // worker was inside the model's own code (it is then parked there).
    bool abandon();
    bool isAbandoned() const noexcept { return abandoned; }

    // How long the worker has been inside its current call of the model's own code; 0 when it is
    // in none (the runtime's work on a file does not count).
    double millisecondsInModelCall() const noexcept;

    // True once a worker abandoned inside the model's code has been stopped for good there.
    bool isParked() const noexcept { return parked; }
    // The CPU clock of the worker's thread (valid once a job has attached), for measurements.
    bool workerCpuClock (clockid_t& clock) const noexcept;

    // The parking callback's side: whether the worker on this thread is to stop here, and the mark
    // that it has.
    bool mustPark() const noexcept { return abandoned && inModelCall; }
    void markParked() noexcept { parked = true; }

    // The tether of the worker running on this thread, or null on any other thread.
    static WorkerTether* current() noexcept;

private:
    std::mutex lock;
    std::condition_variable steppedOut;
    bool inside = false;
    std::atomic<bool> abandoned { false };
    std::atomic<bool> inModelCall { false };
    std::atomic<bool> parked { false };
    std::atomic<double> callStartedAt { 0.0 };
    std::atomic<pid_t> workerThreadId { 0 };
    std::atomic<bool> hasWorkerClock { false };
    std::atomic<clockid_t> workerClock {};
};

// Thrown on a worker that comes back from a model call to find itself abandoned; caught where its
// job ends. Not a std::exception, so no handler of runtime errors takes it by mistake.
struct WorkerAbandoned
{
};

// Runs `call` (a call into the model runtime) with the current worker's tether let go, and throws
// WorkerAbandoned if the worker was abandoned meanwhile. On any other thread it just runs `call`.
template <WorkerTether::Outside what = WorkerTether::Outside::modelCall, typename Call>
decltype (auto) outsideTheProcessor (Call&& call)
{
    auto* tether = WorkerTether::current();
    if (tether == nullptr)
        return call();

    tether->leave (what);
    try
    {
        if constexpr (std::is_void_v<decltype (call())>)
        {
            call();
            if (! tether->reenter())
                throw WorkerAbandoned();
        }
        else
        {
            decltype (auto) result = call();
            if (! tether->reenter())
                throw WorkerAbandoned();
            return result;
        }
    }
    catch (const WorkerAbandoned&)
    {
        throw;
    }
    catch (...)
    {
        if (! tether->reenter())
            throw WorkerAbandoned();
        throw;
    }
}
