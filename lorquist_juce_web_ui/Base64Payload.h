#pragma once

#include <juce_core/juce_core.h>

#include <cstddef>
#include <optional>

namespace lorquist::BrowserIntegration
{
    // The bytes of `length` characters of standard Base64 text (groups of four, "=" filling the
    // last), accepted and decoded as juce::Base64::convertFromBase64 does, or nothing at the first
    // character that is not valid at its place. In one pass into a block sized up front: the
    // framework's decoder writes a byte at a time into whatever stream it is given, and a growing
    // memory stream makes a large payload quadratic.
    std::optional<juce::MemoryBlock> decodeBase64 (const char* text, size_t length);
} // namespace lorquist::BrowserIntegration
