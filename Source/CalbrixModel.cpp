#include "CalbrixModel.h"

std::string describeTorchError (const std::exception& error)
{
    // Only the runtime's own errors carry a message apart from their description.
    if (const auto* runtimeError = dynamic_cast<const c10::Error*> (&error))
        return std::string (runtimeError->what()) + "\n" + runtimeError->msg();
    return std::string (error.what()) + "\n";
}

Calbrix::Calbrix()
    : inputs { torch::zeros ({ 2, 0 }) }
{
    inputs.clear();

    c10::InferenceMode guard;
    torch::jit::getProfilingMode() = false;
    torch::jit::setGraphExecutorOptimize (true);
}

std::string Calbrix::reset()
{
    const std::lock_guard<std::recursive_mutex> lock (moduleCallLock);
    c10::InferenceMode guard;

    try
    {
        auto method = module.get_method ("reset");
        method (std::vector<c10::IValue> {});
        return {};
    }
    catch (const std::exception& e)
    {
        return "error resetting the model\n" + describeTorchError (e);
    }
}

int Calbrix::callIntegerMethod (const std::string& name)
{
    const std::lock_guard<std::recursive_mutex> lock (moduleCallLock);
    c10::InferenceMode guard;

    try
    {
        auto method = module.get_method (name);
        const auto result = method (std::vector<c10::IValue> {});
        return static_cast<int> (result.toInt());
    }
    catch (const std::exception&)
    {
        return 0;
    }
}

int Calbrix::calc_model_delay_samples()     { return callIntegerMethod ("calc_model_delay_samples"); }
int Calbrix::calc_buffering_delay_samples() { return callIntegerMethod ("calc_buffering_delay_samples"); }
