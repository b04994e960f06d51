#pragma once

// The child role of the web view: a GTK main loop showing one WebKitGTK view in a GtkPlug, driven by
// the commands of the parent's WebViewComponent over the pipes named on its command line. A fourth
// argument, a colour as juce::Colour::toString writes it, is the view's background from its first
// frame on.

namespace calbrix_webview
{
    // True when the process was started as a web view child.
    bool isChildInvocation (int argc, const char* const* argv);

    // Runs the child role until the parent closes the command pipe; returns the exit code.
    int runChildProcess (int argc, const char* const* argv);

    // Call first thing in `main` of any executable that creates a WebViewComponent: in a child it runs
    // the child role and exits the process; otherwise it returns at once.
    void runChildProcessIfRequested (int argc, const char* const* argv);
} // namespace calbrix_webview
