#pragma once

#include <juce_events/juce_events.h>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>

// Carries the loading worker's writes of the state tree to the message thread. The framework's
// trees and their listener lists are not thread-safe, and the message thread writes the tree all
// the time (the page, the host, restores, saves), so a worker never writes it itself: it posts the
// write here. Writes are made in the order posted; whatever is still pending when the processor
// goes is made by its destructor (close), and nothing is made after that.
class StateTreeWriter : public std::enable_shared_from_this<StateTreeWriter>
{
public:
    // Any thread.
    void post (std::function<void()> write);

    // True while posted writes have not been made yet.
    bool hasPendingWrites() const;

    // Message thread: makes the pending writes now and refuses any later ones.
    void close();

private:
    void deliver();

    mutable std::mutex lock;
    std::deque<std::function<void()>> pending;
    bool deliveryPosted = false;
    bool closed = false;
};
