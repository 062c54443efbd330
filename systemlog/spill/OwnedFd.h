#pragma once

#include <unistd.h>

namespace SystemLog {

// A file descriptor closed when it goes out of scope, on every path.
struct OwnedFd
{
    int fd = -1;

    OwnedFd() = default;
    OwnedFd(const OwnedFd &) = delete;
    OwnedFd &operator=(const OwnedFd &) = delete;
    ~OwnedFd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

} // namespace SystemLog
