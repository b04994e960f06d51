#include "ParameterMetadata.h"

namespace lorquist::BrowserIntegration
{
    namespace
    {
        // In the parameter's own units; the float and int classes keep their override private.
        float defaultOf (const juce::RangedAudioParameter& parameter)
        {
            return parameter.convertFrom0to1 (parameter.getDefaultValue());
        }

        void describeFloat (juce::DynamicObject& record, const juce::AudioParameterFloat& parameter)
        {
            // The single-precision range values are widened as they are: a step of 0.01f arrives
            // as 0.009999999776482582.
            const auto& range = parameter.getNormalisableRange();
            record.setProperty ("type", "float");
            record.setProperty ("label", parameter.getLabel());
            record.setProperty ("min", static_cast<double> (range.start));
            record.setProperty ("max", static_cast<double> (range.end));
            record.setProperty ("step", static_cast<double> (range.interval));
            record.setProperty ("default", static_cast<double> (defaultOf (parameter)));
        }

        void describeInt (juce::DynamicObject& record, const juce::AudioParameterInt& parameter)
        {
            const auto& range = parameter.getNormalisableRange();
            const auto min = static_cast<int> (range.start);
            record.setProperty ("type", "int");
            record.setProperty ("label", parameter.getLabel());
            record.setProperty ("min", min);
            record.setProperty ("max", juce::jmax (min, static_cast<int> (range.end)));
            record.setProperty ("step", 1);
            record.setProperty ("default", static_cast<int> (defaultOf (parameter)));
        }

        void describeBool (juce::DynamicObject& record, const juce::AudioParameterBool& parameter)
        {
            record.setProperty ("type", "bool");
            record.setProperty ("label", parameter.getLabel());
        }

        void describeChoice (juce::DynamicObject& record, const juce::AudioParameterChoice& parameter)
        {
            record.setProperty ("type", "choice");
            record.setProperty ("choices", parameter.choices);
            record.setProperty ("label", parameter.getLabel());
        }

        void describe (juce::DynamicObject& record, const juce::RangedAudioParameter& parameter)
        {
            if (auto* asFloat = dynamic_cast<const juce::AudioParameterFloat*> (&parameter))
                describeFloat (record, *asFloat);
            else if (auto* asInt = dynamic_cast<const juce::AudioParameterInt*> (&parameter))
                describeInt (record, *asInt);
            else if (auto* asBool = dynamic_cast<const juce::AudioParameterBool*> (&parameter))
                describeBool (record, *asBool);
            else if (auto* asChoice = dynamic_cast<const juce::AudioParameterChoice*> (&parameter))
                describeChoice (record, *asChoice);
        }
    } // namespace

    juce::var makeParameterMetadata (const juce::AudioProcessorValueTreeState& valueTreeState)
    {
        juce::Array<juce::var> records;

        for (const auto& child : valueTreeState.state)
        {
            const auto id = child.getProperty ("id").toString();
            juce::DynamicObject::Ptr record (new juce::DynamicObject());
            record->setProperty ("id", id);

            if (auto* parameter = valueTreeState.getParameter (id))
                describe (*record, *parameter);

            records.add (juce::var (record.get()));
        }

        return records;
    }
} // namespace lorquist::BrowserIntegration
