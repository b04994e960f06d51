#include "PipeProtocol.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <unistd.h>

namespace calbrix_webview
{
    namespace
    {
        // Where JSON text goes: counted first, then written into room of exactly that size. A
        // juce::MemoryOutputStream grows by at most 1 MiB at a time, which makes large messages
        // quadratic to write, and every copy of a large text costs dearly in page faults.
        struct Output
        {
            char* data = nullptr; // null: only counts
            size_t size = 0;

            void append (const char* bytes, size_t numBytes)
            {
                if (data != nullptr)
                    std::memcpy (data + size, bytes, numBytes);
                size += numBytes;
            }

            Output& operator+= (const char* text) { append (text, std::strlen (text)); return *this; }
            Output& operator+= (const std::string& text) { append (text.data(), text.size()); return *this; }
            Output& operator+= (char c) { append (&c, 1); return *this; }
        };

        void writeString (Output& out, const juce::String& text)
        {
            out += '"';

            const auto* bytes = text.toRawUTF8();
            const auto* runStart = bytes;

            // Bytes that need no escape (all of a Base64 text) are copied a run at a time.
            for (const auto* p = bytes;; ++p)
            {
                const auto c = static_cast<unsigned char> (*p);
                if (c >= 32 && c != '"' && c != '\\')
                    continue;

                out.append (runStart, static_cast<size_t> (p - runStart));
                runStart = p + 1;

                if (c == 0)
                    break;

                switch (c)
                {
                    case '"':  out += "\\\""; break;
                    case '\\': out += "\\\\"; break;
                    case '\n':  out += "\\n";  break;
                    case '\r':  out += "\\r";  break;
                    case '\t':  out += "\\t";  break;
                    default:
                        out += "\\u";
                        out += juce::String::toHexString ((int) c).paddedLeft ('0', 4).toRawUTF8();
                        break;
                }
            }

            out += '"';
        }

        void writeValue (Output& out, const juce::var& value)
        {
            if (value.isVoid() || value.isUndefined())
            {
                out += "null";
            }
            else if (value.isBool())
            {
                out += static_cast<bool> (value) ? "true" : "false";
            }
            else if (value.isInt() || value.isInt64())
            {
                out += std::to_string (static_cast<juce::int64> (value));
            }
            else if (value.isDouble())
            {
                out += juce::JSON::toString (value).toRawUTF8();
            }
            else if (value.isString())
            {
                writeString (out, value.toString());
            }
            else if (auto* array = value.getArray())
            {
                out += '[';
                for (int i = 0; i < array->size(); ++i)
                {
                    if (i > 0)
                        out += ',';
                    writeValue (out, array->getReference (i));
                }
                out += ']';
            }
            else if (auto* object = value.getDynamicObject())
            {
                out += '{';
                bool first = true;
                for (auto& property : object->getProperties())
                {
                    if (! first)
                        out += ',';
                    first = false;
                    writeString (out, property.name.toString());
                    out += ':';
                    writeValue (out, property.value);
                }
                out += '}';
            }
            else
            {
                // Methods, binary blocks and foreign objects have no place in the protocol.
                out += "null";
            }
        }

        // Reads the protocol's JSON text in one pass. Strings are taken a run of plain bytes at a
        // time: the framework's parser appends them a character at a time to a stream that grows
        // 1 MiB at a time, which made a large frame take seconds.
        class Reader
        {
        public:
            Reader (const char* text, size_t length) : p (text), end (text + length) {}

            // The void var when the text is not one JSON object or array (as juce::JSON::parse).
            juce::var readWhole()
            {
                juce::var value;
                skipSpace();
                if (p == end || (*p != '{' && *p != '[') || ! readValue (value, 0))
                    return {};
                skipSpace();
                return p == end ? value : juce::var();
            }

        private:
            // Far deeper than anything either end writes; keeps a broken peer from exhausting the stack.
            static constexpr int maxDepth = 512;

            void skipSpace()
            {
                while (p < end && (*p == ' ' || *p == '\n' || *p == '\r' || *p == '\t'))
                    ++p;
            }

