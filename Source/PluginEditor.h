#pragma once

#include <juce_audio_processors/juce_audio_processors.h>

#include "BrowserComponent.h"
#include "BrowserIntegration.h"
#include "BrowserIntegrationPluginClient.h"
#include "WebViewPreferences.h"

#include <memory>

class CalbrixAudioProcessor;

// The processor's editor: the page in a web view over the whole window, the event router between
// page and processor and the plug-in client that answers the page. It tells the page when a model
// is loading, and rebuilds its side of the bridge when the processor's whole state is replaced.
class CalbrixAudioProcessorEditor : public juce::AudioProcessorEditor,
                                    public juce::ValueTree::Listener
{
public:
    CalbrixAudioProcessorEditor (CalbrixAudioProcessor& processor, juce::AudioProcessorValueTreeState& valueTreeState);
    ~CalbrixAudioProcessorEditor() override;

    void paint (juce::Graphics&) override;
    void resized() override;

    void valueTreePropertyChanged (juce::ValueTree& tree, const juce::Identifier& property) override;
    void valueTreeRedirected (juce::ValueTree& tree) override;

    static constexpr int initialWidth = 690, initialHeight = 750;
    static constexpr int minimumWidth = 345, minimumHeight = 375;
    static constexpr double aspectRatio = 0.92;

    // For tests: the parts the editor is built from.
    lorquist::BrowserIntegration::BrowserComponent& getBrowser() noexcept { return *browser; }
    lorquist::BrowserIntegration::BrowserIntegration& getBrowserIntegration() noexcept { return *browserIntegration; }

private:
    void connectBridge();

    juce::AudioProcessorValueTreeState& valueTreeState;
    CalbrixAudioProcessor& audioProcessor;
    calbrix_webview::WebViewPreferences webViewPreferences;
    std::unique_ptr<lorquist::BrowserIntegration::BrowserIntegrationPluginClient> pluginClient;
    std::unique_ptr<lorquist::BrowserIntegration::BrowserComponent> browser;
    std::unique_ptr<lorquist::BrowserIntegration::BrowserIntegration> browserIntegration;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (CalbrixAudioProcessorEditor)
};
