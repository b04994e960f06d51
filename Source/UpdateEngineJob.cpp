#include "CalbrixModel.h"

#include "UpdateEngineJob.h"

#include "CalbrixIdentifiers.h"
#include "ModelFileCheck.h"
#include "ModelLoadAlert.h"
#include "PluginProcessor.h"

#include <cmath>
#include <fstream>
#include <iostream>

namespace
{
    constexpr int fadeOutChecks = 200;

    void touchLock (juce::CriticalSection& lock)
    {
        const juce::ScopedLock hold (lock);
    }
} // namespace

UpdateEngineJob::UpdateEngineJob (CalbrixAudioProcessor& p, std::string path, bool defaults)
    : juce::ThreadPoolJob ("UpdateEngineJob"),
      processor (p),
      filePath (std::move (path)),
      applyDefaults (defaults)
{
}

UpdateEngineJob::~UpdateEngineJob() = default;

juce::ThreadPoolJob::JobStatus UpdateEngineJob::runJob()
{
    if (shouldExit())
        return jobNeedsRunningAgain;

    const juce::File file { juce::String::fromUTF8 (filePath.c_str()) };
    if (! file.existsAsFile())
    {
        processor.loading = false;
        processor.fadeState = 2;
        return jobHasFinished;
    }

    setModelLoadingFlag (true);
    processor.fadeState = 1;
    waitForFadeOut();
    processor.loading = true;

    const std::string fullPath = file.getFullPathName().toStdString();
    std::string errorText;

    try
    {
        const bool loaded = loadModule (fullPath, errorText);
        processor.logger->logMessage (errorText);

        if (loaded)
        {
            processor.prepareModel (processor.getSampleRate(), processor.getBlockSize());
            processor.resetRequested = true;

            processor.bufferingDelay = processor.model->calc_buffering_delay_samples();
            processor.modelDelay = processor.model->calc_model_delay_samples();
            processor.setLatencySamples (processor.bufferingDelay.load() + processor.modelDelay.load());

            if (applyDefaults)
                applyModelDefaults();
        }
    }
    catch (const std::exception& e)
    {
        // Anything the runtime throws besides its own errors still ends the load cleanly, so the
        // plug-in is never left silent or "loading".
        processor.model->loaded = false;
        reportLoadFailure ("error loading the model\n" + fullPath + "\n" + e.what() + "\n");
    }
    catch (...)
    {
        processor.model->loaded = false;
        reportLoadFailure ("error loading the model\n" + fullPath + "\nunknown error\n");
    }

    setModelLoadingFlag (false);
    processor.loading = false;
    processor.fadeState = 2;
    return jobHasFinished;
}

void UpdateEngineJob::setModelLoadingFlag (bool isLoading)
{
    touchLock (processor.jobLock);
    processor.parameters.setCustomParamValue (calbrix_parameters::param_name_is_model_loading, isLoading, ParameterManager::PARAMX);
}

void UpdateEngineJob::waitForFadeOut()
{
    for (int check = 0; check < fadeOutChecks; ++check)
    {
        if (processor.muted)
            return;
        juce::Thread::sleep (1);
    }
}

void UpdateEngineJob::reportLoadFailure (const std::string& errorText)
{
    processor.logger->logMessage (errorText);
    showModelLoadFailure (juce::String::fromUTF8 (errorText.c_str()));
}

bool UpdateEngineJob::loadModule (const std::string& fullPath, std::string& errorText)
{
    auto& model = *processor.model;

    std::string crash;
    if (ModelFileCheck::check (fullPath, crash) == ModelFileCheck::Outcome::crashesLoader)
    {
        model.loaded = false;
        errorText = "error loading the model\n" + fullPath + "\n" + crash + "\n";
        showModelLoadFailure (juce::String::fromUTF8 (errorText.c_str()));
        return false;
    }

    std::ifstream stream (fullPath, std::ios::in | std::ios::binary);

    {
        // No inference step or preparation may be inside the module while it is replaced.
        const std::lock_guard<std::recursive_mutex> lock (model.callLock());
        try
        {
            model.loaded = false;
            model.module = torch::jit::load (stream);
            model.module.train (false);
            model.loaded = true;
        }
        catch (const std::exception& e)
        {
            errorText = "error loading the model\n" + fullPath + "\n" + describeTorchError (e);
        }
    }

    if (! errorText.empty())
    {
        model.loaded = false;
        showModelLoadFailure (juce::String::fromUTF8 (errorText.c_str()));
        return false;
    }

    if (! listMethods())
        return false;

    const std::lock_guard<std::recursive_mutex> lock (model.callLock());
    model.inputs.clear();
    model.inputs.push_back (torch::zeros ({ 2, 0 }));
    return true;
}

bool UpdateEngineJob::listMethods()
{
    auto& model = *processor.model;
    const std::lock_guard<std::recursive_mutex> lock (model.callLock());
    c10::InferenceMode guard;

    try
    {
        for (auto* function : model.module.type()->methods())
            torch::jit::Method method (model.module._ivalue(), function);
        return true;
    }
    catch (const c10::Error& e)
    {
        std::cerr << describeTorchError (e) << "error getting methods of the model\n";
        return false;
    }
}

void UpdateEngineJob::applyModelDefaults()
{
    auto& model = *processor.model;

    try
    {
        const std::lock_guard<std::recursive_mutex> lock (model.callLock());
        c10::InferenceMode guard;

        auto call = [&model] (const char* name) { return model.module.get_method (name) (std::vector<c10::IValue> {}); };

        const auto params = call ("get_default_param_values").toTensor();
        const double dry = call ("get_dry_default_value").toDouble();
        const double wet = call ("get_wet_default_value").toDouble();
        const double inputGain = call ("get_input_gain_default_value").toDouble();
        const double outputGain = call ("get_output_gain_default_value").toDouble();

        std::atomic<float>* paramDefaults[] = { &model.defaultP1, &model.defaultP2, &model.defaultP3, &model.defaultP4 };
        for (int i = 0; i < 4; ++i)
            paramDefaults[i]->store (params.select (0, i).item<float>());

        model.defaultDry = static_cast<float> (dry);
        model.defaultWet = static_cast<float> (wet);
        model.defaultInputGain = static_cast<float> (inputGain);
        model.defaultOutputGain = static_cast<float> (outputGain);
    }
    catch (const std::exception& e)
    {
        processor.logger->logMessage ("error calling get_default_param_values \n" + describeTorchError (e));
        return;
    }

    using namespace calbrix_parameters;
    const std::pair<const juce::String*, float> assignments[] = {
        { &param_name_p1, model.defaultP1 },           { &param_name_p2, model.defaultP2 },
        { &param_name_p3, model.defaultP3 },           { &param_name_p4, model.defaultP4 },
        { &param_name_drygain, model.defaultDry },     { &param_name_wetgain, model.defaultWet },
        { &param_name_inputgain, model.defaultInputGain }, { &param_name_outputgain, model.defaultOutputGain },
    };

    // A NaN or infinite default would carry straight through to the audio.
    for (const auto& assignment : assignments)
    {
        if (! std::isfinite (assignment.second))
        {
            processor.logger->logMessage ("error calling get_default_param_values \nnon-finite default for "
                                          + *assignment.first);
            return;
        }
    }

    touchLock (processor.jobLock);
    for (const auto& assignment : assignments)
        if (auto* parameter = processor.parameters.getParameter (*assignment.first))
            parameter->setValueNotifyingHost (assignment.second);
}
