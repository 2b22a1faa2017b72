#include "platform/FileReplacement.h"

#include "platform/FileSystem.h"
#include "platform/posix/WriteAll.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace Platform {

CFileReplacement::~CFileReplacement() {
    Abandon();
}

bool CFileReplacement::Begin(const std::string& strPath) {
    Abandon();
    m_strPath = strPath;
    m_strTempPath = strPath + ".tmp";
    m_nHandle = ::open(m_strTempPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    return m_nHandle >= 0;
}

bool CFileReplacement::Write(const char* pData, size_t nSize) {
    if (m_nHandle < 0) {
        errno = EBADF;
        return false;
    }
    return Posix::WriteAll(m_nHandle, pData, nSize);
}

bool CFileReplacement::Commit() {
    if (m_nHandle < 0) {
        errno = EBADF;
        return false;
    }
    bool bFlushed = ::fsync(m_nHandle) == 0;
    int nError = errno;
    if (::close(m_nHandle) != 0 && bFlushed) {
        bFlushed = false;
        nError = errno;
    }
    m_nHandle = -1;
    if (bFlushed && ::rename(m_strTempPath.c_str(), m_strPath.c_str()) == 0) {
        m_strTempPath.clear();
        // The new content is in place; flushing the folder entry only makes the rename itself
        // survive a power loss, so a failure here does not undo a replacement that took place.
        (void)FlushFolderEntry(m_strPath);
        return true;
    }
    if (bFlushed)
        nError = errno;
    Abandon();
    errno = nError;
    return false;
}

void CFileReplacement::Abandon() {
    if (m_nHandle >= 0)
        ::close(m_nHandle);
    m_nHandle = -1;
    if (!m_strTempPath.empty())
        ::unlink(m_strTempPath.c_str());
    m_strTempPath.clear();
}

} // namespace Platform
