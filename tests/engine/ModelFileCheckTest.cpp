// The protection against model files that crash the runtime's loader: the private snapshot that is
// both checked and loaded, and the checking processes behind it.
#include "SnapshotModuleLoader.h"

#include "LoadTestSupport.h"
#include "ModelCheckServer.h"
#include "ModelFileCheck.h"
#include "ModelSnapshot.h"
#include "SocketMessages.h"
#include "TestWaits.h"

#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

using namespace calbrix_test;

namespace
{
    std::string bytesOf (const juce::File& file)
    {
        juce::MemoryBlock block;
        file.loadFileAsData (block);
        return { static_cast<const char*> (block.getData()), block.getSize() };
    }

    // Writes over the file in place, as a copy or an editor saving into it would: the same inode,
    // truncated and written again.
    void rewriteInPlace (const juce::File& file, const std::string& bytes)
    {
        std::ofstream out (file.getFullPathName().toStdString(), std::ios::binary | std::ios::trunc);
        out.write (bytes.data(), static_cast<std::streamsize> (bytes.size()));
    }

    std::string snapshotBytes (const ModelSnapshot& snapshot)
    {
        std::string bytes (static_cast<size_t> (snapshot.size()), '\0');
        EXPECT_EQ (::pread (snapshot.descriptor(), bytes.data(), bytes.size(), 0), static_cast<ssize_t> (bytes.size()));
        return bytes;
    }

    struct ProcessEntry
    {
        pid_t pid = 0;
        pid_t parent = 0;
        char state = 0;
        std::string name;
    };

    std::vector<ProcessEntry> everyProcess()
    {
        std::vector<ProcessEntry> found;
        DIR* processes = ::opendir ("/proc");
        while (auto* entry = ::readdir (processes))
        {
            const pid_t pid = std::atoi (entry->d_name);
            if (pid <= 0)
                continue;
            std::ifstream stat ("/proc/" + std::string (entry->d_name) + "/stat");
            std::string line;
            std::getline (stat, line);
            const auto open = line.find ('('), close = line.rfind (')');
            if (open == std::string::npos || close == std::string::npos)
                continue;
            ProcessEntry process;
            process.pid = pid;
            process.name = line.substr (open + 1, close - open - 1);
            if (std::sscanf (line.c_str() + close + 2, "%c %d", &process.state, &process.parent) == 2)
                found.push_back (process);
        }
        ::closedir (processes);
        return found;
    }

    // Processes started below this one (children, theirs and so on), zombies included; with a
    // name, only those that carry it.
    std::vector<ProcessEntry> descendants (const std::string& name = {})
    {
        const auto processes = everyProcess();
        std::map<pid_t, pid_t> parents;
        for (const auto& process : processes)
            parents[process.pid] = process.parent;

        std::vector<ProcessEntry> found;
        for (const auto& process : processes)
        {
            if (! name.empty() && process.name != name)
                continue;
            for (pid_t up = process.parent; up > 1 && parents.count (up) != 0; up = parents[up])
            {
                if (up == ::getpid())
                {
                    found.push_back (process);
                    break;
                }
            }
        }
        return found;
    }

    // Checking processes that ended and were not reaped. Other children of the test (the
    // framework's short-lived helpers, such as its display-scale query) are not the checker's to reap.
    std::vector<ProcessEntry> zombies()
    {
        std::vector<ProcessEntry> found;
        for (const char* name : { ModelCheckServer::keeperName, ModelCheckServer::serverName, ModelCheckServer::sessionName,
                                  ModelCheckServer::readerName })
            for (const auto& process : descendants (name))
                if (process.state == 'Z')
                    found.push_back (process);
        return found;
    }

    std::string describe (const std::vector<ProcessEntry>& processes)
    {
        std::string text;
        for (const auto& process : processes)
            text += std::to_string (process.pid) + " " + process.name + " (" + process.state + ", parent "
                    + std::to_string (process.parent) + ")\n";
        return text;
    }

    void killAll (const std::string& name, int signal)
    {
        for (const auto& process : descendants (name))
            if (process.state != 'Z')
                ::kill (process.pid, signal);
    }

    bool noneLeft (const std::string& name)
    {
        return pumpMessagesUntil ([&] { return descendants (name).empty(); }, waits::checkingProcessEndsMs);
    }

