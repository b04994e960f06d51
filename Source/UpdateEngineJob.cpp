#include "CalbrixModel.h"
#include "SnapshotModuleLoader.h"

#include "UpdateEngineJob.h"

#include "AbandonedWork.h"
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
        processor.finishLoadingWork();
        processor.fadeState = 2;
        return;
    }

    setModelLoadingFlag (true);

    const std::string fullPath = file.getFullPathName().toStdString();
    const std::string identity = AbandonedWork::fileIdentity (file);
    std::string refusal;
    ModelSnapshot snapshot;
    bool readToItsEnd = false;

    if (AbandonedWork::isRefused (identity))
    {
        refusal = "a call into this model did not come back earlier in this run: it is not called again";
        processor.logger->logMessage ("refused a load of " + fullPath + ": a call into this model did not come back earlier in this run");
    }
    else
    {
        // The copy and its check leave the playing model alone: they cost no silence. Copying a
        // large file takes as long as it takes: it is the runtime's work, not the model's.
        snapshot = outsideTheProcessor<WorkerTether::Outside::runtimeWork> ([&]
        {
            return ModelSnapshot::take (fullPath, refusal, [this] { return shouldExit(); });
        });
    }

    if (snapshot.isValid() && ! shouldExit())
    {
        const JobExitSignal exitSignal (*this);
        std::string crash;
        const auto outcome = processor.modelFileCheck->check (snapshot, exitSignal.descriptor(), crash);
        if (ModelFileCheck::refuses (outcome))
            refusal = crash;
        readToItsEnd = outcome == ModelFileCheck::Outcome::safeToLoad;
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
        processor.finishLoadingWork();
        processor.fadeState = 2;
        return;
    }

    processor.loading = true;

    // Waits for a call on the inference worker to end; the processor going stops the wait.
    auto modelLock = processor.takeModelOnLoadingWorker ([this] { return shouldExit(); });
    if (! modelLock.owns_lock())
    {
        setModelLoadingFlag (false);
        processor.finishLoadingWork();
        processor.fadeState = 2;
        return;
    }

    std::string errorText;
    std::shared_ptr<juce::WaitableEvent> defaultsMade;

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
            loaded = loadModule (snapshot, fullPath, identity, readToItsEnd, errorText);
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
                defaultsMade = applyModelDefaults();
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

    modelLock.unlock();

    // The new model fades in with its own defaults, never with the old model's parameters.
    if (defaultsMade != nullptr)
        waitUntilMade (*defaultsMade);

    setModelLoadingFlag (false);
    processor.finishLoadingWork();
    processor.fadeState = 2;
}

void UpdateEngineJob::waitUntilMade (juce::WaitableEvent& made)
{
    // The message thread makes the write; the processor going (or a newer load) stops the wait,
    // and so does a message loop that does not run at all.
    constexpr int sliceMs = 10;
    constexpr int longestWaitMs = 10000;
    for (int waited = 0; waited < longestWaitMs && ! shouldExit(); waited += sliceMs)
        if (made.wait (sliceMs))
            return;
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

bool UpdateEngineJob::loadModule (const ModelSnapshot& snapshot, const std::string& fullPath, const std::string& identity,
                                  bool readToItsEnd, std::string& errorText)
{
    // The caller holds the wrapper: no inference step is inside the module while it is replaced.
    auto& model = *processor.model;
    auto read = [&] { return loadModuleFromSnapshot (snapshot.descriptor(), snapshot.size()); };
    try
    {
        model.loaded = false;
        model.fileIdentity = identity;
        // A file the checker has read to its end cannot be stuck in reading it, however large.
        model.module = readToItsEnd ? outsideTheProcessor<WorkerTether::Outside::runtimeWork> (read)
                                    : outsideTheProcessor (read);
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

std::shared_ptr<juce::WaitableEvent> UpdateEngineJob::applyModelDefaults()
{
    auto& model = *processor.model;

    try
    {
        const auto lock = model.lockForCalls();
        if (! lock.owns_lock())
            return {};
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
        return {};
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
            return {};
        }
    }

    // The parameters are the tree's too (the framework copies them into it on the message thread),
    // and a restore made while this load ran has the last word on them.
    auto& p = processor;
    const int restores = restoresWhenRequested;
    auto made = std::make_shared<juce::WaitableEvent> (true);
    processor.treeWriter->post ([&p, assignments, restores, made]
    {
        if (p.stateRestores.load() == restores)
        {
            for (const auto& assignment : assignments)
                if (auto* parameter = p.parameters.getParameter (assignment.first))
                    parameter->setValueNotifyingHost (assignment.second);
            // Into the tree now, not on the framework's next timer tick (up to half a second away):
            // the tree then holds the model's defaults before the loading flag clears, and the page
            // takes the values it sees with the load's end for the model's defaults.
            p.parameters.copyState();
        }
        made->signal();
    });
    return made;
}
