// Saving and restoring the state tree as XML inside the framework's plug-in state wrapper.
#include "PluginProcessor.h"

#include <algorithm>
#include <cmath>

namespace
{
    // The framework's wrapper: magic number, length of the XML text, the text, a zero byte.
    constexpr juce::uint32 stateMagicNumber = 0x21324356;
    constexpr int stateHeaderSize = 8;

    // The framework's XML parser (JUCE 7.0.5) hangs, runs out of stack or reads past the end of
    // its text on some texts that a state of this processor never holds; such a blob is refused
    // before it reaches the parser.
    bool isSafeToParse (const juce::String& text)
    {
        // It recurses once per nesting level, and every level begins at a '<' of its own: a blob
        // nesting elements tens of thousands deep would exhaust the caller's stack. A saved state
        // holds the root and one element per child of the tree, a few dozen '<' at most.
        constexpr int maxMarkupOpenings = 512;
        int markupOpenings = 0;

        for (auto p = text.getCharPointer(); ! p.isEmpty(); ++p)
        {
            if (*p == '<' && ++markupOpenings > maxMarkupOpenings)
                return false;

            // It reads past the end of the text when a character reference is cut short there.
            // Every reference a saved state holds is a name or a number closed by ';'.
            if (*p == '&')
            {
                auto reference = p + 1;
                while (juce::CharacterFunctions::isLetterOrDigit (*reference) || *reference == '#')
                    ++reference;
                if (reference == p + 1 || *reference != ';')
                    return false;
            }
        }

        // It loops for ever on a processing instruction followed by text inside an element. A
        // saved state has none but the declaration at its start.
        auto rest = text.trimStart();
        if (rest.startsWith ("<?xml"))
            rest = rest.fromFirstOccurrenceOf ("?>", false, false);
        return ! rest.contains ("<?");
    }

    // True when the bytes are UTF-8 in its one valid form (RFC 3629). The framework's strings step
    // over a multi-byte character without looking at the bytes they skip, and size their copies
    // by the characters they decode: a sequence cut short carries them past the end of the text,
    // and an overlong one (a character in more bytes than it needs) overflows a copy.
    bool isStrictUtf8 (const juce::uint8* bytes, size_t size)
    {
        for (size_t i = 0; i < size;)
        {
            const auto lead = bytes[i];
            int extra = 0;
            juce::uint8 low = 0x80, high = 0xbf; // the range of the first continuation byte

            if (lead < 0x80)                      extra = 0;
            else if (lead >= 0xc2 && lead <= 0xdf) extra = 1;
            else if (lead == 0xe0)                 { extra = 2; low = 0xa0; }
            else if (lead == 0xed)                 { extra = 2; high = 0x9f; } // no surrogates
            else if (lead >= 0xe1 && lead <= 0xef) extra = 2;
            else if (lead == 0xf0)                 { extra = 3; low = 0x90; }
            else if (lead == 0xf4)                 { extra = 3; high = 0x8f; } // nothing past U+10FFFF
            else if (lead >= 0xf1 && lead <= 0xf3) extra = 3;
            else                                   return false;

            if (size - i <= static_cast<size_t> (extra))
                return false;

            for (int k = 1; k <= extra; ++k)
            {
                const auto next = bytes[i + static_cast<size_t> (k)];
                if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xbf))
                    return false;
            }

            i += static_cast<size_t> (extra) + 1;
        }
        return true;
    }

    // The XML text of a blob laid out as the framework's wrapper, or empty text when it is not one.
    // A length beyond the blob reads what is there; the text ends at a zero byte.
    juce::String xmlTextOf (const void* data, int sizeInBytes)
    {
        if (data == nullptr || sizeInBytes <= stateHeaderSize
            || juce::ByteOrder::littleEndianInt (data) != stateMagicNumber)
            return {};

        const auto length = static_cast<int> (juce::ByteOrder::littleEndianInt (juce::addBytesToPointer (data, 4)));
        if (length <= 0)
            return {};

        const auto* text = static_cast<const juce::uint8*> (data) + stateHeaderSize;
        const auto available = static_cast<size_t> (juce::jmin (length, sizeInBytes - stateHeaderSize));
        const auto* end = std::find (text, text + available, 0);
        const auto textSize = static_cast<size_t> (end - text);

        if (textSize == 0 || ! isStrictUtf8 (text, textSize))
            return {};

        return juce::String::fromUTF8 (reinterpret_cast<const char*> (text), static_cast<int> (textSize));
    }
} // namespace

void CalbrixAudioProcessor::getStateInformation (juce::MemoryBlock& destData)
{
    const auto state = parameters.copyState();
    if (const auto xml = state.createXml())
        copyXmlToBinary (*xml, destData);
}

void CalbrixAudioProcessor::setStateInformation (const void* data, int sizeInBytes)
{
    const auto text = xmlTextOf (data, sizeInBytes);
    if (text.isEmpty() || ! isSafeToParse (text))
        return;

    const auto xml = juce::parseXML (text);
    if (xml == nullptr)
        return;

    if (! xml->getTagName().equalsIgnoreCase (parameters.state.getType().toString()))
        return;

    if (xml->getNumChildElements() != parameters.state.getNumChildren())
        return;

    // Counted first: a load that is running now must not give its defaults over the restored values.
    ++stateRestores;
    parameters.replaceState (juce::ValueTree::fromXml (*xml));
    replaceNonFiniteParameterValues();
}

void CalbrixAudioProcessor::replaceNonFiniteParameterValues()
{
    // A saved "nan" or "inf" would reach the audio path as it stands.
    for (auto* parameter : getParameters())
    {
        if (auto* ranged = dynamic_cast<juce::RangedAudioParameter*> (parameter))
        {
            if (! std::isfinite (ranged->getValue()))
                ranged->setValueNotifyingHost (ranged->getDefaultValue());
        }
    }
}
