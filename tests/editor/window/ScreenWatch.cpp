#include "ScreenWatch.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <cstdlib>

namespace calbrix_window_test
{
    namespace
    {
        bool isWhite (int r, int g, int b) { return r >= 0xe0 && g >= 0xe0 && b >= 0xe0; }
        bool isDark (int r, int g, int b)  { return r < 0x20 && g < 0x20 && b < 0x20; }
        bool isLightGrey (int r, int g, int b)
        {
            return ! isWhite (r, g, b) && juce::jmin (r, g, b) >= 0xa0 && juce::jmax (r, g, b) - juce::jmin (r, g, b) <= 3;
        }
    } // namespace

    ScreenWatch::ScreenWatch (juce::Rectangle<int> a) : area (a)
    {
        reader = std::thread ([this] { run(); });
    }

    ScreenWatch::~ScreenWatch()
    {
        stopping = true;
        reader.join();
    }

    std::vector<Frame> ScreenWatch::frames() const
    {
        const std::lock_guard<std::mutex> hold (lock);
        return seen;
    }

    size_t ScreenWatch::frameCount() const
    {
        const std::lock_guard<std::mutex> hold (lock);
        return seen.size();
    }

    Frame ScreenWatch::latest() const
    {
        const std::lock_guard<std::mutex> hold (lock);
        return seen.empty() ? Frame {} : seen.back();
    }

    std::vector<Frame> ScreenWatch::whiteFramesFrom (size_t first, float fraction) const
    {
        std::vector<Frame> white;
        const auto all = frames();
        for (size_t i = first; i < all.size(); ++i)
            if (all[i].white > fraction)
                white.push_back (all[i]);
        return white;
    }

    void ScreenWatch::run()
    {
        auto* display = XOpenDisplay (nullptr);
        if (display == nullptr)
            return;

        const auto root = DefaultRootWindow (display);
        const auto start = std::chrono::steady_clock::now();
        const auto pixelCount = (float) area.getWidth() * (float) area.getHeight();

        while (! stopping)
        {
            if (auto* image = XGetImage (display, root, area.getX(), area.getY(), (unsigned) area.getWidth(),
                                         (unsigned) area.getHeight(), AllPlanes, ZPixmap))
            {
                size_t white = 0, content = 0, lightGrey = 0;
                for (int y = 0; y < area.getHeight(); ++y)
                    for (int x = 0; x < area.getWidth(); ++x)
                    {
                        const auto pixel = (juce::uint32) XGetPixel (image, x, y) & 0xffffffu;
                        const int r = (int) (pixel >> 16) & 0xff, g = (int) (pixel >> 8) & 0xff, b = (int) pixel & 0xff;
                        white += isWhite (r, g, b) ? 1u : 0u;
                        content += ! isWhite (r, g, b) && ! isDark (r, g, b) ? 1u : 0u;
                        lightGrey += isLightGrey (r, g, b) ? 1u : 0u;
                    }
                XDestroyImage (image);

                Frame frame;
                frame.seconds = std::chrono::duration<double> (std::chrono::steady_clock::now() - start).count();
                frame.white = (float) white / pixelCount;
                frame.content = (float) content / pixelCount;
                frame.lightGrey = (float) lightGrey / pixelCount;

                const std::lock_guard<std::mutex> hold (lock);
                seen.push_back (frame);
            }

            std::this_thread::sleep_for (std::chrono::milliseconds (5));
        }

        XCloseDisplay (display);
    }
} // namespace calbrix_window_test
