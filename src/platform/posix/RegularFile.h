#pragma once

// Linux-only: the opens of the agent's own files, which must be regular ones.

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace Platform {
namespace Posix {

// open(2) of the agent's own files: a pipe, a device or a folder put at the path is refused (EISDIR
// for a folder, EINVAL otherwise) rather than read or written, and O_NONBLOCK keeps the open of a
// pipe from waiting for its other end; a regular file ignores it. -1 on failure.
inline int OpenRegularFile(const std::string& strPath, int nFlags, mode_t nMode = 0) {
    int nHandle = ::open(strPath.c_str(), nFlags | O_NONBLOCK, nMode);
    if (nHandle < 0)
        return -1;
    struct stat info;
    int nError = ::fstat(nHandle, &info) != 0 ? errno
                 : S_ISREG(info.st_mode)      ? 0
                 : S_ISDIR(info.st_mode)      ? EISDIR
                                              : EINVAL;
    if (nError == 0)
        return nHandle;
    ::close(nHandle);
    errno = nError;
    return -1;
}

constexpr int kOpenOrCreateRounds = 8;

// Opens the path, with bCreate making it when it is missing; bCreated tells whether this call made
// it. Another process may create or remove it meanwhile, hence the bounded rounds; EBUSY when they
// ran out.
inline int OpenOrCreateRegularFile(const std::string& strPath, int nFlags, bool bCreate, bool& bCreated) {
    bCreated = false;
    for (int nAttempt = 0; nAttempt < kOpenOrCreateRounds; ++nAttempt) {
        int nHandle = OpenRegularFile(strPath, nFlags);
        if (nHandle >= 0 || errno != ENOENT || !bCreate)
            return nHandle;
        nHandle = OpenRegularFile(strPath, nFlags | O_CREAT | O_EXCL, 0644);
        if (nHandle >= 0) {
            bCreated = true;
            return nHandle;
        }
        if (errno != EEXIST)
            return -1;
    }
    errno = EBUSY;
    return -1;
}

} // namespace Posix
} // namespace Platform
