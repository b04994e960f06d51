#pragma once

#include <cstdint>
#include <string>

// A private, sealed copy of a model file in memory. The check in a separate process and the load
// in this one both read the snapshot, never the file: whatever rewrites the file meanwhile (a page
// saving over it, a copy in place) cannot change the bytes between the check and the load.
// Only regular files are taken, and opening never blocks, so a FIFO or a device in the models
// folder is refused at once instead of hanging the load.
class ModelSnapshot
{
public:
    ModelSnapshot() = default;
    ~ModelSnapshot();
    ModelSnapshot (ModelSnapshot&&) noexcept;
    ModelSnapshot& operator= (ModelSnapshot&&) noexcept;
    ModelSnapshot (const ModelSnapshot&) = delete;
    ModelSnapshot& operator= (const ModelSnapshot&) = delete;

    // True when nothing is at `path` or it is a folder (or a link to one): no load is even tried
    // then. Anything else is tried, and `take` refuses what is not a regular file. (The framework's
    // own directory test takes a socket for a folder.)
    static bool namesNothingOrAFolder (const std::string& path);

    // The snapshot of the file at `path`; on failure an invalid one, with `whyNot` telling why
    // ("not a regular file (a FIFO)", "could not be opened: ...").
    static ModelSnapshot take (const std::string& path, std::string& whyNot);

    bool isValid() const noexcept { return fd >= 0; }
    // A read-only descriptor of the sealed copy, owned by the snapshot.
    int descriptor() const noexcept { return fd; }
    uint64_t size() const noexcept { return bytes; }

private:
    ModelSnapshot (int descriptor, uint64_t size) noexcept : fd (descriptor), bytes (size) {}

    int fd = -1;
    uint64_t bytes = 0;
};
