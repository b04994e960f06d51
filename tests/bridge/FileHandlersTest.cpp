// The plug-in client's file requests on a data directory of the test's own: reading, saving,
// deleting and listing, the replies under the request's "uid", and requests that try to leave the
// data directory.
#include "BridgeTestSupport.h"

#include "DataDirectoryFiles.h"

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace calbrix_bridge_test;
using lorquist::BrowserIntegration::DataDirectoryFiles;

namespace
{
    juce::String base64Of (const juce::String& text) { return juce::Base64::toBase64 (text); }
    juce::String base64Of (const juce::MemoryBlock& bytes) { return juce::Base64::toBase64 (bytes.getData(), bytes.getSize()); }

    juce::MemoryBlock randomBytes (size_t size, juce::int64 seed)
    {
        juce::MemoryBlock bytes (size);
        juce::Random random (seed);
        random.fillBitsRandomly (bytes.getData(), bytes.getSize());
        return bytes;
    }

    // Every entry of a folder, hidden ones too, sorted and joined by ",".
    juce::String entriesOf (const juce::File& folder)
    {
        juce::StringArray names;
        for (const auto& entry : folder.findChildFiles (juce::File::findFilesAndDirectories, false))
            names.add (entry.getFileName());
        names.sort (false);
        return names.joinIntoString (",");
    }

    // Writes that stop part-way, as on a full disk: a file-size limit for this process, with the
    // signal that would otherwise end it ignored, so the write reports the error instead.
    struct FileSizeLimit
    {
        explicit FileSizeLimit (rlim_t bytes)
        {
            getrlimit (RLIMIT_FSIZE, &saved);
            previousHandler = std::signal (SIGXFSZ, SIG_IGN);
            const rlimit limit { bytes, saved.rlim_max };
            EXPECT_EQ (setrlimit (RLIMIT_FSIZE, &limit), 0);
        }

        ~FileSizeLimit()
        {
            setrlimit (RLIMIT_FSIZE, &saved);
            std::signal (SIGXFSZ, previousHandler);
        }

        rlimit saved {};
        void (*previousHandler) (int) = nullptr;
    };

    struct FileHandlers : ::testing::Test
    {
        FileHandlers()
        {
            dataDirectory.getChildFile ("models").createDirectory();
            dataDirectory.getChildFile ("presets").createDirectory();
        }

        ~FileHandlers() override { sandbox.deleteRecursively(); }

        // Sends one request and returns its one reply's text.
        juce::String request (const juce::String& eventName, const juce::var& data)
        {
            const auto uid = "r" + juce::String (++requests);
            data.getDynamicObject()->setProperty ("uid", uid);
            plugin.fromPage (eventName, data);

            const auto replies = plugin.replies (uid);
            EXPECT_EQ (replies.size(), 1u) << eventName;
            if (replies.empty())
                return "<no reply>";
            EXPECT_TRUE (replies[0].data.isString());
            return replies[0].data.toString();
        }

        juce::String read (const juce::String& directory, const juce::String& filename)
        {
            return request ("readFileHandler", fields ({ { "directory", directory }, { "filename", filename } }));
        }

        juce::String save (const juce::String& directory, const juce::String& filename, const juce::String& data)
        {
            return request ("saveFileHandler", fields ({ { "directory", directory }, { "filename", filename }, { "data", data } }));
        }

        juce::String remove (const juce::String& directory, const juce::String& filename)
        {
            return request ("deleteFileHandler", fields ({ { "directory", directory }, { "filename", filename } }));
        }

        juce::String list (const juce::String& directory)
        {
            return request ("fileListHandler", fields ({ { "directory", directory } }));
        }

        static juce::var fields (std::initializer_list<std::pair<const char*, juce::String>> entries)
        {
            juce::DynamicObject::Ptr object (new juce::DynamicObject());
            for (auto& [key, value] : entries)
                object->setProperty (key, value);
            return juce::var (object.get());
        }

        juce::File write (const juce::String& relativePath, const juce::String& content) const
        {
            auto file = dataDirectory.getChildFile (relativePath);
            file.getParentDirectory().createDirectory();
            file.replaceWithText (content, false, false, "\n");
            return file;
        }

