// Construction, teardown and the host-facing properties of the processor.
#include "CalbrixModel.h"

#include "PluginProcessor.h"

#include "CalbrixIdentifiers.h"
#include "ModelFileCheck.h"
#include "PluginEditor.h"
#include "StateTreeWriter.h"
#include "StuckWorkerWatch.h"
#include "WorkerTether.h"

#include <cstdlib>
#include <limits>

namespace
{
    // |x| for a random 32-bit draw; the one value whose magnitude does not fit maps to the largest.
    int nonNegativeInstanceId (int drawn) noexcept
    {
        return drawn == std::numeric_limits<int>::min() ? std::numeric_limits<int>::max() : std::abs (drawn);
    }

    void createFolderIfMissing (const juce::String& path)
    {
        const juce::File folder { path };
        if (path.isEmpty() || ! folder.exists())
            folder.createDirectory();
    }

    SampleQueues makeQueues (int count)
    {
        SampleQueues queues (static_cast<size_t> (juce::jmax (0, count)));
        for (auto& queue : queues)
            queue = std::make_unique<SampleQueue> (CalbrixAudioProcessor::queueCapacity);
        return queues;
    }
} // namespace

CalbrixAudioProcessor::CalbrixAudioProcessor()
    : juce::AudioProcessor (BusesProperties()
                                .withInput ("Input", juce::AudioChannelSet::stereo(), true)
                                .withOutput ("Output", juce::AudioChannelSet::stereo(), true)),
      parameters (*this, juce::Identifier (calbrix::stateTreeType), ParameterManager::createParameterLayout())
{
    using namespace calbrix_parameters;
    constexpr auto custom = ParameterManager::PARAMX;

    parameters.createAndAddCustomParam (param_name_pluginversion, calbrix::pluginVersionText, custom);
    parameters.createAndAddCustomParam (param_name_sdkversion, calbrix::sdkVersionText, custom);
    parameters.createAndAddCustomParam (param_name_instanceid, 0, custom);
    parameters.createAndAddCustomParam (param_name_modelid, 0, custom);
    parameters.createAndAddCustomParam (param_name_presetid, 0, custom);
    parameters.createAndAddCustomParam (param_name_modelpath, juce::String(), custom);
    parameters.createAndAddCustomParam (param_name_is_model_loading, false, custom);

    juce::Random random;
    random.setSeedRandomly();
    const int instanceId = nonNegativeInstanceId (random.nextInt());
    parameters.setCustomParamValue (param_name_instanceid, instanceId, custom);
    instanceIdText = juce::String (instanceId);

    const auto dataPath = calbrix_applicationdata_directory.getFullPathName();
    createFolderIfMissing (dataPath + "/models");
    createFolderIfMissing (dataPath + "/presets");

    const juce::File logFile { dataPath + "/calbrix.log" };
    if (! logFile.exists())
        logFile.create();
    logger = std::make_unique<juce::FileLogger> (logFile, "Calbrix Error Log");

    wetGainParameter = parameters.getRawParameterValue (param_name_wetgain);
    dryGainParameter = parameters.getRawParameterValue (param_name_drygain);
    inputGainParameter = parameters.getRawParameterValue (param_name_inputgain);
    outputGainParameter = parameters.getRawParameterValue (param_name_outputgain);
    p1Parameter = parameters.getRawParameterValue (param_name_p1);
    p2Parameter = parameters.getRawParameterValue (param_name_p2);
    p3Parameter = parameters.getRawParameterValue (param_name_p3);
    p4Parameter = parameters.getRawParameterValue (param_name_p4);

    const int channels = getTotalNumOutputChannels();
    inputQueues = makeQueues (channels);
    outputQueues = makeQueues (channels);
    dryQueues = makeQueues (channels);

    dryDelayLeft = std::make_unique<DelayLine> (delayLineSize);
    dryDelayRight = std::make_unique<DelayLine> (delayLineSize);

    paramQueues = makeQueues (4);

    model = std::make_unique<Calbrix>();

    highPassFilters.reserve (static_cast<size_t> (channels));
    for (int channel = 0; channel < channels; ++channel)
        highPassFilters.emplace_back();
    setHighPassCoefficients (48000.0);

    parameters.state.addListener (this);
    for (const auto& name : { param_name_wetgain, param_name_drygain, param_name_inputgain, param_name_outputgain,
                              param_name_p1, param_name_p2, param_name_p3, param_name_p4 })
        parameters.addParameterListener (name, this);

    treeWriter = std::make_shared<StateTreeWriter>();
    modelFileCheck = std::make_unique<ModelFileCheck>();
    loadingTether = std::make_shared<WorkerTether>();
    inferenceTether = std::make_shared<WorkerTether>();
    loadingPool = std::make_unique<juce::ThreadPool> (1);
    inferencePool = std::make_unique<juce::ThreadPool> (1);
    stuckWorkerWatch = std::make_unique<StuckWorkerWatch> (*this);

    fadeState = 2;
}

