#pragma once

// libtorch first: with juce's names in scope its headers become ambiguous.
#include <torch/script.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

// The one wrapper around the user's TorchScript module. A load replaces the module inside it; the
// wrapper itself is replaced only when a model call inside it never came back (the stuck wrapper is
// then kept, untouched, for the thread that is still inside it).
class Calbrix
{
public:
    Calbrix();

    // Calls the model's reset(); returns empty text, or the failure text on a runtime error.
    std::string reset();

    // The model's delays in samples, as the model gives them: 0 whenever the model cannot answer
    // with an integer; an integer beyond the range of int gives the nearest end of it.
    int calc_model_delay_samples();
    int calc_buffering_delay_samples();

    // Serialises every call into the module and every replacement of it: the inference worker, the
    // preparation and the loading job take it; the audio thread never does. Recursive so that a
    // holder may call the wrapper's own operations.
    using CallLock = std::recursive_timed_mutex;
    CallLock& callLock() noexcept { return moduleCallLock; }

    // The call lock, when it can be had: at once on the inference worker, which never waits for
    // the model (a load or a preparation holding it means there is nothing to run anyway), within
    // callLockWaitMs anywhere else. An unowned lock means the model is busy: a call in progress
    // has not come back.
    std::unique_lock<CallLock> lockForCalls();
    static constexpr int callLockWaitMs = 1000;

    // Marks the calling thread as one that never waits for the model, for the scope.
    struct NeverWaitingThread
    {
        NeverWaitingThread() noexcept;
        ~NeverWaitingThread();
    };

    torch::jit::Module module;
    std::vector<c10::IValue> inputs;

    std::atomic<float> defaultP1 { 0.0f }, defaultP2 { 0.0f }, defaultP3 { 0.0f }, defaultP4 { 0.0f };
    std::atomic<float> defaultDry { 0.0f }, defaultWet { 0.0f }, defaultInputGain { 0.0f }, defaultOutputGain { 0.0f };

    std::atomic<bool> loaded { false };

    // Which file the module came from (see AbandonedWork::fileIdentity); set by the loading
    // worker before it reads the file, so that a call that stays can be charged to that file.
    std::string fileIdentity;

private:
    int callIntegerMethod (const std::string& name);

    CallLock moduleCallLock;
};

// "description\nmessage" of a runtime error, the form every failure text and error line uses.
// A model's own `raise` reaches C++ as a torch::jit::JITException, which is not a c10::Error:
// every model call therefore catches std::exception, so that a failing model is reported like
// any other failure instead of ending the thread that called it. Such an exception has only its
// description.
std::string describeTorchError (const std::exception& error);
