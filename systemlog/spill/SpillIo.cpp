#include "spill/SpillIo.h"

#include <atomic>
#include <cerrno>

#include <unistd.h>

namespace SystemLog {

namespace {

std::atomic<SpillFaultHook> faultHook{nullptr};

int fault(SpillIoPoint point)
{
    const SpillFaultHook hook = faultHook.load(std::memory_order_relaxed);
    return hook ? hook(point) : 0;
}

} // namespace

void setSpillFaultHook(SpillFaultHook hook)
{
    faultHook.store(hook, std::memory_order_relaxed);
}

int spillWrite(int fd, const void *data, std::size_t size)
{
    if (const int error = fault(SpillIoPoint::Write))
        return error;
    const char *at = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, at, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (written == 0)
            return EIO;
        at += written;
        size -= static_cast<std::size_t>(written);
    }
    return 0;
}

int spillSync(int fd)
{
    if (const int error = fault(SpillIoPoint::Sync))
        return error;
    while (::fdatasync(fd) != 0) {
        if (errno != EINTR)
            return errno;
    }
    return 0;
}

int spillDirSync(int dirFd)
{
    if (const int error = fault(SpillIoPoint::DirSync))
        return error;
    while (::fsync(dirFd) != 0) {
        if (errno != EINTR)
            return errno;
    }
    return 0;
}

} // namespace SystemLog
