#pragma once

#include <cstddef>

namespace SystemLog {

// Every write and sync of the spill journal's segment files, and every sync of its directory,
// goes through these calls, so that a test can make any one of them fail (or end the process
// right before it) at a chosen point.
enum class SpillIoPoint
{
    Write,   // a write of frames or of a segment's header
    Sync,    // fdatasync of a segment
    DirSync, // fsync of the journal's directory after a segment was created or removed
};

// Called before each operation; a non-zero return is an errno with which that operation fails
// without being done. The hook may also end the process itself. None by default.
using SpillFaultHook = int (*)(SpillIoPoint);
void setSpillFaultHook(SpillFaultHook hook);

// Writes the `size` bytes at `data` to `fd` in one write (continued only after a short write).
// Returns 0, or the errno with which it failed; after a failure an unknown part may be written.
int spillWrite(int fd, const void *data, std::size_t size);
// fdatasync of `fd`: 0 or the errno.
int spillSync(int fd);
// fsync of the open directory `dirFd`: 0 or the errno.
int spillDirSync(int dirFd);

} // namespace SystemLog
