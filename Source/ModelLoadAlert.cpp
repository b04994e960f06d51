#include "ModelLoadAlert.h"

#include <juce_gui_basics/juce_gui_basics.h>

namespace
{
    constexpr int waitForBoxMilliseconds = 2000;
}

void showModelLoadFailure (const juce::String& errorText)
{
    auto shown = std::make_shared<juce::WaitableEvent>();

    const bool posted = juce::MessageManager::callAsync ([errorText, shown]
    {
        juce::AlertWindow::showMessageBoxAsync (juce::MessageBoxIconType::InfoIcon,
                                                "Error: Model Loading Failed",
                                                errorText,
                                                "ok",
                                                nullptr,
                                                nullptr);
        shown->signal();
    });

    if (posted && ! juce::MessageManager::getInstance()->isThisTheMessageThread())
        shown->wait (waitForBoxMilliseconds);
}
