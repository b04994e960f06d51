#pragma once

// The framed protocol between the web view component and its GTK child process.
// Each frame is a 32-bit little-endian byte count followed by that many bytes of UTF-8 JSON text
// holding one object with a "type" property. Both ends use these helpers.

#include <juce_core/juce_core.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace calbrix_webview
{
    // The most text one message may carry (a posted string, a file's Base64): a share of the
    // machine's memory small enough that the few copies a message passes through (page, child,
    // pipe, parent, decoded file) leave plenty to spare; never less than 64 MiB, and never more
    // than 1 GiB, which keeps every length within what juce::String and the frame's count hold.
    std::size_t messageTextLimit();

    // Frames larger than this are taken as a broken peer rather than buffered without end: room for
    // a message at messageTextLimit with its escapes and fields, within what an int counts.
    std::uint32_t frameByteLimit();
    inline const std::uint32_t maxFrameBytes = frameByteLimit();

    // JSON text of a value with every non-ASCII character written as raw UTF-8. juce::JSON::toString
    // writes characters outside the BMP as \u surrogate pairs that juce::JSON::parse cannot join
    // again, which would corrupt emoji and the like on their way across the pipe.
    juce::String toProtocolJson (const juce::var& value);

    // One frame ready to be written: length prefix and JSON text of `message`.
    juce::MemoryBlock encodeFrame (const juce::var& message);

    // Collects bytes as they arrive and hands back every complete frame, parsed.
    class FrameDecoder
    {
    public:
        // Appends `numBytes` bytes. Returns false once the stream is unusable (an oversize frame);
        // after that the decoder ignores further input.
        bool append (const void* data, size_t numBytes);

        // Moves the messages decoded so far into `out` (in arrival order). A frame whose text is not
        // JSON arrives as the void var, so the caller can drop it without losing the stream's framing.
        void takeMessages (std::vector<juce::var>& out);

        bool isBroken() const noexcept { return broken; }

    private:
        std::vector<char> pending;
        std::vector<juce::var> ready;
        bool broken = false;
    };
} // namespace calbrix_webview
