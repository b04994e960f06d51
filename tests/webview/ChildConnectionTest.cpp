// The parent end of the child's pipes on its own, with a real child: what is left once the child dies.
#include "WebViewTestSupport.h"

#include "ChildConnection.h"

#include <atomic>

using namespace calbrix_webview_test;
using calbrix_test::pumpMessagesUntil;
using calbrix_webview::ChildConnection;

namespace
{
    juce::int64 residentBytes()
    {
        const auto status = juce::File ("/proc/self/status").loadFileAsString();
        const auto line = status.fromFirstOccurrenceOf ("VmRSS:", false, false).upToFirstOccurrenceOf ("\n", false, false);
        return line.trim().getLargeIntValue() * 1024;
    }

    // Whether every thread of this process with that name has `signal` blocked (and one exists).
    bool threadsNamedBlock (const juce::String& name, int signal)
    {
        bool found = false;
        for (const auto& task : juce::File ("/proc/self/task").findChildFiles (juce::File::findDirectories, false))
        {
            if (task.getChildFile ("comm").loadFileAsString().trim() != name)
                continue;
            found = true;
            const auto status = task.getChildFile ("status").loadFileAsString();
            const auto blocked = status.fromFirstOccurrenceOf ("SigBlk:", false, false).upToFirstOccurrenceOf ("\n", false, false).trim();
            if (((juce::uint64) blocked.getHexValue64() & (1ull << (signal - 1))) == 0)
                return false;
        }
        return found;
    }

    juce::var scriptCommand (const juce::String& script)
    {
        juce::DynamicObject::Ptr command (new juce::DynamicObject());
        command->setProperty ("type", "eval");
        command->setProperty ("script", script);
        return juce::var (command.get());
    }
} // namespace

TEST (ChildConnection, DeadChildIsReapedForgottenAndSentNothingMore)
{
    std::atomic<bool> lost { false };
    juce::String howItEnded;
    ChildConnection::Receiver receiver;
    receiver.message = [] (juce::var) {};
    receiver.connectionLost = [&] (const juce::String& how)
    {
        howItEnded = how;
        lost = true;
    };

    ChildConnection connection (receiver);
    ASSERT_TRUE (connection.isRunning());
    const auto pid = connection.getChildPid();

    killProcess (pid);
    ASSERT_TRUE (pumpMessagesUntil ([&] { return lost.load(); }, waits::childEndMs));

    // By the time the owner hears of it, the child is reaped: no zombie, no stale id.
    EXPECT_FALSE (connection.isRunning());
    EXPECT_EQ (connection.getChildPid(), -1);
    EXPECT_FALSE (processExists (pid));
    EXPECT_EQ (howItEnded, "killed by signal 9");

    // What is sent now has nowhere to go and is not kept.
    const auto before = residentBytes();
    const auto command = scriptCommand (juce::String::repeatedString ("z", 1024 * 1024));
    for (int i = 0; i < 200; ++i)
        connection.send (command);
    EXPECT_LT (residentBytes() - before, 50 * 1024 * 1024);
}

TEST (ChildConnection, NothingIsWrittenOnceTheReaderIsGoneAndBrokenPipesRaiseNoSignal)
{
    expectBrokenPipesWouldBeFatal();

    // The receiver holds the I/O thread on the child's first message, so that the test can queue a
    // send and kill the child before the thread looks at the pipe again: it then finds an empty pipe
    // without a reader, writable and broken at once.
    std::atomic<bool> holding { false }, release { false }, lost { false };
    ChildConnection::Receiver receiver;
    receiver.message = [&] (juce::var)
    {
        if (holding.exchange (true))
            return;
        // Held until the test lets go, or for longer than the test may take to get there.
        for (int waited = 0; ! release && waited < 2 * waits::childEndMs; ++waited)
            juce::Thread::sleep (1);
    };
    receiver.connectionLost = [&] (const juce::String&) { lost = true; };

    ChildConnection connection (receiver);
    ASSERT_TRUE (connection.isRunning());
    const auto pid = connection.getChildPid();
    ASSERT_TRUE (pumpMessagesUntil ([&] { return holding.load(); }, waits::pageStartMs));

    // The thread that writes to the child can never be ended by SIGPIPE, however the write goes.
    EXPECT_TRUE (threadsNamedBlock (ChildConnection::ioThreadName, SIGPIPE));

    connection.send (scriptCommand (juce::String::repeatedString ("w", 1024 * 1024)));
    killProcess (pid);
    ASSERT_TRUE (pumpMessagesUntil ([&] { return childHasEnded (pid); }, waits::childEndMs)); // its pipes are closed
    release = true;

    // A write now would raise SIGPIPE and end this test program.
    ASSERT_TRUE (pumpMessagesUntil ([&] { return lost.load(); }, waits::childEndMs));
    EXPECT_FALSE (connection.isRunning());
    EXPECT_FALSE (processExists (pid));
}

TEST (ChildConnection, ChildThatStopsReadingIsNotBufferedForWithoutBound)
{
    ChildConnection::Receiver receiver;
    receiver.message = [] (juce::var) {};
    receiver.connectionLost = [] (const juce::String&) {};
    calbrix_test::CapturedStandardError errors;

    // The default room is a share of the machine's memory; a smaller one keeps the test light.
    constexpr size_t maxQueuedBytes = 128u << 20;
    ChildConnection connection (receiver, maxQueuedBytes);
    ASSERT_TRUE (connection.isRunning());
    const auto pid = connection.getChildPid();
    ASSERT_EQ (::kill (pid, SIGSTOP), 0);

    // Twice the queue's room: the second half is dropped, with one line for all of it.
    const auto before = residentBytes();
    const auto script = scriptCommand ("'" + juce::String::repeatedString ("x", 1 << 20) + "'");
    for (size_t sent = 0; sent < 2 * maxQueuedBytes; sent += 1 << 20)
        connection.send (script);
    EXPECT_LT (residentBytes() - before, static_cast<juce::int64> (maxQueuedBytes) + (64 << 20));
    EXPECT_EQ (errors.count ("web view: its child reads no more; messages to it are dropped\n"), 1);

    ::kill (pid, SIGCONT);
}
