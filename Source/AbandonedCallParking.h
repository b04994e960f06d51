#pragma once

#include <sys/types.h>

// Stops, for good, a worker thread that was abandoned inside the model's own code. A model stuck
// in a loop keeps running operators (its loop condition is one), and the model runtime lets a
// global callback see each operator as it starts: from the first abandonment on, that callback
// blocks any thread whose worker was abandoned inside the model (see WorkerTether::mustPark) on a
// wait that never ends, and the thread is lowered to the idle scheduling class meanwhile, so that
// even a loop that runs no operator only takes a core nobody else wants. The callback costs
// nothing until a first call is abandoned, and a check of one thread-local pointer per operator
// afterwards.
namespace AbandonedCallParking
{
    // Any thread: the worker running as `threadId` was abandoned inside the model's code.
    void park (pid_t threadId);
}
