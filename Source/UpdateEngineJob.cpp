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
#include "WorkerTether.h"

#include <array>
#include <cmath>
#include <iostream>

namespace
{
    constexpr int fadeOutChecks = 200;

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
      restoresWhenRequested (p.stateRestores.load()),
      tether (p.loadingTether)
{
}

UpdateEngineJob::~UpdateEngineJob() = default;

juce::ThreadPoolJob::JobStatus UpdateEngineJob::runJob()
{
    if (shouldExit())
        return jobNeedsRunningAgain;

    try
    {
        const WorkerTether::Attachment attached (*tether);
        load();
    }
    catch (const WorkerAbandoned&)
    {
        // Abandoned inside a model call that came back late: the processor may be gone. The pool
        // thread ends with this job; pool and wrapper stay kept.
        juce::Thread::getCurrentThread()->signalThreadShouldExit();
    }
    return jobHasFinished;
}

void UpdateEngineJob::load()
{
    const juce::File file { juce::String::fromUTF8 (filePath.c_str()) };
    if (ModelSnapshot::namesNothingOrAFolder (file.getFullPathName().toStdString()))
    {
        processor.loading = false;
        processor.fadeState = 2;
        return;
    }

    setModelLoadingFlag (true);

    const std::string fullPath = file.getFullPathName().toStdString();
    std::string refusal;

    // The copy and its check leave the playing model alone: they cost no silence.
    auto snapshot = outsideTheProcessor ([&] { return ModelSnapshot::take (fullPath, refusal, [this] { return shouldExit(); }); });
    if (snapshot.isValid() && ! shouldExit())
    {
        const JobExitSignal exitSignal (*this);
        std::string crash;
        if (ModelFileCheck::refuses (processor.modelFileCheck->check (snapshot, exitSignal.descriptor(), crash)))
            refusal = crash;
    }

    // Before the model is touched, a newer request (or the processor going) ends the load here:
    // the playing model fades back in if it had begun to fade out.
    if (! shouldExit())
    {
        processor.fadeState = 1;
        waitForFadeOut();
    }

    if (shouldExit())
    {
        setModelLoadingFlag (false);
        processor.loading = false;
        processor.fadeState = 2;
        return;
    }

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

            processor.readModelDelays();

            // A newer load will give its own; the processor going needs none.
            if (applyDefaults && ! shouldExit())
                applyModelDefaults();
        }
    }
    catch (const WorkerAbandoned&)
    {
        throw;
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
}

void UpdateEngineJob::setModelLoadingFlag (bool isLoading)
{
    // Posted, so taking no lock: a load that a newer request ends must not hold that request up.
    auto& parameters = processor.parameters;
    processor.treeWriter->post ([&parameters, isLoading]
    {
        parameters.setCustomParamValue (calbrix_parameters::param_name_is_model_loading, isLoading, ParameterManager::PARAMX);
    });
}

void UpdateEngineJob::waitForFadeOut()
{
    int checks = 0;
    while (checks < fadeOutChecks && ! processor.muted && ! shouldExit())
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
    // No inference step or preparation may be inside the module while it is replaced: the load
    // waits for one that is, and takes a new wrapper if that one does not come back.
    auto lock = processor.model->lockForCalls();
    if (! lock.owns_lock())
    {
        processor.replaceStuckModel();
        lock = processor.model->lockForCalls();
    }

    auto& model = *processor.model;
    try
    {
        model.loaded = false;
        model.module = outsideTheProcessor ([&] { return loadModuleFromSnapshot (snapshot.descriptor(), snapshot.size()); });
        model.module.train (false);
        model.loaded = true;
    }
    catch (const std::exception& e)
    {
        errorText = loadFailureText (fullPath, describeTorchError (e));
    }

    if (! errorText.empty())
    {
        model.loaded = false;
        showModelLoadFailure (juce::String::fromUTF8 (errorText.c_str()));
        return false;
    }

    if (! listMethods())
        return false;

    model.inputs.clear();
    model.inputs.push_back (torch::zeros ({ 2, 0 }));
    return true;
}

bool UpdateEngineJob::listMethods()
{
    auto& model = *processor.model;
    const auto lock = model.lockForCalls();
    c10::InferenceMode guard;

    try
    {
        listModuleMethods (model.module);
        return true;
    }
    catch (const std::exception& e)
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
        const auto lock = model.lockForCalls();
        if (! lock.owns_lock())
            return;
        c10::InferenceMode guard;

        // One call at a time outside the processor; a load asked to stop makes no further one.
        auto call = [this, &model] (const char* name)
        {
            if (shouldExit())
                throw std::runtime_error ("the load was asked to stop");
            return outsideTheProcessor ([&] { return model.module.get_method (name) (std::vector<c10::IValue> {}); });
        };

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
    auto& p = processor;
    const int restores = restoresWhenRequested;
    processor.treeWriter->post ([&p, assignments, restores]
    {
        if (p.stateRestores.load() != restores)
            return;
        for (const auto& assignment : assignments)
            if (auto* parameter = p.parameters.getParameter (assignment.first))
                parameter->setValueNotifyingHost (assignment.second);
        // Into the tree now, not on the framework's next timer tick (up to half a second away):
        // the tree then holds the model's defaults before the loading flag clears, and the page
        // takes the values it sees with the load's end for the model's defaults.
        p.parameters.copyState();
    });
}
