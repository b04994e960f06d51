// Saving and restoring the processor's state: the exact blob, what a restore accepts and refuses,
// and what an accepted restore leaves behind.
#include "LoadTestSupport.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

using namespace calbrix_test;

namespace
{
    constexpr juce::uint32 stateMagic = 0x21324356;
    const juce::String xmlDeclaration { "<?xml version=\"1.0\" encoding=\"UTF-8\"?>" };

    juce::MemoryBlock blobOfBytes (const std::string& textBytes, juce::uint32 magic = stateMagic)
    {
        juce::MemoryBlock blob;
        {
            juce::MemoryOutputStream out (blob, false);
            out.writeInt (static_cast<int> (magic));
            out.writeInt (static_cast<int> (textBytes.size()));
            out.write (textBytes.data(), textBytes.size());
            out.writeByte (0);
        }
        return blob;
    }

    juce::MemoryBlock blobOf (const juce::String& xmlText, juce::uint32 magic = stateMagic)
    {
        return blobOfBytes (xmlText.toStdString(), magic);
    }

    void setLengthField (juce::MemoryBlock& blob, juce::int32 length)
    {
        const auto littleEndian = juce::ByteOrder::swapIfBigEndian (static_cast<juce::uint32> (length));
        blob.copyFrom (&littleEndian, 4, 4);
    }

    juce::uint32 lengthField (const juce::MemoryBlock& blob)
    {
        return juce::ByteOrder::littleEndianInt (juce::addBytesToPointer (blob.getData(), 4));
    }

    juce::String textOf (const juce::MemoryBlock& blob)
    {
        return juce::String::fromUTF8 (static_cast<const char*> (blob.getData()) + 8, static_cast<int> (blob.getSize()) - 9);
    }

    // The saved state of a fresh processor, as an element a test may change.
    std::unique_ptr<juce::XmlElement> freshStateXml()
    {
        CalbrixAudioProcessor processor;
        return juce::parseXML (textOf (saveState (processor)));
    }

    juce::String oneLine (const juce::XmlElement& xml)
    {
        return xml.toString (juce::XmlElement::TextFormat().singleLine());
    }

    // Everything a refused restore must leave as it was.
    struct Snapshot
    {
        explicit Snapshot (CalbrixAudioProcessor& processor)
            : tree (processor.parameters.state), xml (tree.toXmlString())
        {
            for (auto* parameter : processor.getParameters())
                parameters.push_back (parameter->getValue());
        }

        bool operator== (const Snapshot& other) const
        {
            return tree == other.tree && xml == other.xml && parameters == other.parameters;
        }

        juce::ValueTree tree;   // the same object, not only the same content
        juce::String xml;
        std::vector<float> parameters;
    };

    // Counts everything the state tree tells its listeners.
    struct TreeEvents : juce::ValueTree::Listener
    {
        int count = 0;
        void valueTreePropertyChanged (juce::ValueTree&, const juce::Identifier&) override { ++count; }
        void valueTreeChildAdded (juce::ValueTree&, juce::ValueTree&) override { ++count; }
        void valueTreeChildRemoved (juce::ValueTree&, juce::ValueTree&, int) override { ++count; }
        void valueTreeRedirected (juce::ValueTree&) override { ++count; }
    };

    class PersistedState : public ::testing::Test
    {
    protected:
        void SetUp() override { dataDirectory().deleteRecursively(); }

        // "accepted" when the blob replaced the processor's tree, "refused" when it left no trace.
        static juce::String restore (CalbrixAudioProcessor& processor, const void* data, int size)
        {
            const Snapshot before (processor);
            TreeEvents events;
            processor.parameters.state.addListener (&events);
            processor.setStateInformation (data, size);
            processor.parameters.state.removeListener (&events);
            const bool queuedALoad = processor.loadingPool->getNumJobs() > 0;
            EXPECT_TRUE (waitForLoadingIdle (processor));

            if (Snapshot (processor) == before && events.count == 0 && ! queuedALoad)
                return "refused";
            if (before.tree == processor.parameters.state)
                return "changed the state without replacing its tree";
            return "accepted";
        }

        static juce::String restore (CalbrixAudioProcessor& processor, const juce::MemoryBlock& blob)
        {
            return restore (processor, blob.getData(), static_cast<int> (blob.getSize()));
        }
    };
} // namespace

