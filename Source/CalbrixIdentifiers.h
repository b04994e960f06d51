#pragma once

#include <juce_core/juce_core.h>
#include <juce_data_structures/juce_data_structures.h>

// Names shared by every part of the plug-in. Each translation unit holds its own copy, made during
// static initialisation, so the data directory is fixed when the program starts.

namespace calbrix_parameters
{
    static const juce::String param_name_p1 { "p1" };
    static const juce::String param_name_p2 { "p2" };
    static const juce::String param_name_p3 { "p3" };
    static const juce::String param_name_p4 { "p4" };
    static const juce::String param_name_wetgain { "wet_gain" };
    static const juce::String param_name_drygain { "dry_gain" };
    static const juce::String param_name_inputgain { "input_gain" };
    static const juce::String param_name_outputgain { "output_gain" };
    static const juce::String param_name_modelpath { "model_path" };
    static const juce::String param_name_instanceid { "instance_id" };
    static const juce::String param_name_pluginversion { "plugin_version" };
    static const juce::String param_name_sdkversion { "sdk_version" };
    static const juce::String param_name_modelid { "model_id" };
    static const juce::String param_name_presetid { "preset_id" };
    static const juce::String param_name_is_model_loading { "is_model_loading" };
} // namespace calbrix_parameters

// Announced on the state tree to ask the processor to (re)load the model named by "model_path".
static const juce::Identifier ID_SETSTATE_REQUEST { "HOST_SETSTATE_REQUEST" };

// Where models, presets and the log file live.
static const juce::File calbrix_applicationdata_directory {
    juce::File::getSpecialLocation (juce::File::userApplicationDataDirectory).getFullPathName()
        + "/Application Support/Ardel/Calbrix"
};

namespace calbrix
{
    static const juce::String pluginVersionText { "1.5.0" };
    static const juce::String sdkVersionText { "0.2.3" };
    static const juce::String stateTreeType { "CalbrixValueTree" };
} // namespace calbrix
