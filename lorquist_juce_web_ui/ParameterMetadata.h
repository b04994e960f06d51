#pragma once

#include <juce_audio_processors/juce_audio_processors.h>

namespace lorquist::BrowserIntegration
{
    // The page's description of the state tree: one record per child, in child order. A child
    // whose "id" names a float, int, bool or choice parameter gets that parameter's type, label and
    // range (or choices); any other child, a custom value for one, gets {"id"} only.
    juce::var makeParameterMetadata (const juce::AudioProcessorValueTreeState& valueTreeState);
} // namespace lorquist::BrowserIntegration
