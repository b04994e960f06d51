#pragma once

// Reads an area of the screen back over and over, on a thread and an X connection of its own, and
// keeps what each frame showed: how much of it was white, how much was neither white nor dark (a
// page's controls and text) and how much was a neutral light grey (JUCE's resizable corner; the
// page's greys are bluish).

#include <juce_graphics/juce_graphics.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace calbrix_window_test
{
    struct Frame
    {
        double seconds = 0;   // since the watch started
        float white = 0;      // near-white pixels (every channel 0xe0 or more)
        float content = 0;    // pixels that are neither near-white nor dark
        float lightGrey = 0;  // neutral light grey pixels, not near-white
    };

    class ScreenWatch
    {
    public:
        // `area` in screen pixels.
        explicit ScreenWatch (juce::Rectangle<int> area);
        ~ScreenWatch();

        // Frames read so far; the index of the next one.
        std::vector<Frame> frames() const;
        size_t frameCount() const;
        // The latest frame, or an empty one before the first.
        Frame latest() const;

        // Frames from `first` on with more than `fraction` of their pixels white.
        std::vector<Frame> whiteFramesFrom (size_t first, float fraction = 0.2f) const;

    private:
        void run();

        const juce::Rectangle<int> area;
        mutable std::mutex lock;
        std::vector<Frame> seen;
        std::atomic<bool> stopping { false };
        std::thread reader;
    };
} // namespace calbrix_window_test
