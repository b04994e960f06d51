#include "FileRequestWorker.h"

#include <pthread.h>

namespace lorquist::BrowserIntegration
{
    FileRequestWorker::FileRequestWorker (Answer a)
        : answer (std::move (a)),
          thread ([this] { run(); })
    {
    }

    FileRequestWorker::~FileRequestWorker()
    {
        {
            const std::lock_guard<std::mutex> guard (lock);
            stopping = true;
        }
        wake.notify_all();
        thread.join();

        cancelPendingUpdate();
        answerFinished();
    }

    void FileRequestWorker::add (juce::String uid, Work work, juce::String failureReply)
    {
        {
            const std::lock_guard<std::mutex> guard (lock);
            waiting.push_back ({ std::move (uid), std::move (work), std::move (failureReply) });
        }
        wake.notify_one();
    }

    void FileRequestWorker::run()
    {
        pthread_setname_np (pthread_self(), threadName);

        std::unique_lock<std::mutex> guard (lock);
        for (;;)
        {
            wake.wait (guard, [this] { return stopping || ! waiting.empty(); });
            if (waiting.empty())
                return;

            auto request = std::move (waiting.front());
            waiting.pop_front();
            guard.unlock();

            try
            {
                request.reply = request.work();
            }
            catch (...)
            {
                // The reply already holds the failure text.
            }
            // The request's payload (a whole file, perhaps) is let go here, not on the message thread.
            request.work = nullptr;

            guard.lock();
            finished.push_back (std::move (request));
            triggerAsyncUpdate();
        }
    }

    void FileRequestWorker::handleAsyncUpdate() { answerFinished(); }

    void FileRequestWorker::answerFinished()
    {
        std::deque<Request> ready;
        {
            const std::lock_guard<std::mutex> guard (lock);
            ready.swap (finished);
        }

        for (auto& request : ready)
            answer (request.uid, request.reply);
    }
} // namespace lorquist::BrowserIntegration