            bool take (char c)
            {
                skipSpace();
                if (p < end && *p == c)
                {
                    ++p;
                    return true;
                }
                return false;
            }

            bool takeWord (const char* word)
            {
                const auto length = std::strlen (word);
                if (static_cast<size_t> (end - p) < length || std::memcmp (p, word, length) != 0)
                    return false;
                p += length;
                return true;
            }

            bool readValue (juce::var& value, int depth)
            {
                skipSpace();
                if (p == end || depth > maxDepth)
                    return false;

                switch (*p)
                {
                    case '{': return readObject (value, depth);
                    case '[': return readArray (value, depth);
                    case '"':
                    {
                        juce::String text;
                        if (! readString (text))
                            return false;
                        value = text;
                        return true;
                    }
                    case 't': value = true;  return takeWord ("true");
                    case 'f': value = false; return takeWord ("false");
                    case 'n': value = juce::var(); return takeWord ("null");
                    default:  return readNumber (value);
                }
            }

            bool readObject (juce::var& value, int depth)
            {
                ++p;
                juce::DynamicObject::Ptr object (new juce::DynamicObject());
                if (! take ('}'))
                {
                    do
                    {
                        skipSpace();
                        juce::String name;
                        juce::var member;
                        if (p == end || *p != '"' || ! readString (name) || ! take (':') || ! readValue (member, depth + 1))
                            return false;
                        // juce::Identifier cannot be empty; neither end writes such a key.
                        if (name.isNotEmpty())
                            object->setProperty (juce::Identifier (name), std::move (member));
                    } while (take (','));

                    if (! take ('}'))
                        return false;
                }
                value = juce::var (object.get());
                return true;
            }

            bool readArray (juce::var& value, int depth)
            {
                ++p;
                juce::Array<juce::var> elements;
                if (! take (']'))
                {
                    do
                    {
                        juce::var element;
                        if (! readValue (element, depth + 1))
                            return false;
                        elements.add (std::move (element));
                    } while (take (','));

                    if (! take (']'))
                        return false;
                }
                value = std::move (elements);
                return true;
            }

            bool readHex4 (std::uint32_t& code)
            {
                if (end - p < 4)
                    return false;
                code = 0;
                for (int i = 0; i < 4; ++i)
                {
                    const auto digit = juce::CharacterFunctions::getHexDigitValue (static_cast<juce::juce_wchar> (*p++));
                    if (digit < 0)
                        return false;
                    code = (code << 4) | static_cast<std::uint32_t> (digit);
                }
                return true;
            }

            static void appendUtf8 (std::string& out, std::uint32_t c)
            {
                char bytes[4];
                const auto n = juce::CharPointer_UTF8 (bytes).getBytesRequiredFor (static_cast<juce::juce_wchar> (c));
                juce::CharPointer_UTF8 (bytes).write (static_cast<juce::juce_wchar> (c));
                out.append (bytes, n);
            }

            bool readString (juce::String& text)
            {
                ++p;

                // A text without escapes (a file's Base64) is taken straight from the frame.
                const auto* plainEnd = p;
                while (plainEnd < end && *plainEnd != '"' && *plainEnd != '\\')
                    ++plainEnd;
                if (plainEnd < end && *plainEnd == '"')
                {
                    text = juce::String::fromUTF8 (p, static_cast<int> (plainEnd - p));
                    p = plainEnd + 1;
                    return true;
                }

                std::string bytes;
                for (;;)
                {
                    const auto* runStart = p;
                    while (p < end && *p != '"' && *p != '\\')
                        ++p;
                    bytes.append (runStart, static_cast<size_t> (p - runStart));

                    if (p == end)
                        return false;
                    if (*p++ == '"')
                        break;
                    if (p == end)
                        return false;

                    switch (*p++)
                    {
                        case '"':  bytes += '"';  break;
                        case '\\': bytes += '\\'; break;
                        case '/':  bytes += '/';  break;
                        case 'b':  bytes += '\b'; break;
                        case 'f':  bytes += '\f'; break;
                        case 'n':  bytes += '\n'; break;
                        case 'r':  bytes += '\r'; break;
                        case 't':  bytes += '\t'; break;
                        case 'u':
                        {
                            std::uint32_t code = 0;
                            if (! readHex4 (code))
                                return false;
                            // A surrogate pair makes one character beyond the BMP.
                            if (code >= 0xd800 && code < 0xdc00 && end - p >= 6 && p[0] == '\\' && p[1] == 'u')
                            {
                                const auto* before = p;
                                p += 2;
                                std::uint32_t low = 0;
                                if (readHex4 (low) && low >= 0xdc00 && low < 0xe000)
                                    code = 0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00);
                                else
                                    p = before;
                            }
                            // NUL has no place in a juce::String; a lone surrogate none in UTF-8.
                            if (code == 0 || (code >= 0xd800 && code < 0xe000))
                                code = 0xfffd;
                            appendUtf8 (bytes, code);
                            break;
                        }
                        default: return false;
                    }
                }

