#pragma once

#include <readerwriterqueue/readerwriterqueue.h>

#include <atomic>
#include <cstddef>

// Lock-free single-producer single-consumer queue of samples between the audio thread and the
// inference worker: moodycamel's queue with blocks of 512 samples, which also counts what went
// in and what came out. Its own size_approx walks every block of the queue (189 of them for two
// seconds at 48 kHz), and the worker's polling and the audio thread's wait ask for the size many
// times a block; the counts answer at once. It never grows: it is made with room for the most it
// may hold (see CalbrixAudioProcessor::queueCapacityFor), so neither end ever allocates.
class SampleQueue
{
public:
    explicit SampleQueue (size_t capacity) : queue (capacity) {}

    // Producer only. False, and the sample dropped, when the queue is full.
    bool enqueue (float sample)
    {
        if (! queue.try_enqueue (sample))
            return false;
        enqueued.store (++enqueuedByProducer, std::memory_order_release);
        return true;
    }

    // Producer only: `count` samples one after the other, counted once at the end, so that a
    // consumer polling the size sees them all at once and does not slow the writing down. A
    // sample that finds the queue full is dropped.
    void enqueueAll (const float* samples, size_t count)
    {
        for (size_t i = 0; i < count; ++i)
            if (queue.try_enqueue (samples[i]))
                ++enqueuedByProducer;
        enqueued.store (enqueuedByProducer, std::memory_order_release);
    }

    // Consumer only.
    bool try_dequeue (float& sample)
    {
        if (! queue.try_dequeue (sample))
            return false;
        dequeued.store (++dequeuedByConsumer, std::memory_order_release);
        return true;
    }

    // Samples queued; never more than the consumer can take. Either side may ask.
    size_t size_approx() const
    {
        const auto out = dequeued.load (std::memory_order_acquire);
        const auto in = enqueued.load (std::memory_order_acquire);
        // The consumer can take a sample before the producer has counted it.
        return in > out ? in - out : 0;
    }

    // Samples it holds without allocating when empty.
    size_t max_capacity() const { return queue.max_capacity(); }

private:
    moodycamel::ReaderWriterQueue<float, 512> queue;
    // Each count on a cache line of its own, written by one side only.
    alignas (64) std::atomic<size_t> enqueued { 0 };
    size_t enqueuedByProducer = 0;
    alignas (64) std::atomic<size_t> dequeued { 0 };
    size_t dequeuedByConsumer = 0;
};
