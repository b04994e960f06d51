#include "DataDirectoryFiles.h"

#include "FileReplacement.h"

#include <cstring>

namespace lorquist::BrowserIntegration
{
    const juce::String DataDirectoryFiles::success { "success" };
    const juce::String DataDirectoryFiles::failed { "failed" };
    const juce::String DataDirectoryFiles::notADirectory { "not a valid directory" };

    namespace
    {
        // Something that is not a folder is there.
        bool namesFile (const juce::File& file) { return file.exists() && ! file.isDirectory(); }

        // The Base64 text after the first "," of a save's data (all of a data URL but its header), or
        // nothing when it is longer than any content within the size limit can be. Measured in place:
        // an oversized request costs no copy and no decoding.
        std::optional<juce::String> savedPayload (const juce::String& data)
        {
            constexpr auto longestPayload = static_cast<size_t> ((DataDirectoryFiles::maximumFileSize + 2) / 3 * 4);

            const auto* comma = std::strchr (data.toRawUTF8(), ',');
            if (comma == nullptr)
                return juce::String();

            const auto length = std::strlen (comma + 1);
            if (length > longestPayload)
                return std::nullopt;
            return juce::String::fromUTF8 (comma + 1, static_cast<int> (length));
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

        // Never more than one byte beyond the limit is read, however large the file is or grows.
        juce::MemoryBlock content;
        juce::FileInputStream stream (*file);
        if (stream.failedToOpen()
            || stream.readIntoMemoryBlock (content, static_cast<ssize_t> (maximumFileSize + 1)) > static_cast<size_t> (maximumFileSize))
            return {};

        return juce::Base64::toBase64 (content.getData(), content.getSize());
    }

    juce::String DataDirectoryFiles::save (const juce::String& directory, const juce::String& filename, const juce::String& data) const
    {
        const auto file = resolve (directory + "/" + filename);
        if (! file)
            return failed;

        const auto payload = savedPayload (data);
        if (! payload)
            return failed;

        juce::MemoryOutputStream decoded;
        if (! juce::Base64::convertFromBase64 (decoded, *payload) || decoded.getDataSize() > static_cast<size_t> (maximumFileSize))
            return failed;

        if (file->isDirectory() || file->getParentDirectory().createDirectory().failed())
            return failed;

        return replaceFileContent (*file, decoded.getData(), decoded.getDataSize()) ? success : failed;
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
