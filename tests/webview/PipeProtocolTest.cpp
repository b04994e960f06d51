#include "PipeProtocol.h"

#include <gtest/gtest.h>

using calbrix_webview::encodeFrame;
using calbrix_webview::FrameDecoder;

namespace
{
    std::vector<juce::var> decodeAll (const juce::MemoryBlock& bytes, size_t chunk)
    {
        FrameDecoder decoder;
        std::vector<juce::var> out;
        auto* data = static_cast<const char*> (bytes.getData());
        for (size_t offset = 0; offset < bytes.getSize(); offset += chunk)
            EXPECT_TRUE (decoder.append (data + offset, std::min (chunk, bytes.getSize() - offset)));
        decoder.takeMessages (out);
        return out;
    }

    juce::var object (std::initializer_list<std::pair<const char*, juce::var>> properties)
    {
        auto* o = new juce::DynamicObject();
        for (auto& p : properties)
            o->setProperty (p.first, p.second);
        return o;
    }
} // namespace

TEST (PipeProtocol, ValuesSurviveTheTripAcrossThePipe)
{
    // Text that juce::JSON would mangle (characters beyond the BMP) or that needs escaping.
    const auto emoji = juce::String::fromUTF8 ("gr\xc3\xbc\xc3\x9f \xf0\x9f\x98\x80 \xe2\x9c\x93");
    const auto awkward = juce::String ("quote \" backslash \\ newline \n tab \t bell ") + juce::String::charToString (7);

    juce::Array<juce::var> list { juce::var ("a"), juce::var(), object ({ { "deep", juce::Array<juce::var> { 1, 2 } } }) };
    const std::vector<juce::var> messages {
        object ({ { "type", "message" }, { "body", object ({ { "text", emoji } }) } }),
        object ({ { "type", "eval" }, { "script", awkward } }),
        object ({ { "type", "plug" }, { "id", (juce::int64) 0x7fffffff01LL } }),
        object ({ { "type", "decision" }, { "id", 3 }, { "allow", false } }),
        object ({ { "type", "list" }, { "items", list }, { "nothing", juce::var() } }),
        object ({}),
    };

    juce::MemoryBlock stream;
    for (auto& m : messages)
        stream.append (encodeFrame (m).getData(), encodeFrame (m).getSize());

    // Whole stream at once, and byte by byte: framing must not depend on how reads split it.
    for (size_t chunk : { stream.getSize(), (size_t) 1, (size_t) 7 })
    {
        SCOPED_TRACE ("chunk " + std::to_string (chunk));
        const auto decoded = decodeAll (stream, chunk);
        ASSERT_EQ (decoded.size(), messages.size());

        EXPECT_EQ (decoded[0]["body"]["text"].toString(), emoji);
        EXPECT_EQ (decoded[1]["script"].toString(), awkward);
        EXPECT_EQ (static_cast<juce::int64> (decoded[2]["id"]), 0x7fffffff01LL);
        EXPECT_TRUE (decoded[3]["allow"].isBool());
        EXPECT_FALSE (static_cast<bool> (decoded[3]["allow"]));

        auto* items = decoded[4]["items"].getArray();
        ASSERT_NE (items, nullptr);
        ASSERT_EQ (items->size(), 3);
        EXPECT_EQ ((*items)[0].toString(), "a");
        EXPECT_TRUE ((*items)[1].isVoid());
        EXPECT_EQ ((int) (*items)[2]["deep"][1], 2);
        EXPECT_TRUE (decoded[4].getDynamicObject()->hasProperty ("nothing"));
        EXPECT_TRUE (decoded[4]["nothing"].isVoid());

        ASSERT_NE (decoded[5].getDynamicObject(), nullptr);
        EXPECT_EQ (decoded[5].getDynamicObject()->getProperties().size(), 0);
    }
}