CalbrixAudioProcessor::~CalbrixAudioProcessor()
{
    // The workers use the wrapper, the logger, the queues and the tree: they end first, within
    // bounded waits, or are left running with what they use (see stopWorkersForTeardown).
    stuckWorkerWatch.reset();
    stopWorkersForTeardown();

    // The last writes of the state tree, if the message loop has not made them yet.
    treeWriter->close();
}

const juce::String CalbrixAudioProcessor::getName() const { return "Calbrix FX"; }

void CalbrixAudioProcessor::releaseResources() {}

double CalbrixAudioProcessor::getTailLengthSeconds() const { return 0.0; }
bool CalbrixAudioProcessor::acceptsMidi() const { return false; }
bool CalbrixAudioProcessor::producesMidi() const { return false; }
bool CalbrixAudioProcessor::isMidiEffect() const { return false; }

juce::AudioProcessorEditor* CalbrixAudioProcessor::createEditor()
{
    return new CalbrixAudioProcessorEditor (*this, parameters);
}

bool CalbrixAudioProcessor::hasEditor() const { return true; }

int CalbrixAudioProcessor::getNumPrograms() { return 1; }
int CalbrixAudioProcessor::getCurrentProgram() { return 0; }
void CalbrixAudioProcessor::setCurrentProgram (int) {}
const juce::String CalbrixAudioProcessor::getProgramName (int) { return {}; }
void CalbrixAudioProcessor::changeProgramName (int, const juce::String&) {}

bool CalbrixAudioProcessor::isBusesLayoutSupported (const BusesLayout& layouts) const
{
    const auto mainOutput = layouts.outputBuses.isEmpty() ? juce::AudioChannelSet() : layouts.outputBuses.getReference (0);
    const auto mainInput = layouts.inputBuses.isEmpty() ? juce::AudioChannelSet() : layouts.inputBuses.getReference (0);

    if (mainOutput != juce::AudioChannelSet::mono() && mainOutput != juce::AudioChannelSet::stereo())
        return false;

    return mainInput == mainOutput;
}

void CalbrixAudioProcessor::parameterChanged (const juce::String&, float)
{
    parametersDirty = true;
}

juce::String CalbrixAudioProcessor::getConnectedPort() const
{
    return juce::String (connectedPort) + "/?id=" + instanceIdText + "&v=" + calbrix::pluginVersionText;
}

void CalbrixAudioProcessor::setHighPassCoefficients (double sampleRate)
{
    const auto coefficients = juce::IIRCoefficients::makeHighPass (sampleRate, 10.0, 10.0);
    for (auto& filter : highPassFilters)
        filter.setCoefficients (coefficients);
}

juce::AudioProcessor* JUCE_CALLTYPE createPluginFilter()
{
    return new CalbrixAudioProcessor();
}
