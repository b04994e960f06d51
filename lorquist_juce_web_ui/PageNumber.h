#pragma once

#include <juce_core/juce_core.h>

namespace lorquist::BrowserIntegration
{
    // Whether a value from the page may set a parameter: a finite number, a boolean (the posted
    // channel turns one into "1" or "0" anyway), or text that is wholly a finite decimal number, as
    // a script writes one ("0.25", "-1e-7"). NaN and the infinities, however spelled, other text,
    // objects, arrays and the void value are refused: the framework's conversion would let NaN
    // through its clamping into the audio, and would turn any other text into 0.
    bool isFiniteNumber (const juce::var& value);
} // namespace lorquist::BrowserIntegration
