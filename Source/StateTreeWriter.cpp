#include "StateTreeWriter.h"

void StateTreeWriter::post (std::function<void()> write)
{
    {
        const std::lock_guard<std::mutex> hold (lock);
        if (closed)
            return;
        pending.push_back (std::move (write));
        if (deliveryPosted)
            return;
        deliveryPosted = true;
    }

    // One delivery for a run of writes. If the message loop is gone, close() makes them.
    juce::MessageManager::callAsync ([weak = std::weak_ptr<StateTreeWriter> (shared_from_this())]
    {
        if (auto writer = weak.lock())
            writer->deliver();
    });
}

bool StateTreeWriter::hasPendingWrites() const
{
    const std::lock_guard<std::mutex> hold (lock);
    return ! pending.empty();
}

void StateTreeWriter::deliver()
{
    for (;;)
    {
        std::function<void()> write;
        {
            const std::lock_guard<std::mutex> hold (lock);
            if (pending.empty())
            {
                deliveryPosted = false;
                return;
            }
            write = std::move (pending.front());
            pending.pop_front();
        }
        write();
    }
}

void StateTreeWriter::close()
{
    deliver();
    const std::lock_guard<std::mutex> hold (lock);
    closed = true;
    pending.clear();
}
