#pragma once

#include <cstdint>
#include <functional>
#include <string>

// A private, sealed copy of a model file in memory. The check in a separate process and the load
// in this one both read the snapshot, never the file: whatever rewrites the file meanwhile (a page
// saving over it, a copy in place) cannot change the bytes between the check and the load.
// Only regular files are taken, and opening never blocks, so a FIFO or a device in the models
// folder is refused at once instead of hanging the load. A file too large for the memory that the
// machine has free is refused before anything is copied. The copy stays mapped into this process
// for as long as the snapshot lives, so that the system counts it as this process's memory.
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
    // ("not a regular file (a FIFO)", "could not be opened: ..."). `stop`, asked between chunks of
    // a large file, gives up early (an invalid snapshot, nothing to tell).
    static ModelSnapshot take (const std::string& path, std::string& whyNot, const std::function<bool()>& stop = {});

    // The largest file `take` copies now: the check and the load each hold the copy and the module
    // read out of it (about as large again), so twice the file has to fit into the memory that is
    // available, with room left for the rest of the system. Read afresh at each call.
    static uint64_t largestFileSize();

    bool isValid() const noexcept { return fd >= 0; }
    // A read-only descriptor of the sealed copy, owned by the snapshot.
    int descriptor() const noexcept { return fd; }
    uint64_t size() const noexcept { return bytes; }

private:
    ModelSnapshot (int descriptor, uint64_t size, void* mapped) noexcept : fd (descriptor), bytes (size), mapping (mapped) {}
    void release() noexcept;

    int fd = -1;
    uint64_t bytes = 0;
    void* mapping = nullptr; // the whole copy, read-only; null when it is empty
};
