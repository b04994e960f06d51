#pragma once

// Counts the heap allocations (malloc family and operator new) that the calling thread makes while
// counting is switched on for it. Off by default and per thread, so the hook costs one thread-local
// test per allocation everywhere else in the program.
namespace calbrix_test
{
    void startCountingAllocations() noexcept;
    void stopCountingAllocations() noexcept;

    // Allocations this thread has made while counting was on, since it last called resetAllocationCount.
    long long allocationCount() noexcept;
    void resetAllocationCount() noexcept;

    // True in a build under AddressSanitizer: it owns the allocator, so nothing is counted, and it
    // keeps freed memory aside for a while, so resident memory says nothing about leaks either.
    bool allocatorIsSanitized() noexcept;

    // Counting on for the calling thread during the scope.
    struct ScopedAllocationCounting
    {
        ScopedAllocationCounting() noexcept { startCountingAllocations(); }
        ~ScopedAllocationCounting() { stopCountingAllocations(); }
        ScopedAllocationCounting (const ScopedAllocationCounting&) = delete;
        ScopedAllocationCounting& operator= (const ScopedAllocationCounting&) = delete;
    };
} // namespace calbrix_test
