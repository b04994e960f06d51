#pragma once

// libtorch first: with juce's names in scope its headers become ambiguous.
#include <torch/script.h>

#include <cstdint>

// Reads the TorchScript module held by a model snapshot's descriptor (see ModelSnapshot), for the
// checking process and for the load in the application alike. Throws what the runtime's loader
// throws.
torch::jit::Module loadModuleFromSnapshot (int descriptor, uint64_t size);

// Makes a torch::jit::Method of every method of the module's type, as a load does once it has
// read the module; throws the runtime's error when one cannot be made.
void listModuleMethods (const torch::jit::Module& module);
