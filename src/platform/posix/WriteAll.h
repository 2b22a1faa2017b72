#pragma once

#include <cerrno>
#include <cstddef>
#include <unistd.h>

namespace Platform {
namespace Posix {

// Writes all of the bytes, going on after a short write or an interrupted one. False on failure,
// with errno set (a full disk, a file size limit).
inline bool WriteAll(int nHandle, const char* pData, size_t nSize) {
    while (nSize > 0) {
        ssize_t nWritten = ::write(nHandle, pData, nSize);
        if (nWritten < 0 && errno == EINTR)
            continue;
        if (nWritten <= 0)
            return false;
        pData += nWritten;
        nSize -= static_cast<size_t>(nWritten);
    }
    return true;
}

} // namespace Posix
} // namespace Platform
