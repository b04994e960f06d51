// The state tree: layout of a fresh tree, the host's view of the parameters and the custom values.
#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace calbrix_test;

namespace
{
    constexpr auto custom = ParameterManager::PARAMX;

    // Counts every notification the state tree sends.
    struct TreeEvents : juce::ValueTree::Listener
    {
        int propertyChanges = 0;
        int childrenAdded = 0;
        void valueTreePropertyChanged (juce::ValueTree&, const juce::Identifier&) override { ++propertyChanges; }
        void valueTreeChildAdded (juce::ValueTree&, juce::ValueTree&) override { ++childrenAdded; }
        int total() const { return propertyChanges + childrenAdded; }
    };

    class StateTree : public ::testing::Test
    {
    protected:
        void SetUp() override { processor.parameters.state.addListener (&events); }
        void TearDown() override { processor.parameters.state.removeListener (&events); }

        juce::ValueTree& state() { return processor.parameters.state; }

        std::vector<float> rawParameterValues()
        {
            std::vector<float> values;
            for (auto* parameter : processor.getParameters())
                values.push_back (parameterValue (processor, dynamic_cast<juce::AudioProcessorParameterWithID*> (parameter)->paramID));
            return values;
        }

        CalbrixAudioProcessor processor;
        TreeEvents events;
    };
} // namespace

TEST_F (StateTree, FreshTreeHasFifteenChildrenInLayoutOrder)
{
    struct Expected { const char* type; const char* id; juce::var value; };
    const Expected expected[] = {
        { "PARAM", "dry_gain", 0.5 },      { "PARAM", "input_gain", 0.0 }, { "PARAM", "output_gain", 0.0 },
        { "PARAM", "p1", 0.5 },            { "PARAM", "p2", 0.5 },         { "PARAM", "p3", 0.5 },
        { "PARAM", "p4", 0.5 },            { "PARAM", "wet_gain", 1.0 },
        { "PARAMX", "plugin_version", "1.5.0" }, { "PARAMX", "sdk_version", "0.2.3" },
        { "PARAMX", "instance_id", {} },   // random, checked below
        { "PARAMX", "model_id", 0 },       { "PARAMX", "preset_id", 0 },
        { "PARAMX", "model_path", juce::String() }, { "PARAMX", "is_model_loading", false },
    };

    EXPECT_EQ (state().getType().toString(), "CalbrixValueTree");
    ASSERT_EQ (state().getNumChildren(), 15);

    for (int i = 0; i < 15; ++i)
    {
        SCOPED_TRACE (expected[i].id);
        const auto child = state().getChild (i);
        EXPECT_EQ (child.getType().toString(), expected[i].type);
        EXPECT_EQ (child.getProperty ("id").toString(), expected[i].id);

        const auto value = child.getProperty ("value");
        if (child.getType().toString() == "PARAM")
        {
            EXPECT_TRUE (value.isDouble());
            EXPECT_DOUBLE_EQ (static_cast<double> (value), static_cast<double> (expected[i].value));
            continue;
        }

        // Custom values carry exactly "id" then "value".
        ASSERT_EQ (child.getNumProperties(), 2);
        EXPECT_EQ (child.getPropertyName (0).toString(), "id");
        EXPECT_EQ (child.getPropertyName (1).toString(), "value");

        if (juce::String (expected[i].id) == "instance_id")
        {
            EXPECT_TRUE (value.isInt());
            continue;
        }

        EXPECT_TRUE (value.hasSameTypeAs (expected[i].value)) << value.toString();
        EXPECT_EQ (value, expected[i].value);
    }
}

TEST_F (StateTree, HostSeesTheParametersInLayoutOrderWithTheirRanges)
{
    struct Expected { const char* id; float min, max, def; };
    const Expected expected[] = {
        { "p1", 0, 1, 0.5f }, { "p2", 0, 1, 0.5f }, { "p3", 0, 1, 0.5f }, { "p4", 0, 1, 0.5f },
        { "wet_gain", 0, 1, 1.0f }, { "dry_gain", 0, 1, 0.5f },
        { "output_gain", -30, 30, 0.0f }, { "input_gain", -30, 30, 0.0f },
    };

    const auto& parameters = processor.getParameters();
    ASSERT_EQ (parameters.size(), 8);

    for (int i = 0; i < 8; ++i)
    {
        SCOPED_TRACE (expected[i].id);
        auto* parameter = dynamic_cast<juce::AudioParameterFloat*> (parameters[i]);
        ASSERT_NE (parameter, nullptr);

        EXPECT_EQ (parameter->paramID, expected[i].id);
        EXPECT_EQ (parameter->getName (100), expected[i].id);
        EXPECT_EQ (parameter->getLabel(), "");
        EXPECT_EQ (parameter->getParameterIndex(), i);

        const auto& range = parameter->range;
        EXPECT_FLOAT_EQ (range.start, expected[i].min);
        EXPECT_FLOAT_EQ (range.end, expected[i].max);
        EXPECT_FLOAT_EQ (range.interval, 0.01f);
        EXPECT_FLOAT_EQ (range.skew, 1.0f);
        EXPECT_FLOAT_EQ (range.convertFrom0to1 (static_cast<juce::AudioProcessorParameter*> (parameter)->getDefaultValue()), expected[i].def);
        EXPECT_FLOAT_EQ (parameter->get(), expected[i].def);
        EXPECT_FLOAT_EQ (parameterValue (processor, expected[i].id), expected[i].def);
    }
}

