#pragma once

#include <juce_core/juce_core.h>

namespace lorquist::BrowserIntegration
{
    // Replaces a file's whole content in one step, or not at all: the bytes go to a new hidden file
    // in the same folder, which is flushed to the disk and only then renamed over the file. On any
    // failure (a full disk, say) the old file is left byte for byte as it was and the new one is
    // removed, so neither a half-written file nor a stray temporary remains, and a reader (the
    // model loader) never sees a file being rewritten. The file keeps its permissions; through a
    // link, the file the link leads to is replaced and the link stays. A folder that refuses the
    // temporary (one the user may write files in but not add to) has the file rewritten in place
    // instead, when it is a regular file that may be written: its room is claimed first, so a full
    // disk still fails before the old content is touched. True when the file holds the new content.
    bool replaceFileContent (const juce::File& file, const void* data, size_t size);
} // namespace lorquist::BrowserIntegration
