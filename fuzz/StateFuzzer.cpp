// libFuzzer target: any bytes as a saved state. A processor must survive every blob, keep every
// parameter finite and in range, and refuse what it cannot take without changing anything.
#include "PluginProcessor.h"

#include <cstdlib>

namespace
{
    struct Harness
    {
        Harness()
        {
            processor->parameters.setCustomParamValue ("instance_id", 123456789, ParameterManager::PARAMX);
            processor->getStateInformation (valid);

            // Starts a new corpus from the state of a fresh processor.
            if (const char* seedFile = std::getenv ("CALBRIX_FUZZ_SEED_FILE"))
                juce::File (juce::String::fromUTF8 (seedFile)).replaceWithData (valid.getData(), valid.getSize());
        }

        // Back to an ordinary state; a tree left with another number of children refuses every
        // ordinary state, and then only a new processor will do.
        void restoreValidState()
        {
            const juce::ValueTree before = processor->parameters.state;
            processor->setStateInformation (valid.getData(), static_cast<int> (valid.getSize()));
            if (before == processor->parameters.state)
            {
                processor.reset();
                processor = std::make_unique<CalbrixAudioProcessor>();
            }
        }

        juce::ScopedJuceInitialiser_GUI juce;
        std::unique_ptr<CalbrixAudioProcessor> processor = std::make_unique<CalbrixAudioProcessor>();
        juce::MemoryBlock valid;
    };

    Harness& harness()
    {
        static Harness instance;
        return instance;
    }
} // namespace

extern "C" int LLVMFuzzerInitialize (int*, char***)
{
    harness();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    auto& h = harness();
    h.restoreValidState();
    auto& processor = *h.processor;

    const juce::ValueTree before = processor.parameters.state;
    const auto xmlBefore = before.toXmlString();
    processor.setStateInformation (data, static_cast<int> (juce::jmin<size_t> (size, 1 << 20)));

    for (auto* parameter : processor.getParameters())
        if (! (parameter->getValue() >= 0.0f && parameter->getValue() <= 1.0f))
            std::abort();

    // Refused, yet changed.
    if (before == processor.parameters.state && processor.parameters.state.toXmlString() != xmlBefore)
        std::abort();

    processor.loadingPool->removeAllJobs (true, 1000);
    return 0;
}
