#include "ModelSnapshot.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace
{
    constexpr uint64_t mebibyte = 1u << 20;
    constexpr uint64_t copyChunk = 64 * mebibyte;
    // Kept free for everything else on the machine, at most this and an eighth of its memory.
    constexpr uint64_t roomToSpare = 512 * mebibyte;

    struct OwnedDescriptor
    {
        explicit OwnedDescriptor (int d) noexcept : fd (d) {}
        ~OwnedDescriptor() { if (fd >= 0) ::close (fd); }
        int release() noexcept { return std::exchange (fd, -1); }
        int fd;
    };

    struct OwnedMapping
    {
        OwnedMapping (void* a, uint64_t s) noexcept : address (a), size (s) {}
        ~OwnedMapping() { unmap(); }
        void unmap() noexcept
        {
            if (address != nullptr && address != MAP_FAILED)
                ::munmap (address, size);
            address = nullptr;
        }
        void* release() noexcept { return std::exchange (address, nullptr); }
        void* address;
        uint64_t size;
    };

    const char* kindOfFile (mode_t mode)
    {
        if (S_ISDIR (mode))  return "a folder";
        if (S_ISFIFO (mode)) return "a FIFO";
        if (S_ISCHR (mode))  return "a character device";
        if (S_ISBLK (mode))  return "a block device";
        if (S_ISSOCK (mode)) return "a socket";
        return "not a file";
    }

    std::string systemError (const char* what)
    {
        return std::string (what) + ": " + std::strerror (errno);
    }

    uint64_t machineMemory()
    {
        const auto pages = ::sysconf (_SC_PHYS_PAGES);
        const auto pageSize = ::sysconf (_SC_PAGESIZE);
        return pages > 0 && pageSize > 0 ? static_cast<uint64_t> (pages) * static_cast<uint64_t> (pageSize) : UINT64_MAX;
    }

    // What the system could give without swapping (its page cache counted as free), or the
    // machine's memory on a system that does not say.
    uint64_t availableMemory()
    {
        std::ifstream info ("/proc/meminfo");
        std::string name;
        uint64_t kibibytes = 0;
        std::string unit;
        while (info >> name >> kibibytes >> unit)
            if (name == "MemAvailable:")
                return kibibytes * 1024;
        return machineMemory();
    }

    uint64_t numberIn (const std::string& path)
    {
        std::ifstream file (path);
        uint64_t value = UINT64_MAX;
        if (! (file >> value)) // "max", or no such file
            return UINT64_MAX;
        return value;
    }

    // The memory limit of this process's control group, if it has one.
    uint64_t groupMemoryLimit()
    {
        std::ifstream groups ("/proc/self/cgroup");
        uint64_t limit = UINT64_MAX;
        for (std::string line; std::getline (groups, line);)
        {
            const auto path = line.substr (line.rfind (':') + 1);
            if (line.rfind ("0::", 0) == 0)
                limit = std::min (limit, numberIn ("/sys/fs/cgroup" + path + "/memory.max"));
            else if (line.find (":memory:") != std::string::npos)
                limit = std::min (limit, numberIn ("/sys/fs/cgroup/memory" + path + "/memory.limit_in_bytes"));
        }
        return limit;
    }

    std::string inMebibytes (uint64_t bytes)
    {
        return std::to_string (bytes / mebibyte) + " MiB";
    }
} // namespace

uint64_t ModelSnapshot::largestFileSize()
{
    const uint64_t available = std::min (availableMemory(), groupMemoryLimit());
    const uint64_t spare = std::min (roomToSpare, machineMemory() / 8);
    return available > spare ? (available - spare) / 2 : 0;
}

ModelSnapshot::~ModelSnapshot()
{
    release();
}

void ModelSnapshot::release() noexcept
{
    if (mapping != nullptr)
        ::munmap (mapping, bytes);
    if (fd >= 0)
        ::close (fd);
    mapping = nullptr;
    fd = -1;
    bytes = 0;
}

