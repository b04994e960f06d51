// Prints the state of a fresh processor whose "model_path" is argv[1], in the form the standalone
// shell keeps under "filterState" in its settings file. Used by the application's end-to-end check.
#include "TestSupport.h"

#include <iostream>

int main (int argc, char** argv)
{
    juce::ScopedJuceInitialiser_GUI juce;
    const juce::String modelPath = argc > 1 ? juce::String::fromUTF8 (argv[1]) : juce::String();

    juce::MemoryBlock state;
    {
        CalbrixAudioProcessor processor;
        auto child = processor.parameters.state.getChildWithProperty ("id", calbrix_parameters::param_name_modelpath);
        child.setProperty ("value", modelPath, nullptr);
        processor.loadingPool->removeAllJobs (true, 10000);
        processor.getStateInformation (state);
    }

    std::cout << state.toBase64Encoding() << std::endl;
    return 0;
}
