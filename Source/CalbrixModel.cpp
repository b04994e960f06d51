#include "CalbrixModel.h"

#include "WorkerTether.h"

#include <algorithm>
#include <chrono>
#include <limits>

namespace
{
    thread_local bool neverWaitForTheModel = false;

    const std::string modelBusyText = "the model is busy: a call into it has not come back\n";
} // namespace

std::string describeTorchError (const std::exception& error)
{
    // Only the runtime's own errors carry a message apart from their description.
    if (const auto* runtimeError = dynamic_cast<const c10::Error*> (&error))
        return std::string (runtimeError->what()) + "\n" + runtimeError->msg();
    return std::string (error.what()) + "\n";
}

Calbrix::NeverWaitingThread::NeverWaitingThread() noexcept { neverWaitForTheModel = true; }
Calbrix::NeverWaitingThread::~NeverWaitingThread() { neverWaitForTheModel = false; }

Calbrix::Calbrix()
    : inputs { torch::zeros ({ 2, 0 }) }
{
    inputs.clear();

    c10::InferenceMode guard;
    torch::jit::getProfilingMode() = false;
    torch::jit::setGraphExecutorOptimize (true);
}

std::unique_lock<Calbrix::CallLock> Calbrix::lockForCalls()
{
    std::unique_lock<CallLock> lock (moduleCallLock, std::defer_lock);
    if (neverWaitForTheModel)
        lock.try_lock();
    else
        lock.try_lock_for (std::chrono::milliseconds (callLockWaitMs));
    return lock;
}

std::string Calbrix::reset()
{
    const auto lock = lockForCalls();
    if (! lock.owns_lock())
        return "error resetting the model\n" + modelBusyText;

    c10::InferenceMode guard;
    try
    {
        outsideTheProcessor ([this] { module.get_method ("reset") (std::vector<c10::IValue> {}); });
        return {};
    }
    catch (const std::exception& e)
    {
        return "error resetting the model\n" + describeTorchError (e);
    }
}

int Calbrix::callIntegerMethod (const std::string& name)
{
    const auto lock = lockForCalls();
    if (! lock.owns_lock())
        return 0;

    c10::InferenceMode guard;
    try
    {
        const auto result = outsideTheProcessor ([&] { return module.get_method (name) (std::vector<c10::IValue> {}); });
        // Narrowed without wrapping: a value beyond int is out of range, not some other number.
        const auto value = result.toInt();
        return static_cast<int> (std::clamp<int64_t> (value, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
    }
    catch (const std::exception&)
    {
        return 0;
    }
}

int Calbrix::calc_model_delay_samples()     { return callIntegerMethod ("calc_model_delay_samples"); }
int Calbrix::calc_buffering_delay_samples() { return callIntegerMethod ("calc_buffering_delay_samples"); }