TEST_F (PersistedState, SavedBlobIsTheTreeOnOneLineInsideTheFrameworksWrapper)
{
    CalbrixAudioProcessor processor;
    const auto blob = saveState (processor);
    const auto* bytes = static_cast<const char*> (blob.getData());

    ASSERT_GT (blob.getSize(), 9u);
    EXPECT_EQ (std::string (bytes, 4), "VC2!");
    EXPECT_EQ (lengthField (blob), blob.getSize() - 9);
    EXPECT_EQ (bytes[blob.getSize() - 1], 0);

    const juce::String expected = xmlDeclaration + " <CalbrixValueTree>"
        "<PARAM id=\"dry_gain\" value=\"0.5\"/><PARAM id=\"input_gain\" value=\"0.0\"/>"
        "<PARAM id=\"output_gain\" value=\"0.0\"/><PARAM id=\"p1\" value=\"0.5\"/><PARAM id=\"p2\" value=\"0.5\"/>"
        "<PARAM id=\"p3\" value=\"0.5\"/><PARAM id=\"p4\" value=\"0.5\"/><PARAM id=\"wet_gain\" value=\"1.0\"/>"
        "<PARAMX id=\"plugin_version\" value=\"1.5.0\"/><PARAMX id=\"sdk_version\" value=\"0.2.3\"/>"
        "<PARAMX id=\"instance_id\" value=\"" + processor.instanceIdText + "\"/>"
        "<PARAMX id=\"model_id\" value=\"0\"/><PARAMX id=\"preset_id\" value=\"0\"/>"
        "<PARAMX id=\"model_path\" value=\"\"/><PARAMX id=\"is_model_loading\" value=\"0\"/>"
        "</CalbrixValueTree>";
    EXPECT_EQ (textOf (blob), expected);
}

TEST_F (PersistedState, SavingReplacesWhatTheBlockHeld)
{
    CalbrixAudioProcessor processor;
    juce::MemoryBlock block (3000);
    block.fillWith (0xab);

    processor.getStateInformation (block);

    EXPECT_EQ (block, saveState (processor));
}

TEST_F (PersistedState, RestoreInAnotherProcessorCarriesEveryValueAsText)
{
    const juce::String modelPath = juce::String::fromUTF8 ("folder/a<b & \"c\" 'd' ü.pt");
    CalbrixAudioProcessor original;
    const float normalised[] = { 0.11f, 0.22f, 0.33f, 0.44f, 0.55f, 0.66f, 0.77f, 0.88f };
    for (int i = 0; i < 8; ++i)
        original.getParameters()[i]->setValueNotifyingHost (normalised[i]);
    setModelPath (original, modelPath);
    original.parameters.setCustomParamValue ("model_id", 42, ParameterManager::PARAMX);
    original.parameters.setCustomParamValue ("is_model_loading", true, ParameterManager::PARAMX);
    ASSERT_TRUE (waitForLoadingIdle (original));
    const auto saved = saveState (original);

    CalbrixAudioProcessor restored;
    ASSERT_EQ (restore (restored, saved), "accepted");

    const auto& tree = restored.parameters.state;
    ASSERT_EQ (tree.getNumChildren(), 15);
    for (int i = 0; i < 8; ++i)
        EXPECT_FLOAT_EQ (restored.getParameters()[i]->getValue(), original.getParameters()[i]->getValue()) << i;

    const std::pair<const char*, juce::String> texts[] = {
        { "plugin_version", "1.5.0" }, { "sdk_version", "0.2.3" }, { "instance_id", original.instanceIdText },
        { "model_id", "42" }, { "preset_id", "0" }, { "model_path", modelPath }, { "is_model_loading", "1" },
    };
    for (int i = 0; i < 7; ++i)
    {
        SCOPED_TRACE (texts[i].first);
        const auto child = tree.getChild (8 + i);
        EXPECT_EQ (child.getType().toString(), "PARAMX");
        EXPECT_EQ (child.getProperty ("id").toString(), texts[i].first);
        const auto value = restored.parameters.getCustomParamValue (texts[i].first, ParameterManager::PARAMX);
        EXPECT_TRUE (value.isString());
        EXPECT_EQ (value.toString(), texts[i].second);
    }

    // Saving the restored state gives the same blob again.
    EXPECT_EQ (saveState (restored), saved);
}

TEST_F (PersistedState, RootNameMatchesWithoutRegardToCase)
{
    struct Case { const char* rootName; bool accepted; };
    const Case cases[] = {
        { "CalbrixValueTree", true }, { "calbrixvaluetree", true }, { "CALBRIXVALUETREE", true },
        { "CalbrixValueTre", false }, { "CalbrixValueTrees", false }, { "OtherTree", false },
    };

    const auto xml = freshStateXml();
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.rootName);
        CalbrixAudioProcessor processor;
        xml->setTagName (c.rootName);
        EXPECT_EQ (restore (processor, blobOf (oneLine (*xml))), c.accepted ? "accepted" : "refused");
    }
}

