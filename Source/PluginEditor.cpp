#include "PluginEditor.h"

#include "CalbrixIdentifiers.h"
#include "PluginProcessor.h"

CalbrixAudioProcessorEditor::CalbrixAudioProcessorEditor (CalbrixAudioProcessor& p, juce::AudioProcessorValueTreeState& state)
    : juce::AudioProcessorEditor (p),
      valueTreeState (state),
      audioProcessor (p)
{
    browser = std::make_unique<lorquist::BrowserIntegration::BrowserComponent> ("127.0.0.1", audioProcessor.getConnectedPort(),
                                                                               webViewPreferences);
    connectBridge();
    addAndMakeVisible (*browser);

    valueTreeState.state.addListener (this);

    if (auto* sizeRules = getConstrainer())
    {
        sizeRules->setMinimumSize (minimumWidth, minimumHeight);
        sizeRules->setFixedAspectRatio (aspectRatio);
    }

    setOpaque (true);
    setSize (initialWidth, initialHeight);
    setResizable (true, true);

    // The web view's native window would cover the corner JUCE paints; it leaves that area to it.
    browser->leaveUncovered (resizableCorner.get());
}

CalbrixAudioProcessorEditor::~CalbrixAudioProcessorEditor()
{
    valueTreeState.state.removeListener (this);
    browserIntegration.reset();
    browser.reset();
    pluginClient.reset();
}

void CalbrixAudioProcessorEditor::connectBridge()
{
    // A new router takes over the web view's messages before the old one and its client go.
    browserIntegration = std::make_unique<lorquist::BrowserIntegration::BrowserIntegration> (*browser);
    pluginClient = std::make_unique<lorquist::BrowserIntegration::BrowserIntegrationPluginClient> (
        *browserIntegration, valueTreeState, calbrix_applicationdata_directory.getFullPathName(), "Plugin");
    pluginClient->setupBrowserPluginIntegration();
}

void CalbrixAudioProcessorEditor::paint (juce::Graphics& g)
{
    g.fillAll (juce::Colours::black);
}

void CalbrixAudioProcessorEditor::resized()
{
    // The web view fills the editor wherever the window has put the editor (the standalone window
    // moves it down under its notification bar, for one).
    browser->setBounds (getLocalBounds());
}

void CalbrixAudioProcessorEditor::valueTreePropertyChanged (juce::ValueTree& tree, const juce::Identifier&)
{
    if (tree.getProperty ("id").toString() != calbrix_parameters::param_name_is_model_loading)
        return;

    const auto value = tree.getProperty ("value");
    if (! value.isBool())
        return;

    // The loading worker changes this value: the page hears of it on the message thread, through
    // whichever router the editor holds by then, and not at all once the editor is gone.
    juce::Component::SafePointer<CalbrixAudioProcessorEditor> editor (this);
    const bool isLoading = value;
    juce::MessageManager::callAsync ([editor, isLoading]
    {
        if (editor != nullptr)
            editor->browserIntegration->sendEventToBrowser (calbrix_parameters::param_name_is_model_loading, isLoading);
    });
}

void CalbrixAudioProcessorEditor::valueTreeRedirected (juce::ValueTree&)
{
    connectBridge();
}