        juce::StringArray sortedListing (const juce::String& directory)
        {
            juce::StringArray names;
            names.addTokens (list (directory), ",", {});
            names.sort (false);
            return names;
        }

        juce::File sandbox = juce::File::getSpecialLocation (juce::File::tempDirectory)
                                 .getNonexistentChildFile ("calbrix-file-handlers-" + juce::String (::getpid()), "", false);
        juce::File dataDirectory = sandbox.getChildFile ("Ardel").getChildFile ("Calbrix");
        CalbrixAudioProcessor processor;
        BrowserComponent browser { "127.0.0.1", "", {} };
        RecordedClient plugin { browser, processor.parameters, dataDirectory.getFullPathName() };
        int requests = 0;
    };
} // namespace

TEST_F (FileHandlers, ReadsAFileAsBase64AndAnythingElseAsEmptyText)
{
    write ("presets/a.json", "{\"gain\": 1}");
    write ("presets/empty.json", "");

    EXPECT_EQ (read ("presets", "a.json"), base64Of ("{\"gain\": 1}"));
    EXPECT_EQ (read ("presets", "empty.json"), "");
    EXPECT_EQ (read ("presets", "missing.json"), "");
    EXPECT_EQ (read ("", "presets"), "");   // a folder
    EXPECT_EQ (read ("presets", ""), "");   // the folder itself
    EXPECT_EQ (request ("readFileHandler", fields ({})), ""); // no keys at all: the data directory
    EXPECT_EQ (read ("presets/", "//a.json"), base64Of ("{\"gain\": 1}")); // doubled separators do not matter
}

TEST_F (FileHandlers, SavesTheBase64AfterTheFirstCommaReplacingTheOldContent)
{
    const auto file = write ("presets/a.json", "a much longer old content that must go");

    EXPECT_EQ (save ("presets", "a.json", "data:application/json;base64," + base64Of ("new")), "success");
    EXPECT_EQ (file.loadFileAsString(), "new");

    // Only the first comma counts: what follows it is the payload.
    EXPECT_EQ (save ("presets", "b.bin", "x," + base64Of ("one,two")), "success");
    EXPECT_EQ (dataDirectory.getChildFile ("presets/b.bin").loadFileAsString(), "one,two");

    // No comma: an empty file.
    EXPECT_EQ (save ("presets", "a.json", "no comma here"), "success");
    EXPECT_TRUE (file.existsAsFile());
    EXPECT_EQ (file.getSize(), 0);

    // Folders that do not exist yet are made.
    EXPECT_EQ (save ("presets/user/deep", "c.json", "," + base64Of ("deep")), "success");
    EXPECT_EQ (dataDirectory.getChildFile ("presets/user/deep/c.json").loadFileAsString(), "deep");

    // Binary content survives the round trip through read.
    juce::MemoryBlock bytes;
    for (int i = 0; i < 256; ++i)
        bytes.append (&i, 1);
    const auto encoded = juce::Base64::toBase64 (bytes.getData(), bytes.getSize());
    EXPECT_EQ (save ("models", "raw.pt", "data:;base64," + encoded), "success");
    EXPECT_EQ (read ("models", "raw.pt"), encoded);
}

