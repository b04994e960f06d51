#include "SnapshotModuleLoader.h"

#include <caffe2/serialize/read_adapter_interface.h>

#include <cerrno>
#include <unistd.h>

namespace
{
    // The runtime's reader asks for records by offset; the snapshot is sealed, so concurrent
    // positioned reads are safe and always see the same bytes.
    class DescriptorReader final : public caffe2::serialize::ReadAdapterInterface
    {
    public:
        DescriptorReader (int descriptor, uint64_t bytes) : fd (descriptor), total (bytes) {}

        size_t size() const override { return static_cast<size_t> (total); }

        size_t read (uint64_t position, void* buffer, size_t count, const char*) const override
        {
            size_t done = 0;
            while (done < count && position + done < total)
            {
                const auto got = ::pread (fd, static_cast<char*> (buffer) + done, count - done, static_cast<off_t> (position + done));
                if (got < 0 && errno == EINTR)
                    continue;
                if (got <= 0)
                    break;
                done += static_cast<size_t> (got);
            }
            return done;
        }

    private:
        int fd;
        uint64_t total;
    };
} // namespace

torch::jit::Module loadModuleFromSnapshot (int descriptor, uint64_t size)
{
    return torch::jit::load (std::make_shared<DescriptorReader> (descriptor, size));
}

void listModuleMethods (const torch::jit::Module& module)
{
    for (auto* function : module.type()->methods())
        torch::jit::Method method (module._ivalue(), function);
}
