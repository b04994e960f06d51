#pragma once

// Conversion of a value that the page posted to the "juce" handler into a juce::var.

#include <juce_core/juce_core.h>

typedef struct _JSCValue JSCValue;

namespace calbrix_webview
{
    // Objects become DynamicObjects and arrays Arrays, recursively and in order; strings stay strings
    // (UTF-8); numbers become their JavaScript text ("2", "1.5") and booleans "1" or "0", so that the
    // receiver sees the same kinds whatever the platform's web view; null, undefined, dates and
    // functions become the void var.
    juce::var postedValueToVar (JSCValue* value);
} // namespace calbrix_webview