TEST_F (FileHandlers, AFailedSaveLeavesTheFileAsItWas)
{
    const auto file = write ("presets/keep.json", "precious");

    struct Case { const char* what; juce::String payload; };
    const Case cases[] = {
        { "line break inside", "," + base64Of ("abcdef").substring (0, 4) + "\n" + base64Of ("abcdef").substring (4) },
        { "length not a multiple of four", "," + base64Of ("abcdef") + "QQ" },
        { "character outside the alphabet", ",QUJD*EVG" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        EXPECT_EQ (save ("presets", "keep.json", c.payload), "failed");
        EXPECT_EQ (file.loadFileAsString(), "precious");

        EXPECT_EQ (save ("presets", "new.json", c.payload), "failed");
        EXPECT_FALSE (dataDirectory.getChildFile ("presets/new.json").exists());
    }

    // A path that cannot be opened for writing: a folder.
    EXPECT_EQ (save ("", "presets", "," + base64Of ("x")), "failed");
    EXPECT_TRUE (dataDirectory.getChildFile ("presets").isDirectory());
}

TEST_F (FileHandlers, ASaveThatFailsPartWayKeepsTheOldFileByteForByteAndLeavesNoTemporary)
{
    const auto presets = dataDirectory.getChildFile ("presets");
    const auto oldContent = randomBytes (9000, 1);
    const auto file = presets.getChildFile ("keep.bin");
    ASSERT_TRUE (file.replaceWithData (oldContent.getData(), oldContent.getSize()));
    const auto newContent = "data:application/octet-stream;base64," + base64Of (randomBytes (100 * 1024, 2));

    {
        const FileSizeLimit fullAt64KiB (64 * 1024);
        EXPECT_EQ (save ("presets", "keep.bin", newContent), "failed");
        EXPECT_EQ (save ("presets", "fresh.bin", newContent), "failed");
        EXPECT_EQ (save ("presets", "small.bin", "," + base64Of ("fits")), "success"); // only the write itself fails
    }

    juce::MemoryBlock kept;
    ASSERT_TRUE (file.loadFileAsData (kept));
    EXPECT_TRUE (kept == oldContent) << kept.getSize() << " bytes";
    EXPECT_EQ (entriesOf (presets), "keep.bin,small.bin");

    // With room on the disk again the same save goes through.
    EXPECT_EQ (save ("presets", "keep.bin", newContent), "success");
    EXPECT_TRUE (read ("presets", "keep.bin") == newContent.fromFirstOccurrenceOf (",", false, false));
    EXPECT_EQ (entriesOf (presets), "keep.bin,small.bin");
}

TEST_F (FileHandlers, ASaveReplacesTheFileWholeKeepingItsPermissionsAndLinks)
{
    const auto file = write ("presets/private.json", "old");
    ASSERT_EQ (chmod (file.getFullPathName().toRawUTF8(), 0640), 0);
    EXPECT_EQ (save ("presets", "private.json", "," + base64Of ("new")), "success");
    EXPECT_EQ (file.loadFileAsString(), "new");
    struct stat status {};
    ASSERT_EQ (stat (file.getFullPathName().toRawUTF8(), &status), 0);
    EXPECT_EQ (status.st_mode & 07777, 0640u);

    // A link stays a link: the file it leads to gets the content, as it did when files were written in place.
    const auto target = write ("models/elsewhere.json", "old");
    const auto link = dataDirectory.getChildFile ("presets/linked.json");
    ASSERT_TRUE (target.createSymbolicLink (link, false));
    EXPECT_EQ (save ("presets", "linked.json", "," + base64Of ("through the link")), "success");
    EXPECT_TRUE (link.isSymbolicLink());
    EXPECT_EQ (target.loadFileAsString(), "through the link");
    EXPECT_EQ (entriesOf (dataDirectory.getChildFile ("models")), "elsewhere.json");
}

TEST_F (FileHandlers, PayloadsBeyondTheSizeLimitAreRefusedBothWays)
{
    constexpr auto limit = static_cast<size_t> (DataDirectoryFiles::maximumFileSize);
    const auto file = write ("presets/keep.bin", "precious");

    struct Case { size_t size; const char* reply; };
    // Just over the limit passes the check of the text's length and fails on the decoded size;
    // further over, the text is refused before it is decoded.
    const Case cases[] = { { limit, "success" }, { limit + 1, "failed" }, { limit + 3, "failed" } };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (juce::String ((juce::int64) c.size));
        file.replaceWithText ("precious");
        const auto encoded = base64Of (randomBytes (c.size, (juce::int64) c.size));
        EXPECT_EQ (save ("presets", "keep.bin", "," + encoded), juce::String (c.reply));
        EXPECT_EQ (file.getSize(), juce::String (c.reply) == "success" ? (juce::int64) c.size : 8);

        // A file of that size on disk is read up to the limit; beyond it, as a file that cannot be read.
        const auto onDisk = randomBytes (c.size, 7);
        ASSERT_TRUE (file.replaceWithData (onDisk.getData(), c.size));
        const auto reply = read ("presets", "keep.bin");
        EXPECT_TRUE (reply == (juce::String (c.reply) == "success" ? base64Of (onDisk) : juce::String())) << reply.length();
    }
    EXPECT_EQ (entriesOf (dataDirectory.getChildFile ("presets")), "keep.bin");
}

