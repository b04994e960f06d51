#include "CalbrixModel.h"

#include "AbandonedWork.h"

#include "WorkerTether.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <vector>

namespace
{
    struct Kept
    {
        std::mutex lock;
        std::vector<std::shared_ptr<WorkerTether>> tethers;
        std::vector<std::unique_ptr<juce::ThreadPool>> pools;
        std::vector<std::unique_ptr<Calbrix>> wrappers;
        std::set<std::string> refusedModels;
    };

    // Never destroyed: destroying a pool whose thread still runs would free what that thread uses.
    Kept& kept()
    {
        static auto* all = new Kept();
        return *all;
    }
} // namespace

void AbandonedWork::keep (std::shared_ptr<WorkerTether> tether, std::unique_ptr<juce::ThreadPool> pool)
{
    auto& k = kept();
    const std::lock_guard<std::mutex> hold (k.lock);
    if (tether != nullptr)
        k.tethers.push_back (std::move (tether));
    if (pool != nullptr)
        k.pools.push_back (std::move (pool));
}

void AbandonedWork::keep (std::unique_ptr<Calbrix> wrapper)
{
    auto& k = kept();
    const std::lock_guard<std::mutex> hold (k.lock);
    if (wrapper != nullptr)
        k.wrappers.push_back (std::move (wrapper));
}

bool AbandonedWork::anyKept()
{
    auto& k = kept();
    const std::lock_guard<std::mutex> hold (k.lock);
    return ! k.tethers.empty() || ! k.wrappers.empty() || ! k.pools.empty();
}

std::string AbandonedWork::fileIdentity (const juce::File& file)
{
    return file.getFullPathName().toStdString() + "\n" + std::to_string (file.getSize()) + "\n"
           + std::to_string (file.getLastModificationTime().toMilliseconds());
}

void AbandonedWork::refuseModel (const std::string& identity)
{
    if (identity.empty())
        return;
    auto& k = kept();
    const std::lock_guard<std::mutex> hold (k.lock);
    k.refusedModels.insert (identity);
}

bool AbandonedWork::isRefused (const std::string& identity)
{
    auto& k = kept();
    const std::lock_guard<std::mutex> hold (k.lock);
    return k.refusedModels.count (identity) > 0;
}

int AbandonedWork::exitCode (int code)
{
    if (anyKept())
    {
        std::fflush (nullptr);
        std::_Exit (code);
    }
    return code;
}
