// Throwing away everything in flight between the audio thread and the inference worker.
#include "CalbrixModel.h"

#include "PluginProcessor.h"

namespace
{
    void replaceWithEmptyQueues (SampleQueues& queues, size_t capacity)
    {
        for (auto& queue : queues)
            queue = std::make_unique<SampleQueue> (capacity);
    }
} // namespace

void CalbrixAudioProcessor::resetQueues()
{
    // Sized for the prepared block size: the audio thread never makes a queue grow.
    const auto capacity = preparedQueueCapacity.load();
    replaceWithEmptyQueues (inputQueues, capacity);
    replaceWithEmptyQueues (outputQueues, capacity);
    replaceWithEmptyQueues (dryQueues, capacity);

    dryDelayLeft->clear();
    dryDelayRight->clear();

    replaceWithEmptyQueues (paramQueues, capacity);

    model->reset();

    underrunCount = 0;
    extraLatency = 0;
}
