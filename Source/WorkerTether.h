#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <type_traits>

// What lets the processor go, or carry on, while one of its workers is inside a model call that may
// never come back (a model is code: a call can loop for ever). A worker is "inside" the processor
// while it touches anything of it, and steps out only around calls into the model runtime and at
// checkpoints between its passes. The processor abandons a worker that has not come back in time:
// it marks the tether and waits until the worker is outside (inside a model call, or at a
// checkpoint, or done). Back from its call, the worker finds the mark and unwinds (WorkerAbandoned)
// without touching anything of the processor again; what the call itself uses (its job, its pool,
// the model wrapper) is kept alive for it on purpose.
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

    // Worker side, around one call into the model runtime. Returns false when the worker was
    // abandoned meanwhile: it is then outside for good.
    void leave() noexcept;
    bool reenter() noexcept;

    // Worker side, between two passes of its loop: lets an abandonment through, and throws
    // WorkerAbandoned when one came.
    void checkpoint();

    // Processor side: after this, the worker never touches the processor again. Waits only for a
    // worker that is between two checkpoints or model calls, which is never long.
    void abandon();
    bool isAbandoned() const noexcept { return abandoned; }

    // How long the worker has been inside its current model call; 0 when it is in none.
    double millisecondsInCall() const noexcept;

    // The tether of the worker running on this thread, or null on any other thread.
    static WorkerTether* current() noexcept;

private:
    std::mutex lock;
    std::condition_variable steppedOut;
    bool inside = false;
    std::atomic<bool> abandoned { false };
    std::atomic<double> callStartedAt { 0.0 };
};

// Thrown on a worker that comes back from a model call to find itself abandoned; caught where its
// job ends. Not a std::exception, so no handler of runtime errors takes it by mistake.
struct WorkerAbandoned
{
};

// Runs `call` (a call into the model runtime) with the current worker's tether let go, and throws
// WorkerAbandoned if the worker was abandoned meanwhile. On any other thread it just runs `call`.
template <typename Call>
decltype (auto) outsideTheProcessor (Call&& call)
{
    auto* tether = WorkerTether::current();
    if (tether == nullptr)
        return call();

    tether->leave();
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
