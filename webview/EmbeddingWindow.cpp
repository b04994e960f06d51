#include "EmbeddingWindow.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/shape.h>

#include <vector>

namespace calbrix_webview
{
    namespace
    {
        Display* asDisplay (void* display) { return static_cast<Display*> (display); }

        // The parent of `window`, or 0.
        Window parentOf (Display* dpy, Window window)
        {
            Window root = 0, parent = 0, *children = nullptr;
            unsigned int count = 0;
            if (XQueryTree (dpy, window, &root, &parent, &children, &count) == 0)
                return 0;
            if (children != nullptr)
                XFree (children);
            return parent;
        }

        // A window may be destroyed by its owner at any moment (the child process dying): errors
        // about such a window are expected, and Xlib's default handler would end the process.
        int ignoreErrors (Display*, XErrorEvent*) { return 0; }

        struct ErrorsIgnored
        {
            explicit ErrorsIgnored (Display* d) : dpy (d) { XSync (dpy, False); previous = XSetErrorHandler (ignoreErrors); }
            ~ErrorsIgnored() { XSync (dpy, False); XSetErrorHandler (previous); }
            Display* dpy;
            XErrorHandler previous;
        };

        // The window everywhere but `hole`; rectangles reach far beyond any window size, so the
        // shape stays right whatever size the window is given later.
        std::vector<XRectangle> everywhereBut (juce::Rectangle<int> hole)
        {
            constexpr int far = 32767;
            const auto x = (short) hole.getX(), y = (short) hole.getY();
            const auto right = (short) hole.getRight(), bottom = (short) hole.getBottom();
            const auto height = (unsigned short) hole.getHeight();

            std::vector<XRectangle> rectangles;
            rectangles.push_back ({ 0, 0, (unsigned short) far, (unsigned short) juce::jmax (0, (int) y) }); // above
            rectangles.push_back ({ 0, bottom, (unsigned short) far, (unsigned short) far });               // below
            rectangles.push_back ({ 0, y, (unsigned short) juce::jmax (0, (int) x), height });             // left
            rectangles.push_back ({ right, y, (unsigned short) far, height });                              // right
            return rectangles;
        }
    } // namespace

    EmbeddingWindow::EmbeddingWindow() = default;

    EmbeddingWindow::~EmbeddingWindow()
    {
        if (display != nullptr)
            XCloseDisplay (asDisplay (display));
    }

    bool EmbeddingWindow::update (unsigned long clientWindow, unsigned long peerWindow, juce::uint32 argb, juce::Rectangle<int> hole)
    {
        if (display == nullptr)
            display = XOpenDisplay (nullptr);

        auto* dpy = asDisplay (display);
        if (dpy == nullptr || clientWindow == 0 || peerWindow == 0)
            return false;

        const ErrorsIgnored errorsIgnored (dpy);

        const auto host = parentOf (dpy, clientWindow);
        if (host == 0 || parentOf (dpy, host) != peerWindow)
            return false;

        XWindowAttributes attributes;
        if (XGetWindowAttributes (dpy, host, &attributes) == 0)
            return false;

        XColor colour {};
        colour.red = (unsigned short) (((argb >> 16) & 0xff) * 257);
        colour.green = (unsigned short) (((argb >> 8) & 0xff) * 257);
        colour.blue = (unsigned short) ((argb & 0xff) * 257);
        colour.flags = DoRed | DoGreen | DoBlue;
        if (XAllocColor (dpy, attributes.colormap, &colour) != 0)
            XSetWindowBackground (dpy, host, colour.pixel);

        int eventBase = 0, errorBase = 0;
        if (XShapeQueryExtension (dpy, &eventBase, &errorBase))
        {
            if (hole.isEmpty())
            {
                XShapeCombineMask (dpy, host, ShapeBounding, 0, 0, None, ShapeSet);
            }
            else
            {
                auto rectangles = everywhereBut (hole);
                XShapeCombineRectangles (dpy, host, ShapeBounding, 0, 0, rectangles.data(), (int) rectangles.size(), ShapeSet, Unsorted);
            }
        }

        XFlush (dpy);
        return true;
    }
} // namespace calbrix_webview
