#include "PipeProtocol.h"

namespace calbrix_webview
{
    namespace
    {
        void writeString (juce::MemoryOutputStream& out, const juce::String& text)
        {
            out << '"';

            for (auto p = text.getCharPointer(); ! p.isEmpty();)
            {
                const auto start = p;
                const auto c = p.getAndAdvance();

                switch (c)
                {
                    case '"':  out << "\\\""; break;
                    case '\\': out << "\\\\"; break;
                    case '\n': out << "\\n";  break;
                    case '\r': out << "\\r";  break;
                    case '\t': out << "\\t";  break;
                    default:
                        if (c < 32)
                            out << "\\u" << juce::String::toHexString ((int) c).paddedLeft ('0', 4);
                        else
                            out.write (start.getAddress(), (size_t) (p.getAddress() - start.getAddress()));
                        break;
                }
            }

            out << '"';
        }

        void writeValue (juce::MemoryOutputStream& out, const juce::var& value)
        {
            if (value.isVoid() || value.isUndefined())
            {
                out << "null";
            }
            else if (value.isBool())
            {
                out << (static_cast<bool> (value) ? "true" : "false");
            }
            else if (value.isInt() || value.isInt64())
            {
                out << juce::String (static_cast<juce::int64> (value));
            }
            else if (value.isDouble())
            {
                out << juce::JSON::toString (value);
            }
            else if (value.isString())
            {
                writeString (out, value.toString());
            }
            else if (auto* array = value.getArray())
            {
                out << '[';
                for (int i = 0; i < array->size(); ++i)
                {
                    if (i > 0)
                        out << ',';
                    writeValue (out, array->getReference (i));
                }
                out << ']';
            }
            else if (auto* object = value.getDynamicObject())
            {
                out << '{';
                bool first = true;
                for (auto& property : object->getProperties())
                {
                    if (! first)
                        out << ',';
                    first = false;
                    writeString (out, property.name.toString());
                    out << ':';
                    writeValue (out, property.value);
                }
                out << '}';
            }
            else
            {
                // Methods, binary blocks and foreign objects have no place in the protocol.
                out << "null";
            }
        }
    } // namespace

    juce::String toProtocolJson (const juce::var& value)
    {
        juce::MemoryOutputStream out;
        writeValue (out, value);
        return out.toUTF8();
    }

    juce::MemoryBlock encodeFrame (const juce::var& message)
    {
        const auto text = toProtocolJson (message);
        const auto numBytes = (std::uint32_t) text.getNumBytesAsUTF8();

        juce::MemoryBlock frame (4 + (size_t) numBytes);
        auto* bytes = static_cast<std::uint8_t*> (frame.getData());
        bytes[0] = (std::uint8_t) (numBytes & 0xff);
        bytes[1] = (std::uint8_t) ((numBytes >> 8) & 0xff);
        bytes[2] = (std::uint8_t) ((numBytes >> 16) & 0xff);
        bytes[3] = (std::uint8_t) ((numBytes >> 24) & 0xff);
        memcpy (bytes + 4, text.toRawUTF8(), numBytes);
        return frame;
    }

    bool FrameDecoder::append (const void* data, size_t numBytes)
    {
        if (broken)
            return false;

        auto* bytes = static_cast<const char*> (data);
        pending.insert (pending.end(), bytes, bytes + numBytes);

        size_t offset = 0;

        while (pending.size() - offset >= 4)
        {
            auto* head = reinterpret_cast<const std::uint8_t*> (pending.data() + offset);
            const auto length = (std::uint32_t) head[0] | ((std::uint32_t) head[1] << 8)
                              | ((std::uint32_t) head[2] << 16) | ((std::uint32_t) head[3] << 24);

            if (length > maxFrameBytes)
            {
                broken = true;
                pending.clear();
                return false;
            }

            if (pending.size() - offset - 4 < length)
                break;

            const auto text = juce::String::fromUTF8 (pending.data() + offset + 4, (int) length);
            juce::var parsed;

            if (juce::JSON::parse (text, parsed).failed())
                parsed = juce::var();

            ready.push_back (std::move (parsed));
            offset += 4 + length;
        }

        pending.erase (pending.begin(), pending.begin() + (std::ptrdiff_t) offset);
        return true;
    }

    void FrameDecoder::takeMessages (std::vector<juce::var>& out)
    {
        for (auto& message : ready)
            out.push_back (std::move (message));
        ready.clear();
    }
} // namespace calbrix_webview