TEST (PipeProtocol, IncompleteFrameWaitsForTheRest)
{
    const auto frame = encodeFrame (object ({ { "type", "close" } }));
    FrameDecoder decoder;
    std::vector<juce::var> out;

    decoder.append (frame.getData(), frame.getSize() - 1);
    decoder.takeMessages (out);
    EXPECT_TRUE (out.empty());

    decoder.append (static_cast<const char*> (frame.getData()) + frame.getSize() - 1, 1);
    decoder.takeMessages (out);
    ASSERT_EQ (out.size(), 1u);
    EXPECT_EQ (out[0]["type"].toString(), "close");
}

TEST (PipeProtocol, GarbledFrameIsVoidAndTheStreamGoesOn)
{
    const char garbled[] = { 5, 0, 0, 0, 'n', 'o', 't', ' ', '{' };
    const auto good = encodeFrame (object ({ { "type", "finished" } }));

    FrameDecoder decoder;
    std::vector<juce::var> out;
    EXPECT_TRUE (decoder.append (garbled, sizeof (garbled)));
    EXPECT_TRUE (decoder.append (good.getData(), good.getSize()));
    decoder.takeMessages (out);

    ASSERT_EQ (out.size(), 2u);
    EXPECT_TRUE (out[0].isVoid());
    EXPECT_EQ (out[1]["type"].toString(), "finished");
}

TEST (PipeProtocol, OversizeLengthBreaksTheStream)
{
    const unsigned char huge[] = { 0xff, 0xff, 0xff, 0xff, '{' };
    FrameDecoder decoder;
    EXPECT_FALSE (decoder.append (huge, sizeof (huge)));
    EXPECT_TRUE (decoder.isBroken());

    const auto good = encodeFrame (object ({ { "type", "close" } }));
    EXPECT_FALSE (decoder.append (good.getData(), good.getSize()));
    std::vector<juce::var> out;
    decoder.takeMessages (out);
    EXPECT_TRUE (out.empty());
}

TEST (PipeProtocol, FrameTextsDecodeAsJsonDoesAndBrokenOnesAsVoid)
{
    auto frameOf = [] (const std::string& text)
    {
        juce::MemoryBlock frame;
        const auto n = static_cast<std::uint32_t> (text.size());
        const char head[] = { (char) (n & 0xff), (char) ((n >> 8) & 0xff), (char) ((n >> 16) & 0xff), (char) (n >> 24) };
        frame.append (head, 4);
        frame.append (text.data(), text.size());
        return frame;
    };

    // What the framework's parser makes of each, kinds of number included.
    const char* wellFormed[] = {
        R"({"a": 1, "b": -3, "c": 1.5, "d": 1099511627776, "e": 1e3, "f": -0.25})",
        R"( [ true , false , null , [ ] , { } , "" ] )",
        R"({"t": "esc \" \\ \/ \b \f \n \r \t \u00e9 \u2713 end", "nested": {"x": [1, [2, {"y": "z"}]]}})",
    };
    for (auto* text : wellFormed)
    {
        SCOPED_TRACE (text);
        const auto decoded = decodeAll (frameOf (text), 3);
        ASSERT_EQ (decoded.size(), 1u);
        const auto expected = juce::JSON::parse (juce::String::fromUTF8 (text));
        EXPECT_EQ (juce::JSON::toString (decoded[0], true), juce::JSON::toString (expected, true));
        EXPECT_TRUE (decoded[0]["a"].isInt() == expected["a"].isInt() && decoded[0]["d"].isInt64() == expected["d"].isInt64());
    }

    // A pair of escapes makes one character beyond the BMP.
    EXPECT_EQ (decodeAll (frameOf (R"(["\ud83d\ude00"])"), 1)[0][0].toString(), juce::String::fromUTF8 ("\xf0\x9f\x98\x80"));

    // Only objects and arrays stand alone, as with the framework's parser.
    const char* broken[] = { "\"just text\"", "12", "-", "{\"a\": }", "[1, 2", "\"open", "{\"a\" 1}", "tru", "[1] x", "\"bad \\q escape\"", "{\"a\": 1,}" };
    for (auto* text : broken)
    {
        SCOPED_TRACE (text);
        const auto decoded = decodeAll (frameOf (text), 2);
        ASSERT_EQ (decoded.size(), 1u);
        EXPECT_TRUE (decoded[0].isVoid());
    }
}
