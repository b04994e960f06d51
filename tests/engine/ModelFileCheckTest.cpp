// The protection against model files that crash the runtime's loader: the private snapshot that is
// both checked and loaded, and the checking processes behind it.
#include "SnapshotModuleLoader.h"

#include "LoadTestSupport.h"
#include "ModelSnapshot.h"

#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <fstream>
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

    // This process's children that run the model checker (named so by the server).
    std::vector<pid_t> checkingServers()
    {
        std::vector<pid_t> found;
        DIR* processes = ::opendir ("/proc");
        while (auto* entry = ::readdir (processes))
        {
            const pid_t pid = std::atoi (entry->d_name);
            if (pid <= 0)
                continue;
            std::ifstream stat ("/proc/" + std::string (entry->d_name) + "/stat");
            std::string line;
            std::getline (stat, line);
            const auto close = line.rfind (')');
            if (close == std::string::npos || line.find ("(calbrix-check)") == std::string::npos)
                continue;
            char state = 0;
            int parent = 0;
            if (std::sscanf (line.c_str() + close + 2, "%c %d", &state, &parent) == 2 && parent == ::getpid())
                found.push_back (pid);
        }
        ::closedir (processes);
        return found;
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

    const auto servers = checkingServers();
    ASSERT_FALSE (servers.empty());
    for (const auto server : servers)
        ::kill (server, SIGKILL);

    ASSERT_TRUE (fixtureModel ("crashes_loader.pt").copyFileTo (target));
    processor->model->loaded = false;
    setModelPath (*processor, "");
    setModelPath (*processor, "model.pt");
    ASSERT_TRUE (waitForLoadingIdle (*processor, 60000));
    const auto alerts = dismissAlertWindows();
    ASSERT_EQ (alerts.size(), 1);
    EXPECT_TRUE (alerts[0].contains ("crashed the model runtime")) << alerts[0];

    ASSERT_TRUE (fixtureModel ("identity.pt").copyFileTo (target));
    EXPECT_TRUE (loadModelFile());
}
