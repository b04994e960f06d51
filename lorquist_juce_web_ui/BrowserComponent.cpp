#include "BrowserComponent.h"

namespace lorquist::BrowserIntegration
{
    BrowserComponent::BrowserComponent (juce::String, juce::String, calbrix_webview::WebViewPreferences)
        // Hiding the editor must leave the page and its state alone.
        : calbrix_webview::WebViewComponent (false, {}, juce::Colour (pageBackgroundArgb))
    {
        // Not escaped: the web view turns a "file:" URL back into the local path it names.
        goToURL ("file://" + getPageFile().getFullPathName());
    }

    BrowserComponent::~BrowserComponent() = default;

    juce::File BrowserComponent::getPageFile()
    {
        return juce::File::getSpecialLocation (juce::File::currentExecutableFile)
            .getParentDirectory()
            .getChildFile ("public")
            .getChildFile ("index.html");
    }

    bool BrowserComponent::pageAboutToLoad (const juce::String& url)
    {
        if (! url.startsWith (messageUrlPrefix))
            return true;

        if (! onMessage)
            return false;

        const auto payload = juce::URL::removeEscapeChars (url.substring (messageUrlPrefix.length()));
        // Anything but a JSON object or array, malformed text included, comes out as the void var,
        // which the router drops.
        onMessage (juce::JSON::parse (payload));
        return false;
    }

    void BrowserComponent::scriptMessageReceived (juce::var message)
    {
        // The router installs its callback right after construction, before any page can post;
        // until then messages are dropped, as on the navigation channel.
        if (onMessage)
            onMessage (message);
    }
} // namespace lorquist::BrowserIntegration