    // The paths of the files that a process holds open.
    std::vector<std::string> openFilesOf (pid_t pid)
    {
        std::vector<std::string> paths;
        const auto folder = "/proc/" + std::to_string (pid) + "/fd";
        DIR* descriptors = ::opendir (folder.c_str());
        if (descriptors == nullptr)
            return paths;
        while (auto* entry = ::readdir (descriptors))
        {
            char target[4096] {};
            const auto length = ::readlink ((folder + "/" + entry->d_name).c_str(), target, sizeof (target) - 1);
            if (length > 0)
                paths.emplace_back (target, static_cast<size_t> (length));
        }
        ::closedir (descriptors);
        return paths;
    }

    // Bytes this process has read from files so far (copies included).
    uint64_t bytesReadByThisProcess()
    {
        std::ifstream io ("/proc/self/io");
        std::string name;
        uint64_t value = 0;
        while (io >> name >> value)
            if (name == "rchar:")
                return value;
        return 0;
    }

    // This process's resident memory that is shared memory (a copy held in a memfd among it).
    uint64_t residentSharedMemory()
    {
        std::ifstream status ("/proc/self/status");
        for (std::string line; std::getline (status, line);)
            if (line.rfind ("RssShmem:", 0) == 0)
                return std::stoull (line.substr (9)) * 1024;
        return 0;
    }

    ModelSnapshot snapshotOf (const juce::File& file)
    {
        std::string whyNot;
        auto snapshot = ModelSnapshot::take (file.getFullPathName().toStdString(), whyNot);
        EXPECT_TRUE (snapshot.isValid()) << whyNot;
        return snapshot;
    }

    // An eventfd standing for a load's exit request.
    struct CancelSignal
    {
        CancelSignal() : fd (::eventfd (0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
        ~CancelSignal() { ::close (fd); }
        void raise() { const uint64_t one = 1; [[maybe_unused]] const auto written = ::write (fd, &one, sizeof (one)); }
        int fd;
    };

    // A checking reader's file that never finishes loading, checked on a thread of its own.
    struct EndlessCheck
    {
        EndlessCheck() : snapshot (snapshotOf (fixtureModel ("loops_while_loading.pt"))) {}

        void start (int cancelDescriptor)
        {
            thread = std::thread ([this, cancelDescriptor] { outcome = check.check (snapshot, cancelDescriptor, description); });
        }

        bool waitUntilReading()
        {
            return pumpMessagesUntil ([] { return ! descendants (ModelCheckServer::readerName).empty(); }, waits::modelCallBeginsMs);
        }

        void finish() { if (thread.joinable()) thread.join(); }
        ~EndlessCheck() { finish(); }

        ModelSnapshot snapshot;
        ModelFileCheck check;
        std::thread thread;
        ModelFileCheck::Outcome outcome = ModelFileCheck::Outcome::notChecked;
        std::string description;
    };

    // A good model of about `megabytes` MiB (a pass-through carrying that many zero weights),
    // written into the models folder at test time.
    juce::String installLargeModel (int megabytes)
    {
        const auto target = CalbrixAudioProcessor::modelFileFor ("large.pt");
        target.getParentDirectory().createDirectory();
        juce::ChildProcess maker;
        const juce::StringArray command { juce::SystemStats::getEnvironmentVariable ("CALBRIX_PYTHON", "/usr/bin/python3"),
                                          juce::SystemStats::getEnvironmentVariable ("CALBRIX_MODEL_SCRIPTS", {}) + "/make_large_model.py",
                                          target.getFullPathName(), juce::String (megabytes) };
        EXPECT_TRUE (maker.start (command, 0)) << command.joinIntoString (" ");
        EXPECT_TRUE (maker.waitForProcessToFinish (waits::largeModelWriteMs));
        EXPECT_EQ (maker.getExitCode(), 0u);
        EXPECT_GT (target.getSize(), static_cast<juce::int64> (megabytes - 1) << 20);
        return "large.pt";
    }

    class ModelFileCheckTest : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            dataDirectory().deleteRecursively();
            processor = std::make_unique<CalbrixAudioProcessor>();
        }

        void TearDown() override { dismissAlertWindows(); }

        // Loads "model.pt" as the page does; true when it loaded, false when it was refused.
        bool loadModelFile()
        {
            processor->model->loaded = false;
            setModelPath (*processor, "");
            setModelPath (*processor, "model.pt");
            EXPECT_TRUE (waitForLoadingIdle (*processor));
            const auto alerts = dismissAlertWindows();
            EXPECT_EQ (alerts.size(), processor->model->loaded ? 0 : 1);
            return processor->model->loaded;
        }

        std::unique_ptr<CalbrixAudioProcessor> processor;
    };
} // namespace

