#include "FileReplacement.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lorquist::BrowserIntegration
{
    namespace
    {
        // The file a link leads to, so that a save through it changes that file as writing in place did.
        juce::File followLinks (const juce::File& file)
        {
            char resolved[PATH_MAX];
            if (file.isSymbolicLink() && ::realpath (file.getFullPathName().toRawUTF8(), resolved) != nullptr)
                return juce::File (juce::String::fromUTF8 (resolved));
            return file;
        }

        // A new file of this process's own in the folder, made with the permissions a new file gets.
        int createTemporary (const juce::File& folder, juce::File& temporary)
        {
            for (int attempt = 0; attempt < 16; ++attempt)
            {
                // Hidden, so that no listing shows it even if the application dies half-way.
                temporary = folder.getChildFile (".calbrix-save-" + juce::String::toHexString (juce::Random::getSystemRandom().nextInt64()));
                const auto descriptor = ::open (temporary.getFullPathName().toRawUTF8(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
                if (descriptor >= 0 || errno != EEXIST)
                    return descriptor;
            }
            return -1;
        }

        bool writeAll (int descriptor, const char* data, size_t size)
        {
            while (size > 0)
            {
                const auto written = ::write (descriptor, data, size);
                if (written < 0 && errno == EINTR)
                    continue;
                if (written <= 0)
                    return false;
                data += written;
                size -= static_cast<size_t> (written);
            }
            return true;
        }

        // Writes the file where it is: for a folder that lets no new file be made in it.
        bool rewriteInPlace (const juce::String& path, const char* data, size_t size)
        {
            // Without waiting: a FIFO with no reader would block the open for good.
            const auto descriptor = ::open (path.toRawUTF8(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (descriptor < 0)
                return false;

            struct stat info {};
            auto written = ::fstat (descriptor, &info) == 0 && S_ISREG (info.st_mode);

            // A disk without room for the new content says so here, before a byte is overwritten;
            // a file system that cannot reserve room is written all the same.
            if (written && size > 0)
            {
                const auto reserved = ::posix_fallocate (descriptor, 0, static_cast<off_t> (size));
                written = reserved == 0 || reserved == EOPNOTSUPP || reserved == EINVAL;
            }

            written = written && writeAll (descriptor, data, size)
                      && ::ftruncate (descriptor, static_cast<off_t> (size)) == 0
                      && ::fsync (descriptor) == 0;
            return ::close (descriptor) == 0 && written;
        }
    } // namespace

    bool replaceFileContent (const juce::File& requested, const void* data, size_t size)
    {
        const auto file = followLinks (requested);
        const auto path = file.getFullPathName();

        // A file that may not be written stays so, although its folder would let it be replaced.
        if (::access (path.toRawUTF8(), F_OK) == 0 && ::access (path.toRawUTF8(), W_OK) != 0)
            return false;

        juce::File temporary;
        const auto descriptor = createTemporary (file.getParentDirectory(), temporary);
        if (descriptor < 0)
            return (errno == EACCES || errno == EPERM) && rewriteInPlace (path, static_cast<const char*> (data), size);

        auto written = writeAll (descriptor, static_cast<const char*> (data), size);

        struct stat old {};
        if (written && ::stat (path.toRawUTF8(), &old) == 0)
            written = ::fchmod (descriptor, old.st_mode & 07777) == 0;

        // The content is on the disk before the name points at it.
        written = written && ::fsync (descriptor) == 0;
        written = ::close (descriptor) == 0 && written;

        if (written && ::rename (temporary.getFullPathName().toRawUTF8(), path.toRawUTF8()) == 0)
            return true;

        ::unlink (temporary.getFullPathName().toRawUTF8());
        return false;
    }
} // namespace lorquist::BrowserIntegration
