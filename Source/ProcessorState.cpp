// Saving and restoring the state tree as XML inside the framework's plug-in state wrapper.
#include "PluginProcessor.h"

#include <cmath>

namespace
{
    // The framework's wrapper: magic number, length of the XML text, the text, a zero byte.
    constexpr juce::uint32 stateMagicNumber = 0x21324356;
    constexpr int stateHeaderSize = 8;

    // The framework's XML parser (JUCE 7.0.5) hangs or runs out of stack on some texts that a
    // state of this processor never holds; such a blob is refused before it reaches the parser.
    bool isSafeToParse (const juce::String& text)
    {
        // It recurses once per nesting level, and every level begins at a '<' of its own: a blob
        // nesting elements tens of thousands deep would exhaust the caller's stack. A saved state
        // holds the root and one element per child of the tree, a few dozen '<' at most.
        constexpr int maxMarkupOpenings = 512;
        if (text.retainCharacters ("<").length() > maxMarkupOpenings)
            return false;

        // It loops for ever on a processing instruction followed by text inside an element. A
        // saved state has none but the declaration at its start.
        auto rest = text.trimStart();
        if (rest.startsWith ("<?xml"))
            rest = rest.fromFirstOccurrenceOf ("?>", false, false);
        return ! rest.contains ("<?");
    }

    // The XML text of a blob laid out as the framework's wrapper, or empty text when it is not one.
    // A length beyond the blob reads what is there.
    juce::String xmlTextOf (const void* data, int sizeInBytes)
    {
        if (data == nullptr || sizeInBytes <= stateHeaderSize
            || juce::ByteOrder::littleEndianInt (data) != stateMagicNumber)
            return {};

        const auto length = static_cast<int> (juce::ByteOrder::littleEndianInt (juce::addBytesToPointer (data, 4)));
        if (length <= 0)
            return {};

        const auto* text = static_cast<const char*> (data) + stateHeaderSize;
        const auto textSize = juce::jmin (length, sizeInBytes - stateHeaderSize);

        // The framework's parser steps over the bytes of a multi-byte character without looking at
        // them, so a sequence cut short would carry it past the end of the text.
        if (! juce::CharPointer_UTF8::isValidString (text, textSize))
            return {};

        return juce::String::fromUTF8 (text, textSize);
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