TEST_F (PersistedState, OnlyTheNumberOfChildElementsMustMatch)
{
    const auto fifteenForeign = [] (juce::XmlElement& root)
    {
        root.deleteAllChildElements();
        for (int i = 0; i < 15; ++i)
            root.createNewChildElement ("Foreign")->setAttribute ("n", i);
    };

    struct Case { const char* what; std::function<void (juce::XmlElement&)> change; bool accepted; };
    const Case cases[] = {
        { "14 children", [] (juce::XmlElement& root) { root.removeChildElement (root.getChildElement (14), true); }, false },
        { "16 children", [] (juce::XmlElement& root) { root.createNewChildElement ("PARAMX")->setAttribute ("id", "extra"); }, false },
        { "15 foreign children", fifteenForeign, true },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        CalbrixAudioProcessor processor;
        auto xml = freshStateXml();
        c.change (*xml);
        EXPECT_EQ (restore (processor, blobOf (oneLine (*xml))), c.accepted ? "accepted" : "refused");
    }

    // Accepted as it stands: the framework then adds a child for each parameter that has none.
    CalbrixAudioProcessor processor;
    auto xml = freshStateXml();
    fifteenForeign (*xml);
    ASSERT_EQ (restore (processor, blobOf (oneLine (*xml))), "accepted");
    EXPECT_EQ (processor.parameters.state.getChild (0).getType().toString(), "Foreign");
    EXPECT_TRUE (processor.parameters.state.getChildWithProperty ("id", "p1").isValid());
}

TEST_F (PersistedState, MalformedBlobsAreRefusedWithoutATrace)
{
    const auto fresh = [] { CalbrixAudioProcessor processor; return saveState (processor); }();
    const auto withLength = [&] (juce::int32 length) { auto blob = fresh; setLengthField (blob, length); return blob; };
    const auto deepXml = []
    {
        // A root with its 15 children, one of them nesting elements far deeper than any saved state.
        auto xml = freshStateXml();
        juce::String text = oneLine (*xml);
        juce::String deep;
        for (int i = 0; i < 100000; ++i)
            deep << "<a>";
        return text.replace ("<PARAMX id=\"model_id\" value=\"0\"/>", "<PARAMX id=\"model_id\" value=\"0\">" + deep + "</PARAMX>");
    };

    const auto zeroFirst = [&] { auto blob = fresh; static_cast<char*> (blob.getData())[8] = 0; return blob; };
    const auto freshText = textOf (fresh);
    const auto withBytesFor = [&] (const std::string& original, const std::string& bytes)
    {
        auto text = freshText.toStdString();
        return text.replace (text.find (original), original.size(), bytes);
    };
    const auto lastChild = freshText.fromLastOccurrenceOf ("<PARAMX", true, false).upToFirstOccurrenceOf ("</", false, false);

    struct Case { const char* what; juce::MemoryBlock blob; std::optional<int> size; };
    const Case cases[] = {
        { "no bytes", fresh, 0 },
        { "a negative size", fresh, -1 },
        { "eight bytes: the magic number and the length", fresh, 8 },
        { "another magic number", blobOf (textOf (fresh), 0x21324357), {} },
        { "a length of 0", withLength (0), {} },
        { "a negative length", withLength (-1), {} },
        { "the most negative length", withLength (std::numeric_limits<juce::int32>::min()), {} },
        { "text that is not XML", blobOf ("not xml at all"), {} },
        { "text that begins with a zero byte", zeroFirst(), {} },
        { "an XML declaration alone", blobOf (xmlDeclaration), {} },
        { "elements nested 100000 deep", blobOf (deepXml()), {} },
        // The framework's strings and parser would run past the end of the text, overflow a copy
        // of it, or loop for ever.
        { "a character in more bytes than it needs", blobOfBytes (withBytesFor ("1.5.0", "\xe0\x8d\x8d")), {} },
        { "a surrogate", blobOfBytes (withBytesFor ("1.5.0", "\xed\xa0\x80")), {} },
        { "a multi-byte character cut short", blobOfBytes (freshText.upToLastOccurrenceOf (lastChild, false, false).toStdString()
                                                           + "<!--\xf0-->" + lastChild.toStdString() + "</CalbrixValueTree>"), {} },
        { "a character reference cut short by the end of the text", blobOf (freshText.upToLastOccurrenceOf (lastChild, false, false) + "&#x4"), {} },
        { "an ampersand that starts no reference", blobOf (freshText.replace ("1.5.0", "1&5")), {} },
        { "a processing instruction before text in an element", blobOf (freshText.replace (lastChild, "<?pi?>text" + lastChild)), {} },
    };

    CalbrixAudioProcessor processor;
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        EXPECT_EQ (restore (processor, c.blob.getData(), c.size.value_or (static_cast<int> (c.blob.getSize()))), "refused");
    }
    EXPECT_EQ (restore (processor, nullptr, static_cast<int> (fresh.getSize())), "refused");
}