TEST_F (FileHandlers, DeletesFilesButNeverFolders)
{
    const auto file = write ("presets/a.json", "x");
    write ("presets/sub/b.json", "y");

    EXPECT_EQ (remove ("presets", "a.json"), "success");
    EXPECT_FALSE (file.exists());
    EXPECT_EQ (remove ("presets", "a.json"), "failed");
    EXPECT_EQ (remove ("presets", "sub"), "failed");
    EXPECT_TRUE (dataDirectory.getChildFile ("presets/sub/b.json").existsAsFile());
    EXPECT_EQ (remove ("", ""), "failed");
    EXPECT_TRUE (dataDirectory.isDirectory());
}

TEST_F (FileHandlers, ListsTheNamesOfEveryVisibleFileBelowAFolder)
{
    write ("calbrix.log", "log");
    write ("models/a.pt", "m");
    write ("presets/same.json", "1");
    write ("presets/user/same.json", "2");
    write ("presets/with,comma.json", "3");
    write ("presets/.hidden", "4");
    write ("presets/.cache/inside-hidden-folder.json", "5");

    EXPECT_EQ (sortedListing (""), (juce::StringArray { "a.pt", "calbrix.log", "comma.json", "inside-hidden-folder.json",
                                                        "same.json", "same.json", "with" }));
    EXPECT_EQ (sortedListing ("presets"), (juce::StringArray { "comma.json", "inside-hidden-folder.json", "same.json", "same.json", "with" }));
    EXPECT_TRUE (list ("presets").contains ("with,comma.json")); // listed as it is
    EXPECT_EQ (list ("models"), "a.pt");
    EXPECT_EQ (request ("fileListHandler", fields ({})), list (""));

    dataDirectory.getChildFile ("empty").createDirectory();
    EXPECT_EQ (list ("empty"), "");
    EXPECT_EQ (list ("missing"), "not a valid directory");
    EXPECT_EQ (list ("calbrix.log"), "not a valid directory");
}

TEST_F (FileHandlers, RequestsThatLeadOutsideTheDataDirectoryAreRefused)
{
    // A file beside the data directory, one level up, that no request may reach.
    const auto outside = dataDirectory.getSiblingFile ("outside.txt");
    outside.replaceWithText ("secret");
    write ("presets/a.json", "inside");

    struct Case { const char* directory; const char* filename; };
    const Case escapes[] = {
        { "..", "outside.txt" },
        { "", "../outside.txt" },
        { "presets/../..", "outside.txt" },
        { "presets", "../../outside.txt" },
        { "/..", "outside.txt" },
        { "presets//..//..", "outside.txt" },
        { "./..", "outside.txt" },
        { "../Calbrix/../", "outside.txt" },
    };

    for (const auto& c : escapes)
    {
        SCOPED_TRACE (juce::String (c.directory) + " | " + c.filename);
        EXPECT_EQ (read (c.directory, c.filename), "");
        EXPECT_EQ (save (c.directory, c.filename, "," + base64Of ("overwritten")), "failed");
        EXPECT_EQ (outside.loadFileAsString(), "secret");
        EXPECT_EQ (remove (c.directory, c.filename), "failed");
        EXPECT_TRUE (outside.existsAsFile());
    }

    for (auto* directory : { "..", "../..", "presets/../..", "/..", "Calbrix/../../.." })
    {
        SCOPED_TRACE (directory);
        EXPECT_EQ (list (directory), "not a valid directory");
    }

    // A new file may not be made outside either.
    EXPECT_EQ (save ("../elsewhere", "new.json", "," + base64Of ("x")), "failed");
    EXPECT_FALSE (dataDirectory.getSiblingFile ("elsewhere").exists());

    // Paths that wander but stay inside behave as usual; a leading "/" stays below the data directory.
    EXPECT_EQ (read ("models/../presets", "a.json"), base64Of ("inside"));
    EXPECT_EQ (read ("presets/.", "./a.json"), base64Of ("inside"));
    EXPECT_EQ (list ("models/../presets"), "a.json");
    EXPECT_EQ (save ("/tmp", "abs.json", "," + base64Of ("kept inside")), "success");
    EXPECT_EQ (dataDirectory.getChildFile ("tmp/abs.json").loadFileAsString(), "kept inside");
}
