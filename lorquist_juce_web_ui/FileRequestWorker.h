#pragma once

#include <juce_events/juce_events.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace lorquist::BrowserIntegration
{
    // Carries out the page's file requests one at a time, in the order they came, on a thread of
    // its own, so that reading or saving a large file never holds up the message thread. Each
    // request's reply is handed back on the message thread, in the same order, exactly once.
    class FileRequestWorker : private juce::AsyncUpdater
    {
    public:
        // The file work of one request; returns its reply text. Runs on the worker.
        using Work = std::function<juce::String()>;
        // Called on the message thread with each request's "uid" and reply.
        using Answer = std::function<void (const juce::String& uid, const juce::String& reply)>;

        explicit FileRequestWorker (Answer answer);

        // Message thread. Finishes the requests already accepted and hands over their replies
        // before it returns, so that none is lost and none comes after the worker has gone. File
        // work always ends (nothing here opens what could wait for a writer), so this wait does too.
        ~FileRequestWorker() override;

        // Message thread. `failureReply` answers the request when its work throws (no memory left
        // for a file's content, say).
        void add (juce::String uid, Work work, juce::String failureReply);

        // The worker thread's name, as tools that list threads show it.
        static constexpr const char* threadName = "file-requests";

    private:
        struct Request
        {
            juce::String uid;
            Work work;
            juce::String reply;
        };

        void run();
        void handleAsyncUpdate() override;
        void answerFinished();

        const Answer answer;
        std::mutex lock;
        std::condition_variable wake;
        std::deque<Request> waiting, finished;
        bool stopping = false;
        std::thread thread;

        JUCE_DECLARE_NON_COPYABLE (FileRequestWorker)
    };
} // namespace lorquist::BrowserIntegration
