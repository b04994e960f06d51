// Throwing away everything in flight between the audio thread and the inference worker.
#include "CalbrixModel.h"

#include "PluginProcessor.h"

namespace
{
    void replaceWithEmptyQueues (SampleQueues& queues)
    {
        for (auto& queue : queues)
            queue = std::make_unique<SampleQueue> (CalbrixAudioProcessor::queueCapacity);
    }
} // namespace

void CalbrixAudioProcessor::resetQueues()
{
    replaceWithEmptyQueues (inputQueues);
    replaceWithEmptyQueues (outputQueues);
    replaceWithEmptyQueues (dryQueues);

    dryDelayLeft->clear();
    dryDelayRight->clear();

    replaceWithEmptyQueues (paramQueues);

    model->reset();

    underrunCount = 0;
    extraLatency = 0;
}
