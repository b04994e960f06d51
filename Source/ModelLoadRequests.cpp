// Turning state-tree events into model loads on the loading worker.
#include "PluginProcessor.h"

#include "CalbrixIdentifiers.h"
#include "UpdateEngineJob.h"

juce::File CalbrixAudioProcessor::modelFileFor (const juce::String& modelPathText)
{
    return juce::File (calbrix_applicationdata_directory.getFullPathName() + "/" + "models" + "/" + modelPathText);
}

void CalbrixAudioProcessor::requestModelLoadFromState (bool applyDefaults)
{
    // Read without creating the value when the tree has none: a restored tree keeps its children,
    // so the processor goes on taking the states it writes itself.
    const auto modelPath = parameters.findCustomParamValue (calbrix_parameters::param_name_modelpath).toString();
    updateEngine (modelFileFor (modelPath).getFullPathName().toStdString(), applyDefaults);
}

void CalbrixAudioProcessor::valueTreePropertyChanged (juce::ValueTree& tree, const juce::Identifier& property)
{
    if (property.isNull())
        return;

    const auto id = tree.getProperty ("id", "invalid");
    if (property != ID_SETSTATE_REQUEST && id.toString() != calbrix_parameters::param_name_modelpath)
        return;

    requestModelLoadFromState (true);
}

void CalbrixAudioProcessor::valueTreeRedirected (juce::ValueTree&)
{
    requestModelLoadFromState (false);
}

void CalbrixAudioProcessor::updateEngine (std::string path, bool applyDefaults)
{
    const juce::ScopedLock lock (jobLock);
    if (loadingPool == nullptr)
        return;

    latestLoadPath = path;
    latestLoadAppliesDefaults = applyDefaults;

    // A load that does not end within the wait runs on to its end and the new one waits behind
    // it; one that never comes back from the model is found and left behind by the watch. The
    // loading worker's other work (a host preparation, a recovery) is never dropped.
    struct OnlyLoads : juce::ThreadPool::JobSelector
    {
        bool isJobSuitable (juce::ThreadPoolJob* job) override { return dynamic_cast<UpdateEngineJob*> (job) != nullptr; }
    } onlyLoads;
    loadingPool->removeAllJobs (true, 100, &onlyLoads);
    loadingPool->addJob (new UpdateEngineJob (*this, std::move (path), applyDefaults), true);
}
