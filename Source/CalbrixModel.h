#pragma once

// libtorch first: with juce's names in scope its headers become ambiguous.
#include <torch/script.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

// The one wrapper around the user's TorchScript module. A load replaces the module inside it;
// the wrapper itself lives as long as the processor.
class Calbrix
{
public:
    Calbrix();

    // Calls the model's reset(); returns empty text, or the failure text on a runtime error.
    std::string reset();

    // The model's delays in samples; 0 whenever the model cannot answer with an integer.
    int calc_model_delay_samples();
    int calc_buffering_delay_samples();

    // Serialises every call into the module and every replacement of it: the inference worker, the
    // preparation and the loading job take it; the audio thread never does. Recursive so that a
    // holder may call the wrapper's own operations.
    std::recursive_mutex& callLock() noexcept { return moduleCallLock; }

    torch::jit::Module module;
    std::vector<c10::IValue> inputs;

    std::atomic<float> defaultP1 { 0.0f }, defaultP2 { 0.0f }, defaultP3 { 0.0f }, defaultP4 { 0.0f };
    std::atomic<float> defaultDry { 0.0f }, defaultWet { 0.0f }, defaultInputGain { 0.0f }, defaultOutputGain { 0.0f };

    std::atomic<bool> loaded { false };

private:
    int callIntegerMethod (const std::string& name);

    std::recursive_mutex moduleCallLock;
};

// "description\nmessage" of an error out of a model call, the form every failure text and error
// line uses. A model's own `raise` reaches the engine as an exception of the script interpreter,
// not as a runtime error, so every model call catches both alike.
std::string describeTorchError (const std::exception& error);
