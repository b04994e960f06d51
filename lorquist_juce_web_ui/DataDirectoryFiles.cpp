#include "DataDirectoryFiles.h"

namespace lorquist::BrowserIntegration
{
    const juce::String DataDirectoryFiles::success { "success" };
    const juce::String DataDirectoryFiles::failed { "failed" };
    const juce::String DataDirectoryFiles::notADirectory { "not a valid directory" };

    namespace
    {
        constexpr size_t writeBufferSize = 32768;

        // Something that is not a folder is there.
        bool namesFile (const juce::File& file) { return file.exists() && ! file.isDirectory(); }
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

        juce::MemoryBlock content;
        file->loadFileAsData (content);
        return juce::Base64::toBase64 (content.getData(), content.getSize());
    }

    juce::String DataDirectoryFiles::save (const juce::String& directory, const juce::String& filename, const juce::String& data) const
    {
        const auto file = resolve (directory + "/" + filename);
        if (! file)
            return failed;

        juce::MemoryOutputStream decoded;
        if (! juce::Base64::convertFromBase64 (decoded, data.fromFirstOccurrenceOf (",", false, false)))
            return failed;

        file->create();

        juce::FileOutputStream stream (*file, writeBufferSize);
        if (stream.failedToOpen())
            return failed;

        // A stream opened on an existing file writes after its old content.
        stream.setPosition (0);
        if (stream.truncate().failed())
            return failed;

        if (decoded.getDataSize() > 0 && ! stream.write (decoded.getData(), decoded.getDataSize()))
            return failed;

        stream.flush();
        return stream.getStatus().wasOk() ? success : failed;
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