TEST_F (ModelFileCheckTest, SnapshotKeepsTheBytesItTookWhateverHappensToTheFile)
{
    const auto file = CalbrixAudioProcessor::modelFileFor (installFixture ("identity.pt"));
    const auto original = bytesOf (file);

    std::string whyNot;
    const auto snapshot = ModelSnapshot::take (file.getFullPathName().toStdString(), whyNot);
    ASSERT_TRUE (snapshot.isValid()) << whyNot;

    rewriteInPlace (file, bytesOf (fixtureModel ("crashes_loader.pt")));
    ASSERT_NE (bytesOf (file), original);

    EXPECT_EQ (snapshotBytes (snapshot), original);
    // Sealed: not even this process can change it.
    EXPECT_EQ (::write (snapshot.descriptor(), "x", 1), -1);
    EXPECT_EQ (::ftruncate (snapshot.descriptor(), 0), -1);

    const auto module = loadModuleFromSnapshot (snapshot.descriptor(), snapshot.size());
    EXPECT_NO_THROW (listModuleMethods (module));
    EXPECT_TRUE (module.find_method ("forward_bt").has_value());
}

TEST_F (ModelFileCheckTest, FileRewrittenWhileItLoadsNeverReachesTheLoaderUnchecked)
{
    // A page saving over the model, or a copy in place, while the loads run: each load gets one
    // version of the file or the other, checked, and a crashing one is refused.
    installFixture ("identity.pt");
    const auto good = bytesOf (fixtureModel ("identity.pt"));
    const auto crashing = bytesOf (fixtureModel ("crashes_loader.pt"));
    const auto target = CalbrixAudioProcessor::modelFileFor ("model.pt");
    rewriteInPlace (target, good);

    std::atomic<bool> stop { false };
    std::thread rewriter ([&]
    {
        for (int turn = 0; ! stop; ++turn)
        {
            rewriteInPlace (target, turn % 2 == 0 ? crashing : good);
            std::this_thread::yield();
        }
    });

    int loaded = 0, refused = 0;
    for (int attempt = 0; attempt < 40; ++attempt)
        (loadModelFile() ? loaded : refused) += 1;

    stop = true;
    rewriter.join();
    EXPECT_EQ (loaded + refused, 40);

    // Still standing, and a good file still loads.
    rewriteInPlace (target, good);
    EXPECT_TRUE (loadModelFile());
}

TEST_F (ModelFileCheckTest, ACheckingServerThatDiedIsReplaced)
{
    const auto target = CalbrixAudioProcessor::modelFileFor ("model.pt");
    target.getParentDirectory().createDirectory();
    ASSERT_TRUE (fixtureModel ("identity.pt").copyFileTo (target));
    ASSERT_TRUE (loadModelFile());

    ASSERT_FALSE (descendants (ModelCheckServer::serverName).empty());
    killAll (ModelCheckServer::serverName, SIGKILL);

    ASSERT_TRUE (fixtureModel ("crashes_loader.pt").copyFileTo (target));
    processor->model->loaded = false;
    setModelPath (*processor, "");
    setModelPath (*processor, "model.pt");
    ASSERT_TRUE (waitForLoadingIdle (*processor, waits::modelLoadMs));
    const auto alerts = dismissAlertWindows();
    ASSERT_EQ (alerts.size(), 1);
    EXPECT_TRUE (alerts[0].contains ("crashed the model runtime")) << alerts[0];

    ASSERT_TRUE (fixtureModel ("identity.pt").copyFileTo (target));
    EXPECT_TRUE (loadModelFile());
}