TEST_F (StateTree, CreatingAnExistingCustomValueKeepsItAndNotifiesNobody)
{
    processor.parameters.createAndAddCustomParam ("model_path", "other.pt", custom);
    processor.parameters.createAndAddCustomParam ("dry_gain", 0.9, custom); // a "PARAM" child counts too

    EXPECT_EQ (state().getNumChildren(), 15);
    EXPECT_EQ (events.total(), 0);
    EXPECT_EQ (processor.parameters.getCustomParamValue ("model_path", custom), juce::var (juce::String()));
    EXPECT_FLOAT_EQ (parameterValue (processor, "dry_gain"), 0.5f);
}

TEST_F (StateTree, ReadingAMissingCustomValueAddsOneUndefinedChild)
{
    const auto first = processor.parameters.getCustomParamValue ("not_there", custom);
    EXPECT_TRUE (first.isUndefined());
    EXPECT_EQ (first.toString(), "undefined");

    ASSERT_EQ (state().getNumChildren(), 16);
    const auto added = state().getChild (15);
    EXPECT_EQ (added.getType().toString(), "PARAMX");
    EXPECT_EQ (added.getProperty ("id").toString(), "not_there");
    EXPECT_TRUE (added.getProperty ("value").isUndefined());
    EXPECT_EQ (events.childrenAdded, 1);

    EXPECT_TRUE (processor.parameters.getCustomParamValue ("not_there", custom).isUndefined());
    EXPECT_EQ (state().getNumChildren(), 16);
    EXPECT_EQ (events.childrenAdded, 1);
}

TEST_F (StateTree, WritingAMissingCustomValueChangesNothing)
{
    const auto before = state().toXmlString();
    processor.parameters.setCustomParamValue ("not_there", 3, custom);

    EXPECT_EQ (state().toXmlString(), before);
    EXPECT_EQ (events.total(), 0);
}

TEST_F (StateTree, WritesNotifyOnlyWhenTypeOrValueChanges)
{
    struct Case { const char* what; juce::var value; bool notifies; };
    const Case cases[] = {
        { "same boolean", false, false },
        { "new boolean", true, true },
        { "same boolean again", true, false },
        { "equal text of another type", "1", true },
        { "same text", "1", false },
        { "integer 1 after the text", 1, true },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        const int before = events.propertyChanges;
        processor.parameters.setCustomParamValue ("is_model_loading", c.value, custom);

        EXPECT_EQ (events.propertyChanges - before, c.notifies ? 1 : 0);
        const auto stored = processor.parameters.getCustomParamValue ("is_model_loading", custom);
        EXPECT_TRUE (stored.hasSameTypeAs (c.value));
        EXPECT_EQ (stored, c.value);
    }
    EXPECT_EQ (state().getNumChildren(), 15);
}

TEST_F (StateTree, DuplicateIdsActOnTheFirstChild)
{
    juce::ValueTree duplicate { "PARAMX" };
    duplicate.setProperty ("id", "model_id", nullptr);
    duplicate.setProperty ("value", 99, nullptr);
    state().addChild (duplicate, -1, nullptr);

    EXPECT_EQ (processor.parameters.getCustomParamValue ("model_id", custom), juce::var (0));

    processor.parameters.setCustomParamValue ("model_id", 5, custom);
    EXPECT_EQ (state().getChild (11).getProperty ("value"), juce::var (5));
    EXPECT_EQ (duplicate.getProperty ("value"), juce::var (99));

    // A "PARAM" child comes before any custom value of the same name.
    EXPECT_DOUBLE_EQ (static_cast<double> (processor.parameters.getCustomParamValue ("p1", custom)), 0.5);
}

TEST_F (StateTree, CustomValueChangesMoveNoParameter)
{
    const auto before = rawParameterValues();
    juce::StringArray paramChildrenBefore;
    for (int i = 0; i < 8; ++i)
        paramChildrenBefore.add (state().getChild (i).getProperty ("value").toString());
    processor.parametersDirty = false;

    for (int i = 8; i < 15; ++i)
        state().getChild (i).setProperty ("value", 0.125, nullptr);

    // Even a custom value named after a parameter stays apart from it.
    juce::ValueTree shadow { "PARAMX" };
    shadow.setProperty ("id", "p1", nullptr);
    state().addChild (shadow, -1, nullptr);
    shadow.setProperty ("value", 0.9, nullptr);

    EXPECT_EQ (rawParameterValues(), before);
    EXPECT_FALSE (processor.parametersDirty.load());
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ (state().getChild (i).getProperty ("value").toString(), paramChildrenBefore[i]);
}
