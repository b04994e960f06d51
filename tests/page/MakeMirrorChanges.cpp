// Prints, as JSON, the change blobs that the framework's value-tree synchroniser writes for a real
// processor's state tree while it goes through the kinds of change the page must follow, and the
// tree that results, with the parameter list that "init" gives for the fresh tree. The page's
// modules are tested against them (tests/page/*.test.js).
#include "ParameterMetadata.h"
#include "TestSupport.h"

#include <iostream>

namespace
{
    struct Recorder : juce::ValueTreeSynchroniser
    {
        using juce::ValueTreeSynchroniser::ValueTreeSynchroniser;
        void stateChanged (const void* data, size_t size) override
        {
            changes.add (juce::Base64::toBase64 (data, size));
        }
        juce::StringArray changes;
    };

    // A value with its kind spelled out, so the test can tell 1 from 1.0 from true from "1".
    juce::var describe (const juce::var& value)
    {
        auto* d = new juce::DynamicObject();
        const char* kind = value.isVoid()      ? "void"
                         : value.isUndefined() ? "undefined"
                         : value.isBool()      ? "bool"
                         : value.isInt()       ? "int"
                         : value.isInt64()     ? "int64"
                         : value.isDouble()    ? "double"
                         : value.isString()    ? "string"
                         : value.isArray()     ? "array"
                                               : "other";
        d->setProperty ("kind", kind);
        if (auto* array = value.getArray())
        {
            juce::Array<juce::var> items;
            for (auto& item : *array)
                items.add (describe (item));
            d->setProperty ("value", items);
        }
        else if (value.isInt64())
            d->setProperty ("value", juce::String (static_cast<juce::int64> (value)));
        else if (! value.isVoid() && ! value.isUndefined())
            d->setProperty ("value", value);
        return d;
    }

    juce::var describe (const juce::ValueTree& tree)
    {
        auto* d = new juce::DynamicObject();
        d->setProperty ("type", tree.getType().toString());
        juce::Array<juce::var> properties, children;
        for (int i = 0; i < tree.getNumProperties(); ++i)
        {
            const auto name = tree.getPropertyName (i);
            properties.add (juce::Array<juce::var> { name.toString(), describe (tree.getProperty (name)) });
        }
        for (const auto& child : tree)
            children.add (describe (child));
        d->setProperty ("properties", properties);
        d->setProperty ("children", children);
        return d;
    }
} // namespace

int main()
{
    juce::ScopedJuceInitialiser_GUI juce;
    juce::var result;
    {
        CalbrixAudioProcessor processor;
        auto& state = processor.parameters.state;
        Recorder recorder (state);
        const auto metadata = lorquist::BrowserIntegration::makeParameterMetadata (processor.parameters);

        recorder.sendFullSyncCallback();

        // What the plug-in itself does: parameters move, the loading flag flips, the page's
        // model-path request stores, moves and announces.
        processor.parameters.getParameter ("p1")->setValueNotifyingHost (0.25f);
        processor.parameters.getParameter ("output_gain")->setValueNotifyingHost (0.75f);
        processor.parameters.copyState(); // writes the parameters' values into the tree now
        processor.parameters.setCustomParamValue ("is_model_loading", true, ParameterManager::PARAMX);
        auto modelPath = state.getChildWithProperty ("id", "model_path");
        modelPath.setProperty ("value", juce::String::fromUTF8 ("dr\xc3\xaf" "ve \xf0\x9f\x8e\xb8.pt"), nullptr);
        state.removeChild (modelPath, nullptr);
        state.addChild (modelPath, -1, nullptr);
        state.sendPropertyChangeMessage ("HOST_SETSTATE_REQUEST");

        // Kinds a restored state or a future value may carry.
        auto presetId = state.getChildWithProperty ("id", "preset_id");
        presetId.setProperty ("value", "3", nullptr);
        presetId.setProperty ("big", (juce::int64) 1 << 40, nullptr);
        presetId.setProperty ("list", juce::Array<juce::var> { 1, "two", 3.5, false }, nullptr);
        presetId.setProperty ("nothing", juce::var::undefined(), nullptr);
        presetId.setProperty ("negative", -70000, nullptr);
        presetId.removeProperty ("big", nullptr);
        state.moveChild (0, 5, nullptr);
        juce::ValueTree nested ("NESTED");
        nested.setProperty ("id", "nested", nullptr);
        nested.addChild (juce::ValueTree ("LEAF"), -1, nullptr);
        state.addChild (nested, 2, nullptr);
        nested.getChild (0).setProperty ("deep", 1.5, nullptr);

        processor.loadingPool->removeAllJobs (true, 10000);

        auto* out = new juce::DynamicObject();
        out->setProperty ("changes", recorder.changes);
        out->setProperty ("tree", describe (state));
        out->setProperty ("metadata", metadata);
        result = out;
    }

    std::cout << juce::JSON::toString (result, true) << std::endl;
    return 0;
}
