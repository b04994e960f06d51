#include "PageNumber.h"

#include <cmath>

namespace lorquist::BrowserIntegration
{
    namespace
    {
        bool isDigit (juce::juce_wchar c) { return c >= '0' && c <= '9'; }

        // Sign, digits with at most one ".", an optional exponent; white space around it. No "NaN",
        // "Infinity", hexadecimal or trailing text, which the framework's reader would take in part.
        bool isDecimalNumberText (const juce::String& text)
        {
            const auto trimmed = text.trim();
            auto c = trimmed.getCharPointer();

            if (*c == '+' || *c == '-')
                ++c;

            int digits = 0;
            for (; isDigit (*c); ++c)
                ++digits;

            if (*c == '.')
                for (++c; isDigit (*c); ++c)
                    ++digits;

            if (digits == 0)
                return false;

            if (*c == 'e' || *c == 'E')
            {
                ++c;
                if (*c == '+' || *c == '-')
                    ++c;
                if (! isDigit (*c))
                    return false;
                while (isDigit (*c))
                    ++c;
            }

            return c.isEmpty();
        }
    } // namespace

    bool isFiniteNumber (const juce::var& value)
    {
        if (value.isBool() || value.isInt() || value.isInt64())
            return true;

        if (value.isDouble())
            return std::isfinite (static_cast<double> (value));

        // Read back the way the framework will read it, so that "1e400" counts as the infinity it becomes.
        if (value.isString())
            return isDecimalNumberText (value.toString()) && std::isfinite (value.toString().getDoubleValue());

        return false;
    }
} // namespace lorquist::BrowserIntegration
