#include "platform/ExclusiveFile.h"

#include "platform/posix/WriteAll.h"

#include "platform/FileSystem.h"

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

// Opens the path, with bCreate making it when it is missing; bCreated tells whether this call made
// it. Another process may create or remove it meanwhile, hence the bounded rounds.
int OpenOrCreate(const std::string& strPath, int nFlags, bool bCreate, bool& bCreated) {
    bCreated = false;
    for (int nAttempt = 0; nAttempt < kOpenAttempts; ++nAttempt) {
        int nHandle = ::open(strPath.c_str(), nFlags);
        if (nHandle >= 0 || errno != ENOENT || !bCreate)
            return nHandle;
        nHandle = ::open(strPath.c_str(), nFlags | O_CREAT | O_EXCL, 0644);
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

} // namespace

CExclusiveFile::~CExclusiveFile() {
    Close();
}

bool CExclusiveFile::Open(const std::string& strPath, bool bCreate, bool bWrite) {
    Close();
    // O_APPEND: even a writer that ignores the lock (an operator's shell) is never overwritten.
    int nFlags = (bWrite ? O_RDWR | O_APPEND : O_RDONLY) | O_CLOEXEC;
    for (int nAttempt = 0; nAttempt < kOpenAttempts; ++nAttempt) {
        bool bCreated = false;
        int nHandle = OpenOrCreate(strPath, nFlags, bCreate, bCreated);
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
            m_strPath = strPath;
            m_bCreated = bCreated;
            return true;
        }
        ::close(nHandle);
    }
    errno = EBUSY;
    return false;
}

long long CExclusiveFile::GetSize() {
    struct stat info;
    if (m_nHandle < 0 || ::fstat(m_nHandle, &info) != 0) {
        if (m_nHandle < 0)
            errno = EBADF;
        return -1;
    }
    return static_cast<long long>(info.st_size);
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

long CExclusiveFile::ReadAt(long long nOffset, char* pBuffer, size_t nSize) {
    if (m_nHandle < 0 || nOffset < 0) {
        errno = m_nHandle < 0 ? EBADF : EINVAL;
        return -1;
    }
    ssize_t nRead;
    do {
        nRead = ::pread(m_nHandle, pBuffer, nSize, static_cast<off_t>(nOffset));
    } while (nRead < 0 && errno == EINTR);
    return static_cast<long>(nRead);
}

bool CExclusiveFile::AppendDurably(const char* pData, size_t nSize) {
    if (m_nHandle < 0) {
        errno = EBADF;
        return false;
    }
    return Posix::WriteAll(m_nHandle, pData, nSize) && ::fdatasync(m_nHandle) == 0 && FlushCreatedEntry();
}

bool CExclusiveFile::Truncate(long long nSize) {
    if (m_nHandle < 0 || nSize < 0) {
        errno = m_nHandle < 0 ? EBADF : EINVAL;
        return false;
    }
    int nResult;
    do {
        nResult = ::ftruncate(m_nHandle, static_cast<off_t>(nSize));
    } while (nResult != 0 && errno == EINTR);
    return nResult == 0 && ::fdatasync(m_nHandle) == 0;
}

// The file's data alone does not survive a power loss while its name in the folder does not.
bool CExclusiveFile::FlushCreatedEntry() {
    if (!m_bCreated)
        return true;
    if (!FlushFolderEntry(m_strPath))
        return false;
    m_bCreated = false;
    return true;
}

void CExclusiveFile::Close() {
    if (m_nHandle >= 0)
        ::close(m_nHandle);
    m_nHandle = -1;
    m_bCreated = false;
}

} // namespace Platform
