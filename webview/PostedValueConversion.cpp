#include "PostedValueConversion.h"

#include <glib.h>
#include <jsc/jsc.h>

namespace calbrix_webview
{
    namespace
    {
        juce::String takeText (char* text)
        {
            auto result = juce::String::fromUTF8 (text != nullptr ? text : "");
            g_free (text);
            return result;
        }

        // A structured-clone copy of the page's value comes nowhere near this depth; the limit only
        // keeps a pathological value from exhausting the stack.
        constexpr int maxDepth = 512;

        juce::var convert (JSCValue* value, int depth)
        {
            if (value == nullptr || depth > maxDepth)
                return {};

            if (jsc_value_is_string (value))
                return takeText (jsc_value_to_string (value));

            if (jsc_value_is_boolean (value))
                return jsc_value_to_boolean (value) ? "1" : "0";

            if (jsc_value_is_number (value))
                return takeText (jsc_value_to_string (value));

            if (jsc_value_is_array (value))
            {
                juce::Array<juce::var> elements;
                auto* lengthValue = jsc_value_object_get_property (value, "length");
                const auto length = lengthValue != nullptr ? jsc_value_to_int32 (lengthValue) : 0;
                if (lengthValue != nullptr)
                    g_object_unref (lengthValue);

                for (gint32 i = 0; i < length; ++i)
                {
                    auto* element = jsc_value_object_get_property_at_index (value, (guint) i);
                    elements.add (convert (element, depth + 1));
                    if (element != nullptr)
                        g_object_unref (element);
                }

                return elements;
            }

            if (jsc_value_is_function (value) || ! jsc_value_is_object (value)
                || jsc_value_object_is_instance_of (value, "Date"))
                return {};

            auto* object = new juce::DynamicObject();
            juce::var result (object);

            if (auto** names = jsc_value_object_enumerate_properties (value))
            {
                for (auto** name = names; *name != nullptr; ++name)
                {
                    // juce::Identifier cannot be empty; such a key has no counterpart on this side.
                    if (**name == 0)
                        continue;

                    auto* property = jsc_value_object_get_property (value, *name);
                    object->setProperty (juce::Identifier (juce::String::fromUTF8 (*name)), convert (property, depth + 1));
                    if (property != nullptr)
                        g_object_unref (property);
                }
                g_strfreev (names);
            }

            return result;
        }
    } // namespace

    juce::var postedValueToVar (JSCValue* value)
    {
        return convert (value, 0);
    }
} // namespace calbrix_webview