TEST_F (ModelFileCheckTest, ACancelledCheckEndsItsReaderAndItsSession)
{
    // A file whose reading never ends, so that only the cancel can end its reader: cancelled
    // before the session has answered, while its reader reads, and (a client going at the worst
    // moment) with the session's socket closed before its client has heard of the reader.
    enum class Cancel { first, whileReading, byClosingUnheard };
    struct Case { const char* name; Cancel cancel; };
    const Case cases[] = {
        { "cancelled as the check starts", Cancel::first },
        { "cancelled while the reader reads", Cancel::whileReading },
        { "socket closed before the reader was heard of", Cancel::byClosingUnheard },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        const auto sessionsBefore = descendants (ModelCheckServer::sessionName).size();
        if (c.cancel == Cancel::byClosingUnheard)
        {
            const auto snapshot = snapshotOf (fixtureModel ("loops_while_loading.pt"));
            const int session = ModelCheckServer::openSession();
            ASSERT_GE (session, 0);
            ASSERT_TRUE (SocketMessages::send (session, ModelCheckServer::checkRequest, 0, snapshot.descriptor()));
            // The session's word that its reader has started has arrived, unread.
            pollfd answer { session, POLLIN, 0 };
            ASSERT_EQ (::poll (&answer, 1, waits::modelCallBeginsMs), 1);
            ASSERT_FALSE (descendants (ModelCheckServer::readerName).empty());
            ::close (session);
        }
        else
        {
            CancelSignal cancel;
            EndlessCheck check;
            if (c.cancel == Cancel::first)
                cancel.raise();
            check.start (cancel.fd);
            if (c.cancel == Cancel::whileReading)
            {
                ASSERT_TRUE (check.waitUntilReading());
                cancel.raise();
            }
            check.finish();
            EXPECT_EQ (check.outcome, ModelFileCheck::Outcome::cancelled);
        }

        EXPECT_TRUE (noneLeft (ModelCheckServer::readerName)) << describe (descendants());
        EXPECT_TRUE (pumpMessagesUntil ([&] { return descendants (ModelCheckServer::sessionName).size() <= sessionsBefore; },
                                        waits::checkingProcessEndsMs))
            << describe (descendants());
    }

    // The checker still answers.
    const auto snapshot = snapshotOf (fixtureModel ("identity.pt"));
    ModelFileCheck check;
    std::string description;
    EXPECT_EQ (check.check (snapshot, -1, description), ModelFileCheck::Outcome::safeToLoad) << description;
}

TEST_F (ModelFileCheckTest, QuickSwitchesAwayFromAFileBeingCheckedLeaveNoReaderBehind)
{
    installFixture ("loops_while_loading.pt");
    installFixture ("identity.pt");

    // Each pick cancels the check of the one before, at whatever point it has reached.
    for (int pick = 0; pick < 60; ++pick)
    {
        setModelPath (*processor, pick % 2 == 0 ? "loops_while_loading.pt" : "identity.pt");
        if (pick % 3 == 0)
            pumpMessagesFor (pick % 4);
    }
    setModelPath (*processor, "identity.pt");
    ASSERT_TRUE (waitForLoadingIdle (*processor, waits::modelLoadMs));
    dismissAlertWindows();
    EXPECT_TRUE (processor->model->loaded);

    EXPECT_TRUE (noneLeft (ModelCheckServer::readerName)) << describe (descendants());
}

TEST_F (ModelFileCheckTest, AReaderKilledFromOutsideIsReportedAsKilledNotAsACrash)
{
    struct Case { const char* name; int signal; ModelFileCheck::Outcome outcome; std::vector<std::string> words; };
    const Case cases[] = {
        { "the out-of-memory killer's signal", SIGKILL, ModelFileCheck::Outcome::readerKilled, { "killed", "out of memory" } },
        { "a termination request", SIGTERM, ModelFileCheck::Outcome::readerKilled, { "killed", "Terminated" } },
        // (Under a sanitizer the reader aborts on it instead: a crash all the same.)
        { "a crash", SIGSEGV, ModelFileCheck::Outcome::crashesLoader, { "crashed the model runtime" } },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        EndlessCheck check;
        check.start (-1);
        ASSERT_TRUE (check.waitUntilReading());
        killAll (ModelCheckServer::readerName, c.signal);
        check.finish();

        EXPECT_EQ (check.outcome, c.outcome);
        for (const auto& word : c.words)
            EXPECT_NE (check.description.find (word), std::string::npos) << check.description;
        if (c.outcome == ModelFileCheck::Outcome::readerKilled)
        {
            EXPECT_EQ (check.description.find ("crash"), std::string::npos) << check.description;
        }
        EXPECT_TRUE (ModelFileCheck::refuses (check.outcome));
    }

    // Through a load: the box says what happened.
    installFixture ("loops_while_loading.pt");
    setModelPath (*processor, "loops_while_loading.pt");
    ASSERT_TRUE (pumpMessagesUntil ([] { return ! descendants (ModelCheckServer::readerName).empty(); }, waits::modelCallBeginsMs));
    killAll (ModelCheckServer::readerName, SIGKILL);
    ASSERT_TRUE (waitForLoadingIdle (*processor, waits::modelLoadMs));
    const auto alerts = dismissAlertWindows();
    ASSERT_EQ (alerts.size(), 1);
    EXPECT_TRUE (alerts[0].contains ("killed") && alerts[0].contains ("out of memory")) << alerts[0];
    EXPECT_FALSE (processor->model->loaded);
}