TEST_F (PersistedState, LengthBeyondTheDataParsesWhatIsPresentAndNothingMore)
{
    const auto fresh = [] { CalbrixAudioProcessor processor; return saveState (processor); }();
    // Without its zero byte, ending in the first byte of a 4-byte character.
    auto cut = fresh;
    cut.setSize (cut.getSize() - 1);
    cut.append ("\xf0", 1);

    // Each blob ends right where unreadable memory begins: a read past its last byte would crash.
    const auto pageSize = static_cast<size_t> (sysconf (_SC_PAGESIZE));
    const auto span = (fresh.getSize() / pageSize + 2) * pageSize;
    auto* memory = static_cast<char*> (mmap (nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE (memory, MAP_FAILED);
    ASSERT_EQ (mprotect (memory + span - pageSize, pageSize, PROT_NONE), 0);

    struct Case { const char* what; const juce::MemoryBlock& blob; juce::int64 extra; const char* outcome; };
    const Case cases[] = {
        { "one byte more", fresh, 1, "accepted" },
        { "a kilobyte more", fresh, 1024, "accepted" },
        { "the largest length", fresh, std::numeric_limits<juce::int32>::max() - static_cast<juce::int64> (fresh.getSize() - 9), "accepted" },
        // Not UTF-8: refused, after looking at the blob's own bytes only.
        { "a cut character, the largest length", cut, std::numeric_limits<juce::int32>::max() - static_cast<juce::int64> (cut.getSize() - 9), "refused" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        auto* data = memory + span - pageSize - c.blob.getSize();
        std::memcpy (data, c.blob.getData(), c.blob.getSize());
        const auto length = juce::ByteOrder::swapIfBigEndian (static_cast<juce::uint32> (static_cast<juce::int64> (c.blob.getSize() - 9) + c.extra));
        std::memcpy (data + 4, &length, 4);

        CalbrixAudioProcessor processor;
        EXPECT_EQ (restore (processor, data, static_cast<int> (c.blob.getSize())), c.outcome);
    }
    munmap (memory, span);
}

TEST_F (PersistedState, SavedValuesThatAreNotNumbersGiveTheParametersTheirDefaults)
{
    auto xml = freshStateXml();
    xml->getChildByAttribute ("id", "p1")->setAttribute ("value", "nan");
    xml->getChildByAttribute ("id", "wet_gain")->setAttribute ("value", "-nan");
    xml->getChildByAttribute ("id", "p2")->setAttribute ("value", "0.25");

    CalbrixAudioProcessor processor;
    ASSERT_EQ (restore (processor, blobOf (oneLine (*xml))), "accepted");

    EXPECT_FLOAT_EQ (parameterValue (processor, "p1"), 0.5f);
    EXPECT_FLOAT_EQ (parameterValue (processor, "wet_gain"), 1.0f);
    EXPECT_FLOAT_EQ (parameterValue (processor, "p2"), 0.25f);
    for (auto* parameter : processor.getParameters())
        EXPECT_TRUE (std::isfinite (parameter->getValue()));
}

TEST_F (PersistedState, RestoredModelPathIsLoaded)
{
    installFixture ("identity.pt");
    struct Case { const char* modelPath; bool loads; };
    const Case cases[] = { { "identity.pt", true }, { "", false }, { "missing.pt", false } };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.modelPath);
        auto xml = freshStateXml();
        xml->getChildByAttribute ("id", "model_path")->setAttribute ("value", c.modelPath);

        CalbrixAudioProcessor processor;
        LoadingFlagRecorder flag (processor);
        ASSERT_EQ (restore (processor, blobOf (oneLine (*xml))), "accepted");
        EXPECT_EQ (flag.loadsStarted(), c.loads ? 1 : 0);
        EXPECT_EQ (processor.model->loaded.load(), c.loads);
    }
}

TEST_F (PersistedState, StateWithoutAModelPathLeavesLaterRestoresWorking)
{
    // Fifteen children, none of them "model_path": reading the path for the load must not add one.
    auto xml = freshStateXml();
    xml->getChildByAttribute ("id", "model_path")->setAttribute ("id", "spare");

    CalbrixAudioProcessor processor;
    ASSERT_EQ (restore (processor, blobOf (oneLine (*xml))), "accepted");
    EXPECT_EQ (processor.parameters.state.getNumChildren(), 15);

    // The states it writes itself, and those of any other processor, are still taken.
    EXPECT_EQ (restore (processor, saveState (processor)), "accepted");
    CalbrixAudioProcessor other;
    EXPECT_EQ (restore (processor, saveState (other)), "accepted");
}
