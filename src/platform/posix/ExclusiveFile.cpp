#include "platform/ExclusiveFile.h"

#include "platform/FileSystem.h"
#include "platform/posix/RegularFile.h"
#include "platform/posix/UniqueFd.h"
#include "platform/posix/WriteAll.h"

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

struct CExclusiveFile::CImpl {
    Posix::CUniqueFd file;
    std::string strPath;
    // Created by this object's Open and its folder entry not flushed yet.
    bool bCreated = false;

    // The file's data alone does not survive a power loss while its name in the folder does not.
    bool FlushCreatedEntry() {
        if (!bCreated)
            return true;
        if (!FlushFolderEntry(strPath))
            return false;
        bCreated = false;
        return true;
    }
    // False with EBADF when nothing is held.
    bool IsHeld() const {
        if (!file.IsOpen())
            errno = EBADF;
        return file.IsOpen();
    }
};

CExclusiveFile::CExclusiveFile() : m_pImpl(std::make_unique<CImpl>()) {}

CExclusiveFile::~CExclusiveFile() = default;

bool CExclusiveFile::Open(const std::string& strPath, bool bCreate, bool bWrite) {
    Close();
    // O_APPEND: even a writer that ignores the lock (an operator's shell) is never overwritten.
    int nFlags = (bWrite ? O_RDWR | O_APPEND : O_RDONLY) | O_CLOEXEC;
    for (int nAttempt = 0; nAttempt < kOpenAttempts; ++nAttempt) {
        bool bCreated = false;
        Posix::CUniqueFd file(Posix::OpenOrCreateRegularFile(strPath, nFlags, bCreate, bCreated));
        if (!file.IsOpen())
            return false;
        // flock locks belong to the open file, so a second open in this same process is refused too.
        if (::flock(file.Get(), LOCK_EX | LOCK_NB) != 0)
            return false;
        if (NamesSameFile(file.Get(), strPath)) {
            m_pImpl->file = std::move(file);
            m_pImpl->strPath = strPath;
            m_pImpl->bCreated = bCreated;
            return true;
        }
    }
    errno = EBUSY;
    return false;
}

long long CExclusiveFile::GetSize() {
    struct stat info;
    if (!m_pImpl->IsHeld() || ::fstat(m_pImpl->file.Get(), &info) != 0)
        return -1;
    return static_cast<long long>(info.st_size);
}

long CExclusiveFile::Read(char* pBuffer, size_t nSize) {
    if (!m_pImpl->IsHeld())
        return -1;
    ssize_t nRead;
    do {
        nRead = ::read(m_pImpl->file.Get(), pBuffer, nSize);
    } while (nRead < 0 && errno == EINTR);
    return static_cast<long>(nRead);
}

long CExclusiveFile::ReadAt(long long nOffset, char* pBuffer, size_t nSize) {
    if (!m_pImpl->IsHeld())
        return -1;
    if (nOffset < 0) {
        errno = EINVAL;
        return -1;
    }
    ssize_t nRead;
    do {
        nRead = ::pread(m_pImpl->file.Get(), pBuffer, nSize, static_cast<off_t>(nOffset));
    } while (nRead < 0 && errno == EINTR);
    return static_cast<long>(nRead);
}

bool CExclusiveFile::AppendDurably(const char* pData, size_t nSize) {
    return m_pImpl->IsHeld() && Posix::WriteAll(m_pImpl->file.Get(), pData, nSize) &&
           ::fdatasync(m_pImpl->file.Get()) == 0 && m_pImpl->FlushCreatedEntry();
}

bool CExclusiveFile::Truncate(long long nSize) {
    if (!m_pImpl->IsHeld())
        return false;
    if (nSize < 0) {
        errno = EINVAL;
        return false;
    }
    int nResult;
    do {
        nResult = ::ftruncate(m_pImpl->file.Get(), static_cast<off_t>(nSize));
    } while (nResult != 0 && errno == EINTR);
    return nResult == 0 && ::fdatasync(m_pImpl->file.Get()) == 0;
}

void CExclusiveFile::Close() {
    m_pImpl->file.Reset();
    m_pImpl->bCreated = false;
}

} // namespace Platform
