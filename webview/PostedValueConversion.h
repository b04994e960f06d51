#pragma once

// Conversion of a value that the page posted to the "juce" handler into a juce::var.

#include "PipeProtocol.h"

#include <juce_core/juce_core.h>

#include <cstddef>

typedef struct _JSCValue JSCValue;

namespace calbrix_webview
{
    // What one posted message may hold. Values: far above anything a page has reason to post (a
    // preset is a few dozen values, a saved file one string), low enough that converting a message
    // stays quick. Text: whatever the machine's memory carries with room to spare, so that a page
    // can save a model file it fetched (see messageTextLimit).
    constexpr int maxPostedValues = 10000;
    inline const size_t maxPostedTextBytes = messageTextLimit();

    // Objects become DynamicObjects and arrays Arrays, recursively and in order; strings stay strings
    // (UTF-8); numbers become their JavaScript text ("2", "1.5") and booleans "1" or "0", so that the
    // receiver sees the same kinds whatever the platform's web view; null, undefined, dates and
    // functions become the void var. A reference back to an object that contains it (a cycle)
    // becomes the void var; an object referred to from several places is converted at each.
    // Returns false, and converts nothing, when the value holds more than `maxPostedValues` values
    // (counted as converted, so shared parts count each time) or more than `maxPostedTextBytes`
    // bytes of strings and keys.
    bool convertPostedValue (JSCValue* value, juce::var& result);
} // namespace calbrix_webview
