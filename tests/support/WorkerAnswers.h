#pragma once

// Tells a test when the inference worker has answered the blocks handed to it, so that a test can
// hand blocks over at the worker's pace instead of the clock's: a slow or busy machine then makes
// the test slower, never different. It watches the worker's idle polls through the engine's
// accounting hook, which every worker in the program shares: only one processor may be watched at
// a time.
#include <atomic>

namespace calbrix_test
{
    class WorkerAnswers
    {
    public:
        // The hook is installed while any watch lives.
        WorkerAnswers();
        ~WorkerAnswers();

        // Call right after handing a block over. Returns once the worker has been idle twice since:
        // a poll that begins after the handover and finds too little input means the block was
        // taken, and its answer pushed, by an earlier pass. False when that did not happen within
        // waits::workerAnswerMs, or when `stop` became true.
        bool waitAfterHandover (const std::atomic<bool>* stop = nullptr) const;

        WorkerAnswers (const WorkerAnswers&) = delete;
        WorkerAnswers& operator= (const WorkerAnswers&) = delete;
    };
} // namespace calbrix_test
