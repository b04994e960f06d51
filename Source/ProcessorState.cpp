// Saving and restoring the state tree as XML inside the framework's plug-in state wrapper.
#include "PluginProcessor.h"

#include <cmath>

void CalbrixAudioProcessor::getStateInformation (juce::MemoryBlock& destData)
{
    const auto state = parameters.copyState();
    if (const auto xml = state.createXml())
        copyXmlToBinary (*xml, destData);
}

void CalbrixAudioProcessor::setStateInformation (const void* data, int sizeInBytes)
{
    if (data == nullptr || sizeInBytes < 9)
        return;

    const auto xml = getXmlFromBinary (data, sizeInBytes);
    if (xml == nullptr)
        return;

    if (! xml->getTagName().equalsIgnoreCase (parameters.state.getType().toString()))
        return;

    if (xml->getNumChildElements() != parameters.state.getNumChildren())
        return;

    parameters.replaceState (juce::ValueTree::fromXml (*xml));
    replaceNonFiniteParameterValues();
}

void CalbrixAudioProcessor::replaceNonFiniteParameterValues()
{
    // A saved "nan" or "inf" would reach the audio path as it stands.
    for (auto* parameter : getParameters())
    {
        if (auto* ranged = dynamic_cast<juce::RangedAudioParameter*> (parameter))
        {
            if (! std::isfinite (ranged->getValue()))
                ranged->setValueNotifyingHost (ranged->getDefaultValue());
        }
    }
}
