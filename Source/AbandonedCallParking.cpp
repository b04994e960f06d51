// libtorch first: with juce's names in scope its headers become ambiguous.
#include <ATen/record_function.h>

#include "AbandonedCallParking.h"

#include "WorkerTether.h"

#include <condition_variable>
#include <mutex>

#include <sched.h>

namespace
{
    std::mutex& parkingLock()
    {
        static auto* lock = new std::mutex(); // never destroyed: parked threads wait on it to the end
        return *lock;
    }

    std::condition_variable& neverSignalled()
    {
        static auto* condition = new std::condition_variable();
        return *condition;
    }

    std::unique_ptr<at::ObserverContext> parkIfAbandoned (const at::RecordFunction&)
    {
        auto* tether = WorkerTether::current();
        if (tether == nullptr || ! tether->mustPark())
            return nullptr;

        std::unique_lock<std::mutex> hold (parkingLock());
        tether->markParked();
        for (;;)
            neverSignalled().wait (hold);
    }

    void installParkingCallback()
    {
        static std::once_flag installed;
        std::call_once (installed, []
        {
            at::addGlobalCallback (at::RecordFunctionCallback (parkIfAbandoned).needsInputs (false));
        });
    }
} // namespace

void AbandonedCallParking::park (pid_t threadId)
{
    installParkingCallback();

    if (threadId > 0)
    {
        sched_param lowest {};
        sched_setscheduler (threadId, SCHED_IDLE, &lowest);
    }
}
