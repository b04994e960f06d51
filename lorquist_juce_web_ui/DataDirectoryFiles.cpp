#include "DataDirectoryFiles.h"

#include "Base64Payload.h"
#include "FileReplacement.h"
#include "PipeProtocol.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace lorquist::BrowserIntegration
{
    const juce::String DataDirectoryFiles::success { "success" };
    const juce::String DataDirectoryFiles::failed { "failed" };
    const juce::String DataDirectoryFiles::notADirectory { "not a valid directory" };

    namespace
    {
        // Something that is not a folder is there.
        bool namesFile (const juce::File& file) { return file.exists() && ! file.isDirectory(); }

        // The whole content of a regular file, or nothing. Opened without waiting and checked on
        // what was opened, so a FIFO or a device swapped in at any moment is never waited on.
        std::optional<juce::MemoryBlock> readRegularFile (const juce::File& file)
        {
            const auto descriptor = ::open (file.getFullPathName().toRawUTF8(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            if (descriptor < 0)
                return std::nullopt;

            std::optional<juce::MemoryBlock> content;
            struct stat info {};
            if (::fstat (descriptor, &info) == 0 && S_ISREG (info.st_mode))
            {
                // Sized for the file as it is; a file that grows meanwhile is read to its end.
                juce::MemoryBlock bytes (static_cast<size_t> (info.st_size) + 1);
                size_t got = 0;
                for (;;)
                {
                    if (got == bytes.getSize())
                        bytes.setSize (2 * bytes.getSize());
                    const auto n = ::read (descriptor, static_cast<char*> (bytes.getData()) + got, bytes.getSize() - got);
                    if (n < 0 && errno == EINTR)
                        continue;
                    if (n < 0)
                        break;
                    if (n == 0)
                    {
                        bytes.setSize (got);
                        content = std::move (bytes);
                        break;
                    }
                    got += static_cast<size_t> (n);
                }
            }

            ::close (descriptor);
            return content;
        }

        // The Base64 text after the first "," of a save's data (all of a data URL but its header),
        // in place: a payload of hundreds of megabytes is not copied to be decoded.
        std::pair<const char*, size_t> savedPayload (const juce::String& data)
        {
            const auto* comma = std::strchr (data.toRawUTF8(), ',');
            if (comma == nullptr)
                return { "", 0 };
            return { comma + 1, std::strlen (comma + 1) };
        }
    } // namespace

    DataDirectoryFiles::DataDirectoryFiles (juce::String path)
        : dataDirectoryPath (std::move (path))
    {
    }

    std::optional<juce::File> DataDirectoryFiles::resolve (const juce::String& requestPath) const
    {
        // juce::File's own clean-up of ".." does not match the file system's (a trailing ".." is kept,
        // and one after a doubled "/" eats the empty segment), so the segments are walked here.
        juce::StringArray segments;
        segments.addTokens (requestPath, "/", {});

        juce::StringArray inside;
        for (const auto& segment : segments)
        {
            if (segment.isEmpty() || segment == ".")
                continue;

            if (segment == "..")
            {
                if (inside.isEmpty())
                    return std::nullopt;
                inside.remove (inside.size() - 1);
                continue;
            }

            inside.add (segment);
        }

        const juce::File root (dataDirectoryPath);
        return inside.isEmpty() ? root : juce::File (root.getFullPathName() + "/" + inside.joinIntoString ("/"));
    }

    juce::String DataDirectoryFiles::read (const juce::String& directory, const juce::String& filename) const
    {
        const auto file = resolve (directory + "/" + filename);
        if (! file || ! namesFile (*file))
            return {};

        const auto content = readRegularFile (*file);
        if (! content || (content->getSize() + 2) / 3 * 4 > calbrix_webview::messageTextLimit())
            return {};

        // The framework's encoder sizes its stream up front: one pass.
        return juce::Base64::toBase64 (content->getData(), content->getSize());
    }

    juce::String DataDirectoryFiles::save (const juce::String& directory, const juce::String& filename, const juce::String& data) const
    {
        const auto file = resolve (directory + "/" + filename);
        if (! file)
            return failed;

        const auto [payload, length] = savedPayload (data);
        const auto decoded = decodeBase64 (payload, length);
        if (! decoded)
            return failed;

        if (file->isDirectory() || file->getParentDirectory().createDirectory().failed())
            return failed;

        return replaceFileContent (*file, decoded->getData(), decoded->getSize()) ? success : failed;
    }

    juce::String DataDirectoryFiles::remove (const juce::String& directory, const juce::String& filename) const
    {
        const auto file = resolve (directory + "/" + filename);
        if (! file || ! namesFile (*file))
            return failed;

        return file->deleteFile() ? success : failed;
    }

    juce::String DataDirectoryFiles::list (const juce::String& directory) const
    {
        const auto folder = resolve (directory);
        if (! folder || ! folder->isDirectory())
            return notADirectory;

        juce::StringArray names;
        // Hidden files are left out, but hidden folders are still searched; links that lead back up
        // the tree are not followed round in circles.
        for (const auto& entry : juce::RangedDirectoryIterator (*folder, true, "*", juce::File::findFiles,
                                                                juce::File::FollowSymlinks::noCycles))
            if (! entry.isHidden())
                names.add (entry.getFile().getFileName());

        return names.joinIntoString (",");
    }
} // namespace lorquist::BrowserIntegration