ModelSnapshot::ModelSnapshot (ModelSnapshot&& other) noexcept
    : fd (std::exchange (other.fd, -1)), bytes (std::exchange (other.bytes, 0)), mapping (std::exchange (other.mapping, nullptr))
{
}

ModelSnapshot& ModelSnapshot::operator= (ModelSnapshot&& other) noexcept
{
    if (this != &other)
    {
        release();
        fd = std::exchange (other.fd, -1);
        bytes = std::exchange (other.bytes, 0);
        mapping = std::exchange (other.mapping, nullptr);
    }
    return *this;
}

bool ModelSnapshot::namesNothingOrAFolder (const std::string& path)
{
    struct stat info {};
    return path.empty() || ::stat (path.c_str(), &info) != 0 || S_ISDIR (info.st_mode);
}

ModelSnapshot ModelSnapshot::take (const std::string& path, std::string& whyNot, const std::function<bool()>& stop)
{
    // Non-blocking: opening a FIFO for reading would otherwise wait for a writer for ever.
    OwnedDescriptor file (::open (path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (file.fd < 0)
    {
        whyNot = systemError ("the file could not be opened");
        return {};
    }

    struct stat info {};
    if (::fstat (file.fd, &info) != 0)
    {
        whyNot = systemError ("the file could not be read");
        return {};
    }

    if (! S_ISREG (info.st_mode))
    {
        whyNot = std::string ("not a regular file (") + kindOfFile (info.st_mode) + ")";
        return {};
    }

    // Judged by the size the file claims, before a byte is copied: a sparse file takes no room
    // on disk, but its copy would take all of it in memory.
    const auto size = static_cast<uint64_t> (info.st_size);
    if (const auto largest = largestFileSize(); size > largest)
    {
        whyNot = "the file (" + inMebibytes (size) + ") is too large for the memory available now: loading it needs "
                 "about twice its size, and at most " + inMebibytes (largest) + " can be taken";
        return {};
    }

    OwnedDescriptor copy (::memfd_create ("calbrix-model", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (copy.fd < 0 || ::ftruncate (copy.fd, static_cast<off_t> (size)) != 0)
    {
        whyNot = systemError ("no memory for a copy of the file");
        return {};
    }

    // Copied through a mapping, so that each page counts as this process's memory as it is made
    // (pages written into the descriptor directly would belong to no process that the system
    // weighs when memory runs out).
    OwnedMapping writable (size > 0 ? ::mmap (nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, copy.fd, 0) : nullptr, size);
    if (writable.address == MAP_FAILED)
    {
        whyNot = systemError ("no memory for a copy of the file");
        return {};
    }

    // The size seen now is the size taken: a file that grows meanwhile is cut there, one that
    // shrinks gives a shorter copy, which the check and the load then see alike.
    uint64_t copied = 0;
    while (copied < size)
    {
        if (stop && stop())
            return {};
        const auto chunk = static_cast<size_t> (std::min (size - copied, copyChunk));
        const auto got = ::pread (file.fd, static_cast<char*> (writable.address) + copied, chunk, static_cast<off_t> (copied));
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got < 0)
        {
            whyNot = systemError (errno == EFAULT ? "no memory for a copy of the file" : "the file could not be read");
            return {};
        }
        if (got == 0)
            break;
        copied += static_cast<uint64_t> (got);
    }

    // A writable mapping would keep the copy from being sealed.
    writable.unmap();
    if (copied < size && ::ftruncate (copy.fd, static_cast<off_t> (copied)) != 0)
    {
        whyNot = systemError ("the copy of the file could not be made");
        return {};
    }

    if (::fcntl (copy.fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0)
    {
        whyNot = systemError ("the copy of the file could not be sealed");
        return {};
    }

    OwnedMapping readable (copied > 0 ? ::mmap (nullptr, copied, PROT_READ, MAP_SHARED | MAP_POPULATE, copy.fd, 0) : nullptr, copied);
    if (readable.address == MAP_FAILED)
    {
        whyNot = systemError ("no memory for a copy of the file");
        return {};
    }

    return ModelSnapshot (copy.release(), copied, readable.release());
}
