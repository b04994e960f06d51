// The plug-in client's file requests on a data directory of the test's own: reading, saving,
// deleting and listing, files of any size, the replies under the request's "uid" (one each, in
// request order, from the client's worker), what is not a regular file, and requests that try to
// leave the data directory.
#include "BridgeTestSupport.h"

#include "DataDirectoryFiles.h"
#include "TestWaits.h"

#include <csignal>
#include <sys/fsuid.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace calbrix_bridge_test;
using lorquist::BrowserIntegration::DataDirectoryFiles;
namespace waits = calbrix_test::waits;

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

        // Sends one request without waiting; returns its "uid".
        juce::String send (const juce::String& eventName, const juce::var& data)
        {
            const auto uid = "r" + juce::String (++requests);
            data.getDynamicObject()->setProperty ("uid", uid);
            plugin.fromPage (eventName, data);
            return uid;
        }

        // The one reply to a request sent, once it has come.
        juce::String replyTo (const juce::String& uid, const juce::String& eventName, int waitMs)
        {
            EXPECT_TRUE (calbrix_test::pumpMessagesUntil ([&] { return ! plugin.replies (uid).empty(); }, waitMs))
                << eventName << " was not answered";

            const auto replies = plugin.replies (uid);
            EXPECT_EQ (replies.size(), 1u) << eventName;
            if (replies.empty())
                return "<no reply>";
            EXPECT_TRUE (replies[0].data.isString());
            return replies[0].data.toString();
        }

        // Sends one request and returns its one reply's text.
        juce::String request (const juce::String& eventName, const juce::var& data, int waitMs = waits::fileRequestMs)
        {
            return replyTo (send (eventName, data), eventName, waitMs);
        }

        juce::String read (const juce::String& directory, const juce::String& filename, int waitMs = waits::fileRequestMs)
        {
            return request ("readFileHandler", fields ({ { "directory", directory }, { "filename", filename } }), waitMs);
        }

        juce::String save (const juce::String& directory, const juce::String& filename, const juce::String& data,
                           int waitMs = waits::fileRequestMs)
        {
            return request ("saveFileHandler", fields ({ { "directory", directory }, { "filename", filename }, { "data", data } }), waitMs);
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

TEST_F (FileHandlers, FilesOfAHundredMebibytesAreSavedAndReadWhole)
{
    // An odd size, so that the Base64 ends in padding; over an older, longer file.
    constexpr size_t size = (100u << 20) + 1;
    const auto file = dataDirectory.getChildFile ("models/fetched.pt");
    const auto older = randomBytes (size + 4096, 3);
    ASSERT_TRUE (file.replaceWithData (older.getData(), older.getSize()));

    auto content = randomBytes (size, 4);
    auto encoded = base64Of (content);
    EXPECT_EQ (save ("models", "fetched.pt", "data:application/octet-stream;base64," + encoded, waits::largeFileRequestMs), "success");

    juce::MemoryBlock onDisk;
    ASSERT_TRUE (file.loadFileAsData (onDisk));
    EXPECT_EQ (onDisk.getSize(), size);
    EXPECT_TRUE (onDisk == content);
    onDisk.reset();
    content.reset();

    // Compared without printing: a failure would otherwise show 133 MiB of text.
    const auto reply = read ("models", "fetched.pt", waits::largeFileRequestMs);
    EXPECT_EQ (reply.length(), encoded.length());
    EXPECT_TRUE (reply == encoded);
    EXPECT_EQ (entriesOf (dataDirectory.getChildFile ("models")), "fetched.pt");
}

TEST_F (FileHandlers, OnlyRegularFilesAreReadAndNothingWaitsForAWriter)
{
    // A FIFO that no one writes to: opening it to read in the usual way would wait for good.
    const auto fifo = dataDirectory.getChildFile ("presets/pipe");
    ASSERT_EQ (::mkfifo (fifo.getFullPathName().toRawUTF8(), 0644), 0);
    write ("presets/after.json", "after");

    struct Case { const char* directory; const char* filename; };
    const Case unreadable[] = { { "presets", "pipe" }, { "", "presets" } };
    for (const auto& c : unreadable)
    {
        SCOPED_TRACE (juce::String (c.directory) + " | " + c.filename);
        EXPECT_EQ (read (c.directory, c.filename), "");
    }

    // The worker is free for what follows, and the FIFO is still a FIFO that listings show.
    EXPECT_EQ (read ("presets", "after.json"), base64Of ("after"));
    EXPECT_EQ (sortedListing ("presets"), (juce::StringArray { "after.json", "pipe" }));
    struct stat status {};
    ASSERT_EQ (::lstat (fifo.getFullPathName().toRawUTF8(), &status), 0);
    EXPECT_TRUE (S_ISFIFO (status.st_mode));
}

TEST_F (FileHandlers, RepliesComeOncePerRequestInRequestOrderAndEachSeesTheOnesBefore)
{
    // A save large enough to still be going while the rest wait behind it.
    const auto content = "," + base64Of (randomBytes (20u << 20, 5));
    write ("presets/old.json", "old");

    struct Step { const char* event; juce::var data; juce::String reply; };
    const std::vector<Step> steps = {
        { "saveFileHandler", fields ({ { "directory", "models" }, { "filename", "big.pt" }, { "data", content } }), "success" },
        { "readFileHandler", fields ({ { "directory", "models" }, { "filename", "big.pt" } }), content.substring (1) },
        { "fileListHandler", fields ({ { "directory", "models" } }), "big.pt" },
        { "deleteFileHandler", fields ({ { "directory", "models" }, { "filename", "big.pt" } }), "success" },
        { "readFileHandler", fields ({ { "directory", "models" }, { "filename", "big.pt" } }), "" },
        { "saveFileHandler", fields ({ { "directory", "presets" }, { "filename", "old.json" }, { "data", "," + base64Of ("new") } }), "success" },
        { "readFileHandler", fields ({ { "directory", "presets" }, { "filename", "old.json" } }), base64Of ("new") },
        { "deleteFileHandler", fields ({ { "directory", "models" }, { "filename", "big.pt" } }), "failed" },
        { "fileListHandler", fields ({ { "directory", "models" } }), "" },
    };

    std::vector<juce::String> uids;
    for (const auto& step : steps)
        uids.push_back (send (step.event, step.data));

    for (size_t i = 0; i < steps.size(); ++i)
    {
        SCOPED_TRACE (juce::String ((int) i) + " " + steps[i].event);
        EXPECT_TRUE (replyTo (uids[i], steps[i].event, waits::largeFileRequestMs) == steps[i].reply);
    }

    // Every reply once, in the order the requests came.
    std::vector<juce::String> order;
    for (const auto& event : plugin.router.sent)
        order.push_back (event.eventType.fromFirstOccurrenceOf ("Plugin::", false, false));
    EXPECT_EQ (order, uids);
}

TEST_F (FileHandlers, AClientThatGoesAnswersWhatItAcceptedFirstAndNothingAfter)
{
    const auto content = "," + base64Of (randomBytes (20u << 20, 6));
    RecordingRouter router (browser);
    auto client = std::make_unique<BrowserIntegrationPluginClient> (router, processor.parameters, dataDirectory.getFullPathName(), "Plugin");
    client->setupBrowserPluginIntegration();

    auto request = [&] (const char* event, const juce::String& uid, juce::var data)
    {
        data.getDynamicObject()->setProperty ("uid", uid);
        router.dispatch (pageMessage (juce::String ("Plugin::") + event, data));
    };
    request ("saveFileHandler", "save", fields ({ { "directory", "models" }, { "filename", "late.pt" }, { "data", content } }));
    request ("readFileHandler", "read", fields ({ { "directory", "models" }, { "filename", "late.pt" } }));
    request ("fileListHandler", "list", fields ({ { "directory", "models" } }));
    client.reset();

    ASSERT_EQ (router.sent.size(), 3u);
    EXPECT_EQ (router.sent[0].eventType, "Plugin::save");
    EXPECT_EQ (router.sent[0].data, juce::var ("success"));
    EXPECT_EQ (router.sent[1].eventType, "Plugin::read");
    EXPECT_TRUE (router.sent[1].data.toString() == content.substring (1));
    EXPECT_EQ (router.sent[2].eventType, "Plugin::list");
    EXPECT_EQ (router.sent[2].data, juce::var ("late.pt"));

    // Nothing is left to arrive later (this would fail only as a crash or a fourth reply).
    calbrix_test::pumpMessagesFor (200);
    EXPECT_EQ (router.sent.size(), 3u);
}

TEST_F (FileHandlers, AFolderThatRefusesNewFilesHasWritableFilesRewrittenInPlace)
{
    const auto locked = dataDirectory.getChildFile ("presets/locked");
    ASSERT_TRUE (locked.createDirectory());
    const auto writable = locked.getChildFile ("mine.json");
    const auto readOnly = locked.getChildFile ("theirs.json");
    ASSERT_TRUE (writable.replaceWithText ("a longer old content"));
    ASSERT_TRUE (readOnly.replaceWithText ("kept"));
    const auto fifo = locked.getChildFile ("pipe");
    ASSERT_EQ (::mkfifo (fifo.getFullPathName().toRawUTF8(), 0666), 0);
    ASSERT_EQ (::chmod (writable.getFullPathName().toRawUTF8(), 0666), 0);
    ASSERT_EQ (::chmod (readOnly.getFullPathName().toRawUTF8(), 0444), 0);
    ASSERT_EQ (::chmod (locked.getFullPathName().toRawUTF8(), 0555), 0);

    // The folder's rules bind an administrator only through a file-system identity of an
    // ordinary user, which is this thread's alone; the saves below run on this thread.
    struct OrdinaryUser
    {
        OrdinaryUser() : previous (::geteuid() == 0 ? ::setfsuid (65534) : -1) {}
        ~OrdinaryUser() { if (previous >= 0) ::setfsuid (static_cast<uid_t> (previous)); }
        int previous;
    };

    struct Case { const char* what; const char* filename; juce::String data; const char* reply; const char* content; };
    const Case cases[] = {
        { "a writable file", "mine.json", "data:;base64," + base64Of ("new"), "success", "new" },
        { "a payload that is not Base64", "mine.json", ",bmV3*", "failed", "new" },
        { "a file that may not be written", "theirs.json", "," + base64Of ("changed"), "failed", "kept" },
        { "a file that is not there", "new.json", "," + base64Of ("x"), "failed", nullptr },
        { "a FIFO without a reader", "pipe", "," + base64Of ("x"), "failed", nullptr },
    };

    const DataDirectoryFiles files (dataDirectory.getFullPathName());
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        juce::String reply;
        {
            const OrdinaryUser user;
            reply = files.save ("presets/locked", c.filename, c.data);
        }
        EXPECT_EQ (reply, c.reply);
        if (c.content != nullptr)
        {
            EXPECT_EQ (locked.getChildFile (c.filename).loadFileAsString(), c.content);
        }
    }

    EXPECT_EQ (entriesOf (locked), "mine.json,pipe,theirs.json");
    ::chmod (locked.getFullPathName().toRawUTF8(), 0755);
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
