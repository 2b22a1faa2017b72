#include "platform/ExclusiveFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Platform {

namespace {

// A replacing holder may rename a new file over the path between our open and our lock; then we
// hold the old file and open again. Bounded, because each round means another holder finished.
constexpr int kOpenAttempts = 8;

bool NamesSameFile(int nHandle, const std::string& strPath) {
    struct stat held;
    struct stat named;
    return ::fstat(nHandle, &held) == 0 && ::stat(strPath.c_str(), &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

} // namespace

CExclusiveFile::~CExclusiveFile() {
    Close();
}

bool CExclusiveFile::Open(const std::string& strPath, bool bCreate) {
    Close();
    int nFlags = O_RDONLY | O_CLOEXEC | (bCreate ? O_CREAT : 0);
    for (int nAttempt = 0; nAttempt < kOpenAttempts; ++nAttempt) {
        int nHandle = ::open(strPath.c_str(), nFlags, 0644);
        if (nHandle < 0)
            return false;
        // flock locks belong to the open file, so a second open in this same process is refused too.
        if (::flock(nHandle, LOCK_EX | LOCK_NB) != 0) {
            int nError = errno;
            ::close(nHandle);
            errno = nError;
            return false;
        }
        if (NamesSameFile(nHandle, strPath)) {
            m_nHandle = nHandle;
            return true;
        }
        ::close(nHandle);
    }
    errno = EBUSY;
    return false;
}

long CExclusiveFile::Read(char* pBuffer, size_t nSize) {
    if (m_nHandle < 0) {
        errno = EBADF;
        return -1;
    }
    ssize_t nRead;
    do {
        nRead = ::read(m_nHandle, pBuffer, nSize);
    } while (nRead < 0 && errno == EINTR);
    return static_cast<long>(nRead);
}

void CExclusiveFile::Close() {
    if (m_nHandle >= 0)
        ::close(m_nHandle);
    m_nHandle = -1;
}

} // namespace Platform
