// Seeded random blobs through setStateInformation: mutations of a saved state (truncations,
// changed bytes, edited length fields, edited XML) and plain noise. Whatever comes in, the
// processor neither crashes nor hangs, keeps every parameter finite and in range, and what it
// saves after accepting a blob goes through a restore as safely.
#include "LoadTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace calbrix_test;

namespace
{
    constexpr juce::uint32 stateMagic = 0x21324356;

    juce::MemoryBlock wrap (const juce::MemoryBlock& xmlText)
    {
        juce::MemoryBlock blob;
        juce::MemoryOutputStream out (blob, false);
        out.writeInt (static_cast<int> (stateMagic));
        out.writeInt (static_cast<int> (xmlText.getSize()));
        out << xmlText;
        out.writeByte (0);
        out.flush();
        return blob;
    }

    juce::MemoryBlock xmlTextOf (const juce::MemoryBlock& blob)
    {
        return { juce::addBytesToPointer (blob.getData(), 8), blob.getSize() - 9 };
    }

    // Pieces of markup and text that exercise the parser's corners.
    const char* const snippets[] = {
        "<", ">", "/>", "</", "</PARAMX>", "<PARAMX id=\"x\" value=\"y\"/>", "<PARAM id=\"p1\" value=\"2\"/>",
        "=", "\"", "'", "&amp;", "&lt;", "&#x1F600;", "&#0;", "&#99999999999;", "&unknown;", "&",
        "<!--", "-->", "<![CDATA[", "]]>", "<?pi?>", "<!DOCTYPE r [<!ENTITY e \"<a>&e;</a>\">]>", "&e;",
        "\xc3", "\xf0\x9f\x98", "\xff", "\xe0\x8d\x8d", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xc3\xbc", "nan", "-inf", "1e309", "-0", " ", "\r\n", "\t",
        "model_path", "is_model_loading", "calbrixvaluetree", "<a><a><a><a>",
    };

    class BlobMutator
    {
    public:
        explicit BlobMutator (juce::int64 seed) : random (seed) {}

        juce::MemoryBlock mutate (const juce::MemoryBlock& valid)
        {
            switch (random.nextInt (6))
            {
                case 0:  return truncated (valid);
                case 1:  return withChangedBytes (valid);
                case 2:  return withEditedLength (valid);
                case 3:  return noise();
                default: return wrap (editedXml (xmlTextOf (valid)));
            }
        }

    private:
        juce::MemoryBlock truncated (const juce::MemoryBlock& blob)
        {
            return { blob.getData(), static_cast<size_t> (random.nextInt (static_cast<int> (blob.getSize()) + 1)) };
        }

        juce::MemoryBlock withChangedBytes (juce::MemoryBlock blob)
        {
            for (int n = 1 + random.nextInt (8); --n >= 0;)
                blob[random.nextInt (static_cast<int> (blob.getSize()))] = static_cast<char> (random.nextInt (256));
            return blob;
        }

        juce::MemoryBlock withEditedLength (juce::MemoryBlock blob)
        {
            const auto actual = static_cast<int> (blob.getSize()) - 9;
            const int choices[] = { 0, -1, actual - 1 - random.nextInt (40), actual + 1 + random.nextInt (4000),
                                    random.nextInt(), std::numeric_limits<int>::max(), std::numeric_limits<int>::min() };
            const auto length = juce::ByteOrder::swapIfBigEndian (static_cast<juce::uint32> (choices[random.nextInt (7)]));
            blob.copyFrom (&length, 4, 4);
            return blob;
        }

        juce::MemoryBlock noise()
        {
            juce::MemoryBlock blob (static_cast<size_t> (random.nextInt (600)));
            random.fillBitsRandomly (blob.getData(), blob.getSize());
            if (blob.getSize() >= 4 && random.nextBool())
                blob.copyFrom (&stateMagic, 0, 4);
            return blob;
        }

        juce::MemoryBlock editedXml (juce::MemoryBlock text)
        {
            for (int n = 1 + random.nextInt (4); --n >= 0;)
            {
                const auto size = static_cast<int> (text.getSize());
                const int at = random.nextInt (size + 1);
                switch (random.nextInt (4))
                {
                    case 0: // remove a span
                        text.removeSection (static_cast<size_t> (at), static_cast<size_t> (random.nextInt (juce::jmin (60, size - at) + 1)));
                        break;
                    case 1: // repeat a span
                    {
                        const auto length = static_cast<size_t> (random.nextInt (juce::jmin (200, size - at) + 1));
                        const juce::MemoryBlock span (juce::addBytesToPointer (text.getData(), at), length);
                        text.insert (span.getData(), span.getSize(), static_cast<size_t> (at));
                        break;
                    }
                    default: // insert a snippet
                    {
                        const auto* snippet = snippets[random.nextInt (juce::numElementsInArray (snippets))];
                        text.insert (snippet, std::strlen (snippet), static_cast<size_t> (at));
                        break;
                    }
                }
            }
            return text;
        }

        juce::Random random;
    };

    ::testing::AssertionResult parametersAreFiniteAndInRange (CalbrixAudioProcessor& processor)
    {
        for (auto* parameter : processor.getParameters())
        {
            const auto id = dynamic_cast<juce::AudioProcessorParameterWithID*> (parameter)->paramID;
            const auto normalised = parameter->getValue();
            const auto plain = parameterValue (processor, id);
            const auto& range = dynamic_cast<juce::RangedAudioParameter*> (parameter)->getNormalisableRange();
            if (! (normalised >= 0.0f && normalised <= 1.0f && plain >= range.start && plain <= range.end))
                return ::testing::AssertionFailure() << id << ": " << normalised << " (" << plain << ")";
        }
        return ::testing::AssertionSuccess();
    }
} // namespace

TEST (StateBlobRandomInput, ProcessorSurvivesAndStaysConsistent)
{
    dataDirectory().deleteRecursively();
    auto processor = std::make_unique<CalbrixAudioProcessor>();
    // A fixed identifier keeps the blob, and so every mutation of it, the same from run to run.
    processor->parameters.setCustomParamValue ("instance_id", 123456789, ParameterManager::PARAMX);
    const auto valid = saveState (*processor);
    int accepted = 0;

    for (juce::int64 seed = 1; seed <= 10; ++seed)
    {
        BlobMutator mutator (seed);
        for (int iteration = 0; iteration < 1000; ++iteration)
        {
            // An accepted blob may have left a tree with another number of children, which then
            // refuses every ordinary state: start again from a fresh processor.
            juce::ValueTree before = processor->parameters.state;
            restoreState (*processor, valid);
            if (before == processor->parameters.state)
                processor = std::make_unique<CalbrixAudioProcessor>();

            const auto blob = mutator.mutate (valid);
            before = processor->parameters.state;
            restoreState (*processor, blob);

            SCOPED_TRACE ("seed " + std::to_string (seed) + ", iteration " + std::to_string (iteration)
                          + ", blob " + blob.toBase64Encoding().toStdString());
            ASSERT_TRUE (parametersAreFiniteAndInRange (*processor));
            if (before == processor->parameters.state)
                continue;

            ++accepted;
            ASSERT_TRUE (processor->parameters.state.getType().toString().equalsIgnoreCase ("CalbrixValueTree"));

            // What it saves now goes through a restore as safely.
            restoreState (*processor, saveState (*processor));
            ASSERT_TRUE (parametersAreFiniteAndInRange (*processor));
        }
        ASSERT_TRUE (waitForLoadingIdle (*processor));
    }

    // The mutations keep enough of the state intact for a share of them to get through.
    EXPECT_GT (accepted, 100);
}
