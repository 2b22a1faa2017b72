#include "platform/FileReplacement.h"

#include "platform/FileSystem.h"
#include "platform/posix/UniqueFd.h"
#include "platform/posix/WriteAll.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace Platform {

struct CFileReplacement::CImpl {
    Posix::CUniqueFd file;
    std::string strPath;
    std::string strTempPath;

    void Abandon() {
        file.Reset();
        if (!strTempPath.empty()) {
            Posix::CErrnoKeeper keepError;
            ::unlink(strTempPath.c_str());
        }
        strTempPath.clear();
    }
};

CFileReplacement::CFileReplacement() : m_pImpl(std::make_unique<CImpl>()) {}

CFileReplacement::~CFileReplacement() {
    m_pImpl->Abandon();
}

bool CFileReplacement::Begin(const std::string& strPath) {
    m_pImpl->Abandon();
    m_pImpl->strPath = strPath;
    m_pImpl->strTempPath = strPath + ".tmp";
    // A leftover is removed, not truncated: were it a link, the new content would go through it to
    // another file and the rename would put the link in the path's place. O_EXCL never follows one.
    if (::unlink(m_pImpl->strTempPath.c_str()) != 0 && errno != ENOENT)
        return false;
    m_pImpl->file.Reset(
        ::open(m_pImpl->strTempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    return m_pImpl->file.IsOpen();
}

bool CFileReplacement::Write(const char* pData, size_t nSize) {
    if (!m_pImpl->file.IsOpen()) {
        errno = EBADF;
        return false;
    }
    return Posix::WriteAll(m_pImpl->file.Get(), pData, nSize);
}

// A rename replaces an open file here: any holder keeps its hold.
bool CFileReplacement::Commit(CExclusiveFile*) {
    if (!m_pImpl->file.IsOpen()) {
        errno = EBADF;
        return false;
    }
    bool bFlushed = ::fsync(m_pImpl->file.Get()) == 0;
    int nError = errno;
    if (m_pImpl->file.Close() != 0 && bFlushed) {
        bFlushed = false;
        nError = errno;
    }
    if (bFlushed && ::rename(m_pImpl->strTempPath.c_str(), m_pImpl->strPath.c_str()) == 0) {
        m_pImpl->strTempPath.clear();
        // The new content is in place; flushing the folder entry only makes the rename itself
        // survive a power loss, so a failure here does not undo a replacement that took place.
        (void)FlushFolderEntry(m_pImpl->strPath);
        return true;
    }
    if (bFlushed)
        nError = errno;
    m_pImpl->Abandon();
    errno = nError;
    return false;
}

} // namespace Platform
