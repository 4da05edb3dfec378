// Writes a whole buffer through short writes and interrupted calls.
#pragma once

#include <errno.h>
#include <unistd.h>

#include <cstddef>

// False, with errno set, when the descriptor takes no more (a write of nothing reads ENOSPC).
inline bool WriteAll(int fd, const void* data, size_t len) {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        const ssize_t n = ::write(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}