TEST_F (ModelFileCheckTest, CheckingProcessesKilledInQuickSuccessionAreReapedAndReplaced)
{
    installFixture ("identity.pt");
    installFixture ("crashes_loader.pt");

    // A descriptor of this process's that no checking process may hold, however it was started.
    const auto marker = dataDirectory().getChildFile ("marker");
    ASSERT_TRUE (marker.replaceWithText ("x"));
    const int held = ::open (marker.getFullPathName().toRawUTF8(), O_RDONLY);
    ASSERT_GE (held, 0);

    // The servers come back as forks of the keeper; a keeper killed too comes back as this
    // executable started again.
    for (const char* killed : { ModelCheckServer::serverName, ModelCheckServer::keeperName })
    {
        SCOPED_TRACE (killed);
        for (int round = 0; round < 10; ++round)
        {
            killAll (killed, SIGKILL);
            processor->model->loaded = false;
            setModelPath (*processor, "");
            setModelPath (*processor, round % 2 == 0 ? "identity.pt" : "crashes_loader.pt");
            ASSERT_TRUE (waitForLoadingIdle (*processor, waits::modelLoadMs));
            const auto alerts = dismissAlertWindows();
            if (round % 2 == 0)
                EXPECT_TRUE (processor->model->loaded) << alerts.joinIntoString ("\n");
            else
                EXPECT_TRUE (alerts.size() == 1 && alerts[0].contains ("crashed the model runtime")) << alerts.joinIntoString ("\n");
        }

        EXPECT_TRUE (zombies().empty()) << describe (zombies());
        EXPECT_EQ (descendants (ModelCheckServer::keeperName).size(), 1u) << describe (descendants());
    }

    for (const char* name : { ModelCheckServer::keeperName, ModelCheckServer::serverName, ModelCheckServer::sessionName })
        for (const auto& process : descendants (name))
            for (const auto& path : openFilesOf (process.pid))
                EXPECT_NE (path, marker.getFullPathName().toStdString()) << name << " " << process.pid;
    ::close (held);
}

TEST_F (ModelFileCheckTest, AFileTooLargeForTheMemoryIsRefusedBeforeAnythingIsCopied)
{
    // Sparse: it takes no room on disk, only its size says how much a copy would take.
    const auto target = CalbrixAudioProcessor::modelFileFor ("model.pt");
    target.getParentDirectory().createDirectory();
    const auto size = ModelSnapshot::largestFileSize() + (1u << 20);
    {
        const int file = ::open (target.getFullPathName().toRawUTF8(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE (file, 0);
        ASSERT_EQ (::ftruncate (file, static_cast<off_t> (size)), 0);
        ::close (file);
    }

    const auto readBefore = bytesReadByThisProcess();
    std::string whyNot;
    const auto snapshot = ModelSnapshot::take (target.getFullPathName().toStdString(), whyNot);
    EXPECT_FALSE (snapshot.isValid());
    EXPECT_NE (whyNot.find ("too large for the memory"), std::string::npos) << whyNot;
    // Far less than one chunk of a copy: only the system's own figures were read.
    EXPECT_LT (bytesReadByThisProcess() - readBefore, 1u << 20);

    EXPECT_FALSE (loadModelFile());
    target.deleteFile();
}

TEST_F (ModelFileCheckTest, TheCopyCountsAsThisProcesssOwnMemory)
{
    // So that, memory running out, the system weighs it against this process and not another.
    const auto file = dataDirectory().getChildFile ("bytes");
    constexpr size_t size = 32u << 20;
    {
        const std::string bytes (size, 'x');
        ASSERT_TRUE (file.replaceWithData (bytes.data(), bytes.size()));
    }

    const auto before = residentSharedMemory();
    {
        const auto snapshot = snapshotOf (file);
        ASSERT_EQ (snapshot.size(), size);
        EXPECT_GE (residentSharedMemory(), before + size);
    }
    EXPECT_LT (residentSharedMemory(), before + size);
}

TEST_F (ModelFileCheckTest, ALargeGoodModelStillLoads)
{
    const auto name = installLargeModel (200);
    ASSERT_LT (CalbrixAudioProcessor::modelFileFor (name).getSize(), static_cast<juce::int64> (ModelSnapshot::largestFileSize()))
        << "this machine has too little memory free for the test";

    setModelPath (*processor, name);
    ASSERT_TRUE (waitForLoadingIdle (*processor, waits::largeModelLoadMs));
    const auto alerts = dismissAlertWindows();
    EXPECT_TRUE (alerts.isEmpty()) << alerts.joinIntoString ("\n");
    EXPECT_TRUE (processor->model->loaded);
    CalbrixAudioProcessor::modelFileFor (name).deleteFile();
}
