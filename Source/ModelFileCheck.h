#pragma once

#include <string>

// Some damaged model files crash the model runtime's loader outright (a segmentation fault, not an
// error it reports). Before the loading job reads a file into the application, a short-lived
// process of its own (calbrix-model-check, beside the executable) reads it: a file that brings
// that process down is refused without ever touching the application.
struct ModelFileCheck
{
    enum class Outcome
    {
        safeToLoad,     // read cleanly, or refused with an ordinary error the loader reports itself
        crashesLoader,  // the checking process died or did not finish in time
        notChecked      // no checker found or it could not be started: load as before
    };

    // Blocks the calling thread (the loading worker) until the check is over, at most `timeoutMs`.
    // `description` tells what went wrong when the outcome is crashesLoader.
    static Outcome check (const std::string& modelPath, std::string& description, int timeoutMs = 30000);

    // The checker: $CALBRIX_MODEL_CHECKER when set (tests), otherwise calbrix-model-check beside
    // the running executable; empty when there is none.
    static std::string checkerPath();
};
