#pragma once

// The X window that juce::XEmbedComponent keeps an embedded client in (its "host", the client's
// parent), handled on a display connection of its own. Native windows cover whatever JUCE paints
// beneath them, and JUCE leaves this window without a background, so that until the client draws,
// the X server shows what was on screen before (a closed dialog, say). Here it gets the view's
// background colour, and an area of it can be cut away so that JUCE's own painting and mouse
// handling show through there (a resizable corner, say). Message thread only.

#include <juce_graphics/juce_graphics.h>

namespace calbrix_webview
{
    class EmbeddingWindow
    {
    public:
        EmbeddingWindow();
        ~EmbeddingWindow();

        // Gives the host of `clientWindow` the background `argb` and a shape that leaves out `hole`
        // (physical pixels, relative to the host's top-left; empty: nothing is left out). Does
        // nothing unless the client's host sits directly in `peerWindow`, the JUCE window it is
        // embedded in: a client not yet embedded is never mistaken for its host. Returns whether it
        // did it; the server has then carried it out. Requests of JUCE's own connection must have
        // reached the server first.
        bool update (unsigned long clientWindow, unsigned long peerWindow, juce::uint32 argb, juce::Rectangle<int> hole);

    private:
        void* display = nullptr;

        JUCE_DECLARE_NON_COPYABLE (EmbeddingWindow)
    };
} // namespace calbrix_webview
