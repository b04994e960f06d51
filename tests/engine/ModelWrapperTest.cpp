// The model wrapper's own calls against real TorchScript files: each answers for a module that
// keeps the contract, and fails quietly (reset's text, a delay of 0) for one that does not.
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace
{
    std::unique_ptr<Calbrix> wrapperWith (const juce::String& fixture)
    {
        auto wrapper = std::make_unique<Calbrix>();
        wrapper->module = torch::jit::load (calbrix_test::fixtureModel (fixture).getFullPathName().toStdString());
        wrapper->module.train (false);
        wrapper->loaded = true;
        return wrapper;
    }

    bool startsWith (const std::string& text, const std::string& prefix) { return text.rfind (prefix, 0) == 0; }
} // namespace

TEST (ModelWrapper, EmptyWrapperFailsEveryCallQuietly)
{
    Calbrix wrapper;

    EXPECT_FALSE (wrapper.loaded.load());
    EXPECT_TRUE (wrapper.inputs.empty());
    for (auto* value : { &wrapper.defaultP1, &wrapper.defaultP2, &wrapper.defaultP3, &wrapper.defaultP4,
                         &wrapper.defaultDry, &wrapper.defaultWet, &wrapper.defaultInputGain, &wrapper.defaultOutputGain })
        EXPECT_EQ (value->load(), 0.0f);

    EXPECT_TRUE (startsWith (wrapper.reset(), "error resetting the model\n"));
    EXPECT_EQ (wrapper.calc_model_delay_samples(), 0);
    EXPECT_EQ (wrapper.calc_buffering_delay_samples(), 0);
}

TEST (ModelWrapper, ConstructionSetsTheRuntimeOptions)
{
    torch::jit::getProfilingMode() = true;
    torch::jit::setGraphExecutorOptimize (false);

    Calbrix wrapper;

    EXPECT_FALSE (torch::jit::getProfilingMode());
    EXPECT_TRUE (torch::jit::getGraphExecutorOptimize());
}

TEST (ModelWrapper, CallsAgainstFixtureModels)
{
    struct Case
    {
        const char* fixture;
        bool resetFails;
        int modelDelay, bufferingDelay;
    };

    const Case cases[] = {
        { "identity.pt", false, 0, 0 },
        { "delays.pt", false, 100, 1024 },
        { "no_reset.pt", true, 0, 0 },
        // A float where an integer is required counts as a failure of that call alone.
        { "float_model_delay.pt", false, 0, 1024 },
        { "no_buffering_delay.pt", false, 100, 0 },
        // The model's integer, as it is: the delay line guards itself against what it cannot hold.
        { "huge_model_delay.pt", false, 200000, 0 },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.fixture);
        auto wrapper = wrapperWith (c.fixture);

        const auto resetText = wrapper->reset();
        if (c.resetFails)
            EXPECT_TRUE (startsWith (resetText, "error resetting the model\n")) << resetText;
        else
            EXPECT_EQ (resetText, "");

        EXPECT_EQ (wrapper->calc_model_delay_samples(), c.modelDelay);
        EXPECT_EQ (wrapper->calc_buffering_delay_samples(), c.bufferingDelay);
    }
}

TEST (ModelWrapper, ResetFailureTextCarriesTheRuntimeError)
{
    auto wrapper = wrapperWith ("no_reset.pt");
    const auto text = wrapper->reset();

    // "error resetting the model\n", the error's description, "\n", its message.
    const auto body = text.substr (std::string ("error resetting the model\n").size());
    EXPECT_NE (body.find ("reset"), std::string::npos) << text;
    EXPECT_NE (body.find ('\n'), std::string::npos) << text;
}
