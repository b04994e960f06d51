// calbrix-model-check FILE: reads a model file with the model runtime, in a process of its own.
// Exit status 0: the file loads and lists its methods; 1: the runtime refused it with an error.
// Some damaged files crash the runtime's loader instead; the application asks this program first
// so that such a file ends this process rather than the application.
#include <torch/script.h>

#include <fstream>
#include <iostream>

int main (int argc, char** argv)
{
    if (argc != 2)
    {
        std::cerr << "usage: calbrix-model-check MODEL_FILE\n";
        return 2;
    }

    try
    {
        c10::InferenceMode guard;
        std::ifstream stream (argv[1], std::ios::in | std::ios::binary);
        auto module = torch::jit::load (stream);
        module.train (false);
        for (auto* function : module.type()->methods())
            torch::jit::Method method (module._ivalue(), function);
        return 0;
    }
    catch (const std::exception& e)
    {
        std::cerr << e.what() << "\n";
        return 1;
    }
}
