#include "Base64Payload.h"

#include <array>
#include <cstdint>

namespace lorquist::BrowserIntegration
{
    namespace
    {
        constexpr std::uint8_t invalid = 0xff, padding = 64;

        constexpr std::array<std::uint8_t, 256> makeDigits()
        {
            std::array<std::uint8_t, 256> digits {};
            for (auto& d : digits)
                d = invalid;
            for (int i = 0; i < 26; ++i)
            {
                digits[static_cast<size_t> ('A' + i)] = static_cast<std::uint8_t> (i);
                digits[static_cast<size_t> ('a' + i)] = static_cast<std::uint8_t> (26 + i);
            }
            for (int i = 0; i < 10; ++i)
                digits[static_cast<size_t> ('0' + i)] = static_cast<std::uint8_t> (52 + i);
            digits['+'] = 62;
            digits['/'] = 63;
            digits['='] = padding;
            return digits;
        }

        constexpr auto digits = makeDigits();
    } // namespace

    std::optional<juce::MemoryBlock> decodeBase64 (const char* text, size_t length)
    {
        juce::MemoryBlock decoded ((length + 3) / 4 * 3);
        auto* out = static_cast<std::uint8_t*> (decoded.getData());
        const auto* in = reinterpret_cast<const std::uint8_t*> (text);
        size_t written = 0;

        for (size_t at = 0; at < length; at += 4)
        {
            // A group cut short by the end of the text fails where the text ends.
            if (length - at < 4)
                return std::nullopt;

            std::uint8_t group[4];
            for (size_t i = 0; i < 4; ++i)
            {
                group[i] = digits[in[at + i]];
                // "=" may only fill the third and fourth places.
                if (group[i] == invalid || (group[i] == padding && i <= 1))
                    return std::nullopt;
            }

            out[written++] = static_cast<std::uint8_t> ((group[0] << 2) | (group[1] >> 4));
            if (group[2] != padding)
            {
                out[written++] = static_cast<std::uint8_t> ((group[1] << 4) | (group[2] >> 2));
                if (group[3] != padding)
                    out[written++] = static_cast<std::uint8_t> ((group[2] << 6) | group[3]);
            }
        }

        decoded.setSize (written);
        return decoded;
    }
} // namespace lorquist::BrowserIntegration
