#pragma once

#include <juce_core/juce_core.h>

namespace lorquist::BrowserIntegration
{
    // Opens a URL in the system's default browser; true when the opener could be started.
    // On Linux the framework's own launcher hands the URL to a shell, so a URL from the page
    // holding "$(...)" or a quote would run commands, and a path to a program would run it. Here
    // the URL goes as one plain argument to the desktop's opener, started without a shell.
    bool launchInDefaultBrowser (const juce::URL& url);
} // namespace lorquist::BrowserIntegration