                text = juce::String::fromUTF8 (bytes.data(), static_cast<int> (bytes.size()));
                return true;
            }

            bool readNumber (juce::var& value)
            {
                const auto* start = p;
                bool integral = true;
                while (p < end && (std::isdigit (static_cast<unsigned char> (*p)) || *p == '-' || *p == '+' || *p == '.' || *p == 'e' || *p == 'E'))
                {
                    integral = integral && (std::isdigit (static_cast<unsigned char> (*p)) || (*p == '-' && p == start));
                    ++p;
                }
                const std::string number (start, p);
                if (number.find_first_of ("0123456789") == std::string::npos)
                    return false;

                if (integral)
                {
                    errno = 0;
                    char* stop = nullptr;
                    const auto whole = std::strtoll (number.c_str(), &stop, 10);
                    if (errno == 0 && stop != nullptr && *stop == 0)
                    {
                        if (whole >= std::numeric_limits<int>::min() && whole <= std::numeric_limits<int>::max())
                            value = static_cast<int> (whole);
                        else
                            value = static_cast<juce::int64> (whole);
                        return true;
                    }
                }

                // The framework's conversion, which no locale of the process changes.
                value = juce::String (number).getDoubleValue();
                return true;
            }

            const char* p;
            const char* const end;
        };

        std::size_t physicalMemory()
        {
            const auto pages = ::sysconf (_SC_PHYS_PAGES);
            const auto pageSize = ::sysconf (_SC_PAGESIZE);
            return pages > 0 && pageSize > 0 ? static_cast<std::size_t> (pages) * static_cast<std::size_t> (pageSize) : 0;
        }
    } // namespace

    std::size_t messageTextLimit()
    {
        constexpr std::size_t least = std::size_t { 64 } << 20, most = std::size_t { 1 } << 30;
        return std::clamp (physicalMemory() / 16, least, most);
    }

    std::uint32_t frameByteLimit()
    {
        const auto room = 2 * messageTextLimit() + (std::size_t { 1 } << 20);
        return static_cast<std::uint32_t> (std::min (room, static_cast<std::size_t> (std::numeric_limits<int>::max())));
    }

    juce::String toProtocolJson (const juce::var& value)
    {
        Output counted;
        writeValue (counted, value);
        juce::MemoryBlock text (counted.size);
        Output out { static_cast<char*> (text.getData()) };
        writeValue (out, value);
        return juce::String::fromUTF8 (out.data, static_cast<int> (out.size));
    }

    juce::MemoryBlock encodeFrame (const juce::var& message)
    {
        Output counted;
        writeValue (counted, message);
        const auto numBytes = static_cast<std::uint32_t> (counted.size);

        juce::MemoryBlock frame (4 + counted.size);
        auto* bytes = static_cast<char*> (frame.getData());
        for (int i = 0; i < 4; ++i)
            bytes[i] = static_cast<char> ((numBytes >> (8 * i)) & 0xff);

        Output out { bytes + 4 };
        writeValue (out, message);
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
            {
                // Room for the whole frame at once rather than by doublings.
                pending.reserve (offset + 4 + length);
                break;
            }

            ready.push_back (Reader (pending.data() + offset + 4, length).readWhole());
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
