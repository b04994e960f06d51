// Replaces the program's allocation entry points with thin wrappers around glibc's own allocator
// that count calls made by a thread which has switched counting on. Linked into the test binary
// and the benchmark only. Under AddressSanitizer, which owns the allocator, nothing is replaced
// and nothing is counted.
#include "AllocationCounter.h"

#if defined(__has_feature)
 #if __has_feature(address_sanitizer)
  #define CALBRIX_SANITIZED_ALLOCATOR 1
 #endif
#endif
#if defined(__SANITIZE_ADDRESS__)
 #define CALBRIX_SANITIZED_ALLOCATOR 1
#endif
#ifndef CALBRIX_SANITIZED_ALLOCATOR
 #define CALBRIX_SANITIZED_ALLOCATOR 0
#endif

#include <cerrno>
#include <cstddef>
#include <new>

#if ! CALBRIX_SANITIZED_ALLOCATOR
extern "C"
{
    void* __libc_malloc (size_t);
    void* __libc_calloc (size_t, size_t);
    void* __libc_realloc (void*, size_t);
    void* __libc_memalign (size_t, size_t);
    void __libc_free (void*);
}

namespace
{
    // Constant-initialised thread locals of the executable: no lazy initialisation, so they are
    // safe to touch from inside malloc.
    thread_local bool counting = false;
    thread_local long long counted = 0;

    inline void noteAllocation() noexcept
    {
        if (counting)
            ++counted;
    }

    void* allocateOrThrow (std::size_t size)
    {
        noteAllocation();
        if (void* p = __libc_malloc (size == 0 ? 1 : size))
            return p;
        throw std::bad_alloc();
    }

    void* allocateAlignedOrThrow (std::size_t size, std::align_val_t alignment)
    {
        noteAllocation();
        if (void* p = __libc_memalign (static_cast<std::size_t> (alignment), size == 0 ? 1 : size))
            return p;
        throw std::bad_alloc();
    }
} // namespace

#else
namespace
{
    thread_local bool counting = false;
    thread_local long long counted = 0;
}
#endif

namespace calbrix_test
{
    void startCountingAllocations() noexcept { counting = true; }
    void stopCountingAllocations() noexcept { counting = false; }
    long long allocationCount() noexcept { return counted; }
    bool allocatorIsSanitized() noexcept { return CALBRIX_SANITIZED_ALLOCATOR != 0; }
    void resetAllocationCount() noexcept { counted = 0; }
} // namespace calbrix_test

#if ! CALBRIX_SANITIZED_ALLOCATOR
extern "C"
{
    void* malloc (size_t size)
    {
        noteAllocation();
        return __libc_malloc (size);
    }

    void* calloc (size_t count, size_t size)
    {
        noteAllocation();
        return __libc_calloc (count, size);
    }

    void* realloc (void* pointer, size_t size)
    {
        noteAllocation();
        return __libc_realloc (pointer, size);
    }

    void* memalign (size_t alignment, size_t size)
    {
        noteAllocation();
        return __libc_memalign (alignment, size);
    }

    void* aligned_alloc (size_t alignment, size_t size)
    {
        noteAllocation();
        return __libc_memalign (alignment, size);
    }

    int posix_memalign (void** result, size_t alignment, size_t size)
    {
        if (alignment < sizeof (void*) || (alignment & (alignment - 1)) != 0)
            return EINVAL;
        noteAllocation();
        void* p = __libc_memalign (alignment, size);
        if (p == nullptr)
            return ENOMEM;
        *result = p;
        return 0;
    }
}

// operator new goes straight to glibc so that one allocation is counted once, not again in malloc.
void* operator new (std::size_t size) { return allocateOrThrow (size); }
void* operator new[] (std::size_t size) { return allocateOrThrow (size); }
void* operator new (std::size_t size, const std::nothrow_t&) noexcept
{
    noteAllocation();
    return __libc_malloc (size == 0 ? 1 : size);
}
void* operator new[] (std::size_t size, const std::nothrow_t&) noexcept
{
    noteAllocation();
    return __libc_malloc (size == 0 ? 1 : size);
}
void* operator new (std::size_t size, std::align_val_t alignment) { return allocateAlignedOrThrow (size, alignment); }
void* operator new[] (std::size_t size, std::align_val_t alignment) { return allocateAlignedOrThrow (size, alignment); }

void operator delete (void* p) noexcept { __libc_free (p); }
void operator delete[] (void* p) noexcept { __libc_free (p); }
void operator delete (void* p, std::size_t) noexcept { __libc_free (p); }
void operator delete[] (void* p, std::size_t) noexcept { __libc_free (p); }
void operator delete (void* p, std::align_val_t) noexcept { __libc_free (p); }
void operator delete[] (void* p, std::align_val_t) noexcept { __libc_free (p); }
void operator delete (void* p, std::size_t, std::align_val_t) noexcept { __libc_free (p); }
void operator delete[] (void* p, std::size_t, std::align_val_t) noexcept { __libc_free (p); }
void operator delete (void* p, const std::nothrow_t&) noexcept { __libc_free (p); }
void operator delete[] (void* p, const std::nothrow_t&) noexcept { __libc_free (p); }
#endif
