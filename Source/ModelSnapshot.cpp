#include "ModelSnapshot.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace
{
    struct OwnedDescriptor
    {
        explicit OwnedDescriptor (int d) noexcept : fd (d) {}
        ~OwnedDescriptor() { if (fd >= 0) ::close (fd); }
        int release() noexcept { return std::exchange (fd, -1); }
        int fd;
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

    // Room the copy may take: the machine's memory. A file that does not fit could not be loaded
    // either, and copying it would only push the system out of memory.
    uint64_t machineMemory()
    {
        const auto pages = ::sysconf (_SC_PHYS_PAGES);
        const auto pageSize = ::sysconf (_SC_PAGESIZE);
        return pages > 0 && pageSize > 0 ? static_cast<uint64_t> (pages) * static_cast<uint64_t> (pageSize) : UINT64_MAX;
    }
} // namespace

ModelSnapshot::~ModelSnapshot()
{
    if (fd >= 0)
        ::close (fd);
}

ModelSnapshot::ModelSnapshot (ModelSnapshot&& other) noexcept
    : fd (std::exchange (other.fd, -1)), bytes (std::exchange (other.bytes, 0))
{
}

ModelSnapshot& ModelSnapshot::operator= (ModelSnapshot&& other) noexcept
{
    if (this != &other)
    {
        if (fd >= 0)
            ::close (fd);
        fd = std::exchange (other.fd, -1);
        bytes = std::exchange (other.bytes, 0);
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

    const auto size = static_cast<uint64_t> (info.st_size);
    if (size > machineMemory())
    {
        whyNot = "the file (" + std::to_string (size >> 20) + " MiB) is larger than the memory of this machine";
        return {};
    }

    OwnedDescriptor copy (::memfd_create ("calbrix-model", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (copy.fd < 0)
    {
        whyNot = systemError ("no memory for a copy of the file");
        return {};
    }

    // The size seen now is the size taken: a file that grows meanwhile is cut there, one that
    // shrinks gives a shorter copy, which the check and the load then see alike.
    off_t offset = 0;
    while (static_cast<uint64_t> (offset) < size)
    {
        if (stop && stop())
            return {};
        const auto chunk = static_cast<size_t> (std::min<uint64_t> (size - static_cast<uint64_t> (offset), 64u << 20));
        const auto copied = ::sendfile (copy.fd, file.fd, &offset, chunk);
        if (copied < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (copied < 0)
        {
            whyNot = systemError ("the file could not be read");
            return {};
        }
        if (copied == 0)
            break;
    }

    if (::fcntl (copy.fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0)
    {
        whyNot = systemError ("the copy of the file could not be sealed");
        return {};
    }

    return ModelSnapshot (copy.release(), static_cast<uint64_t> (offset));
}
