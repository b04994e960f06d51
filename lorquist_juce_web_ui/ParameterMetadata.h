#pragma once

#include <juce_audio_processors/juce_audio_processors.h>

namespace lorquist::BrowserIntegration
{
    // The page's description of the state tree: one record per child, in child order. A child
    // whose "id" names a float, int, bool or choice parameter gets that parameter's type, label and
    // range (or choices), and a float or int parameter its default after those, so that the page
    // can reset a control before any model has given it a value; any other child, a custom value
    // for one, gets {"id"} only.
    juce::var makeParameterMetadata (const juce::AudioProcessorValueTreeState& valueTreeState);
} // namespace lorquist::BrowserIntegration
