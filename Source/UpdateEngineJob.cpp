#include "CalbrixModel.h"
#include "SnapshotModuleLoader.h"

#include "UpdateEngineJob.h"

#include "CalbrixIdentifiers.h"
#include "JobExitSignal.h"
#include "ModelFileCheck.h"
#include "ModelLoadAlert.h"
#include "ModelSnapshot.h"
#include "PluginProcessor.h"
#include "StateTreeWriter.h"

#include <array>
#include <cmath>
#include <iostream>

namespace
{
    constexpr int fadeOutChecks = 200;

    void touchLock (juce::CriticalSection& lock)
    {
        const juce::ScopedLock hold (lock);
    }

    std::string loadFailureText (const std::string& fullPath, const std::string& reason)
    {
        return "error loading the model\n" + fullPath + "\n" + reason;
    }
} // namespace

UpdateEngineJob::UpdateEngineJob (CalbrixAudioProcessor& p, std::string path, bool defaults)
    : juce::ThreadPoolJob ("UpdateEngineJob"),
      processor (p),
      filePath (std::move (path)),
      applyDefaults (defaults),
      restoresWhenRequested (p.stateRestores.load())
{
}

UpdateEngineJob::~UpdateEngineJob() = default;

juce::ThreadPoolJob::JobStatus UpdateEngineJob::runJob()
{
    if (shouldExit())
        return jobNeedsRunningAgain;

    const juce::File file { juce::String::fromUTF8 (filePath.c_str()) };
    if (ModelSnapshot::namesNothingOrAFolder (file.getFullPathName().toStdString()))
    {
        processor.loading = false;
        processor.fadeState = 2;
        return jobHasFinished;
    }

    setModelLoadingFlag (true);

    const std::string fullPath = file.getFullPathName().toStdString();
    std::string refusal;

    // Everything up to the fade-out leaves the playing model alone: the copy and its check cost
    // no silence, and a load that a newer request replaces ends here having changed nothing.
    auto snapshot = ModelSnapshot::take (fullPath, refusal);
    if (snapshot.isValid() && ! shouldExit())
    {
        const JobExitSignal exitSignal (*this);
        std::string crash;
        if (processor.modelFileCheck->check (snapshot, exitSignal.descriptor(), crash) == ModelFileCheck::Outcome::crashesLoader)
            refusal = crash;
    }

    if (shouldExit())
    {
        setModelLoadingFlag (false);
        processor.loading = false;
        processor.fadeState = 2;
        return jobHasFinished;
    }

    processor.fadeState = 1;
    waitForFadeOut();
    processor.loading = true;

    std::string errorText;

    try
    {
        bool loaded = false;
        if (! refusal.empty())
        {
            processor.model->loaded = false;
            errorText = loadFailureText (fullPath, refusal + "\n");
            showModelLoadFailure (juce::String::fromUTF8 (errorText.c_str()));
        }
        else
        {
            loaded = loadModule (snapshot, fullPath, errorText);
        }

        // The snapshot is no longer needed: one copy of the file at most, and only while loading.
        snapshot = {};
        processor.logger->logMessage (errorText);

        if (loaded)
        {
            processor.prepareModel (processor.getSampleRate(), processor.getBlockSize());
            processor.resetRequested = true;

            processor.bufferingDelay = processor.model->calc_buffering_delay_samples();
            processor.modelDelay = processor.model->calc_model_delay_samples();
            processor.setLatencySamples (processor.bufferingDelay.load() + processor.modelDelay.load());

            // A newer load will give its own; the processor going needs none.
            if (applyDefaults && ! shouldExit())
                applyModelDefaults();
        }
    }
    catch (const std::exception& e)
    {
        // Anything the runtime throws besides its own errors still ends the load cleanly, so the
        // plug-in is never left silent or "loading".
        processor.model->loaded = false;
        reportLoadFailure (loadFailureText (fullPath, std::string (e.what()) + "\n"));
    }
    catch (...)
    {
        processor.model->loaded = false;
        reportLoadFailure (loadFailureText (fullPath, "unknown error\n"));
    }

    setModelLoadingFlag (false);
    processor.loading = false;
    processor.fadeState = 2;
    return jobHasFinished;
}

void UpdateEngineJob::setModelLoadingFlag (bool isLoading)
{
    touchLock (processor.jobLock);
    auto& parameters = processor.parameters;
    processor.treeWriter->post ([&parameters, isLoading]
    {
        parameters.setCustomParamValue (calbrix_parameters::param_name_is_model_loading, isLoading, ParameterManager::PARAMX);
    });
}

void UpdateEngineJob::waitForFadeOut()
{
    int checks = 0;
    while (checks < fadeOutChecks && ! processor.muted)
    {
        ++checks;
        juce::Thread::sleep (1);
    }
    processor.fadeOutChecksOfLastLoad = checks;
}

void UpdateEngineJob::reportLoadFailure (const std::string& errorText)
{
    processor.logger->logMessage (errorText);
    showModelLoadFailure (juce::String::fromUTF8 (errorText.c_str()));
}

bool UpdateEngineJob::loadModule (const ModelSnapshot& snapshot, const std::string& fullPath, std::string& errorText)
{
    auto& model = *processor.model;

    {
        // No inference step or preparation may be inside the module while it is replaced.
        const std::lock_guard<std::recursive_mutex> lock (model.callLock());
        try
        {
            model.loaded = false;
            model.module = loadModuleFromSnapshot (snapshot.descriptor(), snapshot.size());
            model.module.train (false);
            model.loaded = true;
        }
        catch (const std::exception& e)
        {
            errorText = loadFailureText (fullPath, describeTorchError (e));
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
        listModuleMethods (model.module);
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
    const std::array<std::pair<juce::String, float>, 8> assignments { {
        { param_name_p1, model.defaultP1 },           { param_name_p2, model.defaultP2 },
        { param_name_p3, model.defaultP3 },           { param_name_p4, model.defaultP4 },
        { param_name_drygain, model.defaultDry },     { param_name_wetgain, model.defaultWet },
        { param_name_inputgain, model.defaultInputGain }, { param_name_outputgain, model.defaultOutputGain },
    } };

    // A NaN or infinite default would carry straight through to the audio.
    for (const auto& assignment : assignments)
    {
        if (! std::isfinite (assignment.second))
        {
            processor.logger->logMessage ("error calling get_default_param_values \nnon-finite default for "
                                          + assignment.first);
            return;
        }
    }

    // The parameters are the tree's too (the framework copies them into it on the message thread),
    // and a restore made while this load ran has the last word on them.
    touchLock (processor.jobLock);
    auto& p = processor;
    const int restores = restoresWhenRequested;
    processor.treeWriter->post ([&p, assignments, restores]
    {
        if (p.stateRestores.load() != restores)
            return;
        for (const auto& assignment : assignments)
            if (auto* parameter = p.parameters.getParameter (assignment.first))
                parameter->setValueNotifyingHost (assignment.second);
    });
}
