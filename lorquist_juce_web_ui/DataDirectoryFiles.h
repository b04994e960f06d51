#pragma once

#include <juce_core/juce_core.h>

#include <optional>

namespace lorquist::BrowserIntegration
{
    // The page's file requests on the data directory. A request names its file as "directory" and
    // "filename" below the data directory; each operation returns the page's reply text. Files of
    // any size: the operations may take a while, and are meant for a thread other than the
    // message thread. Any thread; an object holds nothing but the data directory's path.
    // A request whose path would lead outside the data directory ("..", however spelled) is refused
    // with the operation's failure reply and touches nothing. Links inside the data directory are
    // followed: a user may keep the models folder on another disk.
    class DataDirectoryFiles
    {
    public:
        explicit DataDirectoryFiles (juce::String dataDirectoryPath);

        // The file's content as Base64, or "" when the path names no regular file (a folder, a FIFO,
        // a device: nothing that could keep a reader waiting is opened for more than a look), one
        // that cannot be read, or one whose Base64 no message could carry (see messageTextLimit).
        juce::String read (const juce::String& directory, const juce::String& filename) const;

        // Replaces the file's content with the Base64 text after the first "," of `data` (a data
        // URL's payload; no "," means empty content), making missing folders. "success" or "failed";
        // content that is invalid Base64 fails before anything is touched, and a failed write
        // leaves the old file as it was (see replaceFileContent).
        juce::String save (const juce::String& directory, const juce::String& filename, const juce::String& data) const;

        // "success" when the path named a file and it is gone; "failed" otherwise (folders are never deleted).
        juce::String remove (const juce::String& directory, const juce::String& filename) const;

        // The names of every non-hidden file below the folder, at any depth, joined by ",";
        // "not a valid directory" when the path names no folder.
        juce::String list (const juce::String& directory) const;

        static const juce::String success, failed, notADirectory;

    private:
        // The file a request path names below the data directory, or nothing when it would lie
        // outside. Resolved by text the way the file system does, so what is checked is what is opened.
        std::optional<juce::File> resolve (const juce::String& requestPath) const;

        juce::String dataDirectoryPath;
    };
} // namespace lorquist::BrowserIntegration
