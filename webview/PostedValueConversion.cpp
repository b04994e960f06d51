#include "PostedValueConversion.h"

#include <glib.h>
#include <jsc/jsc.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace calbrix_webview
{
    namespace
    {
        // A structured-clone copy of the page's value comes nowhere near this depth; the limit only
        // keeps a pathological value from exhausting the stack.
        constexpr size_t maxDepth = 512;

        struct Conversion
        {
            int values = 0;
            size_t textBytes = 0;
            bool overLimit = false;
            // The objects and arrays being converted, outermost first. Each is held by the caller
            // while it is here, so the engine keeps giving the same wrapper for the same object.
            std::vector<JSCValue*> containers;

            // False, and the whole conversion over its limit, when `count` more values do not fit.
            bool roomFor (double count)
            {
                if (! (count >= 0.0) || (double) values + count > (double) maxPostedValues)
                    overLimit = true;
                return ! overLimit;
            }

            bool countText (size_t numBytes)
            {
                if (overLimit || numBytes > maxPostedTextBytes - textBytes)
                    overLimit = true;
                else
                    textBytes += numBytes;
                return ! overLimit;
            }

            // Takes ownership of `text` (from the engine, UTF-8).
            juce::var takeText (char* text)
            {
                const auto numBytes = text != nullptr ? std::strlen (text) : 0;
                juce::var result;
                if (countText (numBytes))
                    result = juce::String::fromUTF8 (text != nullptr ? text : "", (int) numBytes);
                g_free (text);
                return result;
            }

            bool isBeingConverted (JSCValue* value) const
            {
                return std::find (containers.begin(), containers.end(), value) != containers.end();
            }

            juce::var convert (JSCValue* value)
            {
                if (value == nullptr || ! roomFor (1))
                    return {};
                ++values;

                if (jsc_value_is_string (value) || jsc_value_is_number (value))
                    return takeText (jsc_value_to_string (value));

                if (jsc_value_is_boolean (value))
                    return jsc_value_to_boolean (value) ? "1" : "0";

                if (jsc_value_is_array (value))
                    return isBeingConverted (value) || containers.size() >= maxDepth ? juce::var() : convertArray (value);

                if (jsc_value_is_function (value) || ! jsc_value_is_object (value)
                    || jsc_value_object_is_instance_of (value, "Date"))
                    return {};

                return isBeingConverted (value) || containers.size() >= maxDepth ? juce::var() : convertObject (value);
            }

            juce::var convertArray (JSCValue* value)
            {
                auto* lengthValue = jsc_value_object_get_property (value, "length");
                const auto length = lengthValue != nullptr ? jsc_value_to_double (lengthValue) : 0.0;
                if (lengthValue != nullptr)
                    g_object_unref (lengthValue);

                // Every element counts, holes and all: a huge array is refused before any is touched.
                if (! roomFor (length))
                    return {};

                juce::Array<juce::var> elements;
                elements.ensureStorageAllocated ((int) length);
                containers.push_back (value);

                for (guint i = 0; i < (guint) length && ! overLimit; ++i)
                {
                    auto* element = jsc_value_object_get_property_at_index (value, i);
                    elements.add (convert (element));
                    if (element != nullptr)
                        g_object_unref (element);
                }

                containers.pop_back();
                return elements;
            }

            juce::var convertObject (JSCValue* value)
            {
                auto* object = new juce::DynamicObject();
                juce::var result (object);

                auto** names = jsc_value_object_enumerate_properties (value);
                if (names == nullptr)
                    return result;

                if (! roomFor ((double) g_strv_length (names)))
                {
                    g_strfreev (names);
                    return {};
                }

                containers.push_back (value);

                for (auto** name = names; *name != nullptr && ! overLimit; ++name)
                {
                    // juce::Identifier cannot be empty; such a key has no counterpart on this side.
                    if (**name == 0 || ! countText (std::strlen (*name)))
                        continue;

                    auto* property = jsc_value_object_get_property (value, *name);
                    object->setProperty (juce::Identifier (juce::String::fromUTF8 (*name)), convert (property));
                    if (property != nullptr)
                        g_object_unref (property);
                }

                containers.pop_back();
                g_strfreev (names);
                return result;
            }
        };
    } // namespace

    bool convertPostedValue (JSCValue* value, juce::var& result)
    {
        Conversion conversion;
        auto converted = conversion.convert (value);

        if (conversion.overLimit)
            return false;

        result = std::move (converted);
        return true;
    }
} // namespace calbrix_webview
