#pragma once

#include <juce_audio_processors/juce_audio_processors.h>

// The processor's state tree: the framework's parameter tree plus the custom values, child trees of
// type "PARAMX" with an "id" and a "value" that are not automatable parameters.
class ParameterManager : public juce::AudioProcessorValueTreeState
{
public:
    enum CustomParameterTypes
    {
        PARAMX = 0,
        PARAMP = 1
    };

    static const juce::Identifier CUSTOM_PARAMETER_TYPE_ARRAY[2];

    ParameterManager (juce::AudioProcessor& processor,
                      const juce::Identifier& valueTreeType,
                      ParameterLayout parameterLayout);

    // Adds a custom value unless a child with that id exists already.
    void createAndAddCustomParam (const juce::String& id, const juce::var& value, CustomParameterTypes type);

    // Returns a copy of the value, creating the custom value (undefined) when it is missing.
    juce::var getCustomParamValue (const juce::String& id, CustomParameterTypes type);

    // The value, or undefined when there is no such custom value; never creates one.
    juce::var findCustomParamValue (const juce::String& id) const;

    // Replaces the value of an existing custom value; listeners hear of it only when it changed.
    void setCustomParamValue (const juce::String& id, const juce::var& value, CustomParameterTypes type);

    // The eight automatable parameters, in the order a host sees them.
    static ParameterLayout createParameterLayout();

private:
    juce::ValueTree findCustomParam (const juce::String& id) const;

    juce::CriticalSection customParamLock;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ParameterManager)
};
