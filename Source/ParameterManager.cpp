#include "ParameterManager.h"
#include "CalbrixIdentifiers.h"

const juce::Identifier ParameterManager::CUSTOM_PARAMETER_TYPE_ARRAY[2] = { "PARAMX", "PARAMP" };

namespace
{
    const juce::Identifier idProperty { "id" };
    const juce::Identifier valueProperty { "value" };
}

ParameterManager::ParameterManager (juce::AudioProcessor& processorToConnectTo,
                                    const juce::Identifier& valueTreeType,
                                    ParameterLayout parameterLayout)
    : juce::AudioProcessorValueTreeState (processorToConnectTo, nullptr, valueTreeType, std::move (parameterLayout))
{
}

ParameterManager::ParameterLayout ParameterManager::createParameterLayout()
{
    using namespace calbrix_parameters;
    ParameterLayout layout;

    for (const auto& name : { param_name_p1, param_name_p2, param_name_p3, param_name_p4 })
        layout.add (std::make_unique<juce::AudioParameterFloat> (juce::ParameterID { name, 1 }, name, 0.0f, 1.0f, 0.5f));

    layout.add (std::make_unique<juce::AudioParameterFloat> (juce::ParameterID { param_name_wetgain, 1 }, param_name_wetgain, 0.0f, 1.0f, 1.0f));
    layout.add (std::make_unique<juce::AudioParameterFloat> (juce::ParameterID { param_name_drygain, 1 }, param_name_drygain, 0.0f, 1.0f, 0.5f));

    const juce::NormalisableRange<float> gainRange { -30.0f, 30.0f, 0.01f };
    layout.add (std::make_unique<juce::AudioParameterFloat> (juce::ParameterID { param_name_outputgain, 1 }, param_name_outputgain, gainRange, 0.0f));
    layout.add (std::make_unique<juce::AudioParameterFloat> (juce::ParameterID { param_name_inputgain, 1 }, param_name_inputgain, gainRange, 0.0f));

    return layout;
}

juce::ValueTree ParameterManager::findCustomParam (const juce::String& id) const
{
    const juce::ValueTree tree { state };
    const juce::var wanted { id };

    for (const auto& child : tree)
        if (child.getProperty (idProperty) == wanted)
            return child;

    return {};
}

void ParameterManager::createAndAddCustomParam (const juce::String& id, const juce::var& value, CustomParameterTypes type)
{
    juce::ignoreUnused (type);

    if (findCustomParam (id).isValid() || ! state.isValid())
        return;

    // Every custom value of the system is a "PARAMX" child, whatever type is asked for.
    juce::ValueTree child { CUSTOM_PARAMETER_TYPE_ARRAY[PARAMX] };
    child.setProperty (idProperty, id, nullptr);
    child.setProperty (valueProperty, value, nullptr);
    state.addChild (child, -1, nullptr);
}

juce::var ParameterManager::getCustomParamValue (const juce::String& id, CustomParameterTypes type)
{
    const juce::ScopedLock lock (customParamLock);

    auto child = findCustomParam (id);
    if (! child.isValid())
    {
        createAndAddCustomParam (id, juce::var::undefined(), type);
        child = findCustomParam (id);
    }

    return child.getProperty (valueProperty);
}

juce::var ParameterManager::findCustomParamValue (const juce::String& id) const
{
    const juce::ScopedLock lock (customParamLock);
    const auto child = findCustomParam (id);
    return child.isValid() ? child.getProperty (valueProperty) : juce::var::undefined();
}

void ParameterManager::setCustomParamValue (const juce::String& id, const juce::var& value, CustomParameterTypes type)
{
    juce::ignoreUnused (type);
    const juce::ScopedLock lock (customParamLock);

    if (! state.isValid())
        return;

    auto child = findCustomParam (id);
    if (child.isValid())
        child.setProperty (valueProperty, value, nullptr);
}
