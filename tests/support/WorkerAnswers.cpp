// libtorch before JUCE (see CalbrixModel.h).
#include "BackgroundProcess.h"

#include "WorkerAnswers.h"

#include "TestWaits.h"

#include <chrono>
#include <thread>

namespace calbrix_test
{
    namespace
    {
        BackgroundProcess::Profile workerProfile;
        std::atomic<int> watchesAlive { 0 };
    } // namespace

    WorkerAnswers::WorkerAnswers()
    {
        if (watchesAlive++ == 0)
            BackgroundProcess::profile = &workerProfile;
    }

    WorkerAnswers::~WorkerAnswers()
    {
        if (--watchesAlive == 0)
            BackgroundProcess::profile = nullptr;
    }

    bool WorkerAnswers::waitAfterHandover (const std::atomic<bool>* stop) const
    {
        const auto target = workerProfile.polls.load() + 2;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds (waits::workerAnswerMs);
        while (workerProfile.polls.load() < target)
        {
            if ((stop != nullptr && stop->load()) || std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for (std::chrono::microseconds (50));
        }
        return true;
    }
} // namespace calbrix_test
