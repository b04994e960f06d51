// Entry point of the Standalone application. The same executable also serves as the web view's
// child process, so the child's arguments are checked before the JUCE application starts; then,
// while the process still has one thread, it forks the server that checks model files.

#include "ModelCheckServer.h"
#include "WebViewChild.h"

#include <juce_gui_basics/juce_gui_basics.h>

juce::JUCEApplicationBase* juce_CreateApplication();

extern "C" int main (int argc, char* argv[])
{
    calbrix_webview::runChildProcessIfRequested (argc, argv);
    ModelCheckServer::startFromMain (argc, argv);

    juce::JUCEApplicationBase::createInstance = &juce_CreateApplication;
    return juce::JUCEApplicationBase::main (argc, (const char**) argv);
}
