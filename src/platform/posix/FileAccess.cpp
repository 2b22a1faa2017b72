#include "platform/FileAccess.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace Platform {

namespace {

class CHandle {
  public:
    explicit CHandle(int nHandle) : m_nHandle(nHandle) {}
    ~CHandle() {
        if (m_nHandle >= 0)
            ::close(m_nHandle);
    }
    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;
    int Get() const { return m_nHandle; }
    // Closes now, for callers that need the result of the close (a late write error).
    int Close() {
        int nResult = ::close(m_nHandle);
        m_nHandle = -1;
        return nResult;
    }

  private:
    int m_nHandle;
};

bool IsNumeric(const char* szName) {
    if (*szName == '\0')
        return false;
    for (; *szName; ++szName)
        if (*szName < '0' || *szName > '9')
            return false;
    return true;
}

// True when a descriptor of some process, other than ignoredHandle of ours, names the file.
bool IsOpenByAnyProcess(const struct stat& file, int nIgnoredHandle) {
    DIR* pProcesses = ::opendir("/proc");
    if (pProcesses == nullptr)
        return false;
    std::string strSelf = std::to_string(::getpid());
    bool bOpen = false;
    while (!bOpen) {
        struct dirent* pProcess = ::readdir(pProcesses);
        if (pProcess == nullptr)
            break;
        if (!IsNumeric(pProcess->d_name))
            continue;
        std::string strFolder = std::string("/proc/") + pProcess->d_name + "/fd";
        DIR* pHandles = ::opendir(strFolder.c_str());
        if (pHandles == nullptr)
            continue;
        while (struct dirent* pHandle = ::readdir(pHandles)) {
            if (!IsNumeric(pHandle->d_name))
                continue;
            if (strSelf == pProcess->d_name && std::atoi(pHandle->d_name) == nIgnoredHandle)
                continue;
            struct stat target;
            if (::stat((strFolder + "/" + pHandle->d_name).c_str(), &target) == 0 && target.st_dev == file.st_dev &&
                target.st_ino == file.st_ino) {
                bOpen = true;
                break;
            }
        }
        ::closedir(pHandles);
    }
    ::closedir(pProcesses);
    return bOpen;
}

} // namespace

FileKind GetFileKind(const std::string& strPath) {
    struct stat info;
    if (::lstat(strPath.c_str(), &info) != 0)
        return FileKind::Missing;
    if (S_ISLNK(info.st_mode))
        return FileKind::SymbolicLink;
    return S_ISREG(info.st_mode) ? FileKind::Regular : FileKind::Other;
}

OpenState ProbeExclusiveOpen(const std::string& strPath, bool bUseLease) {
    // O_NONBLOCK: should another process hold a lease, the open fails instead of waiting for it.
    CHandle file(::open(strPath.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.Get() < 0)
        return errno == ENOENT ? OpenState::Missing : errno == ELOOP ? OpenState::NotRegular : OpenState::Busy;
    struct stat info;
    if (::fstat(file.Get(), &info) != 0)
        return OpenState::Busy;
    if (!S_ISREG(info.st_mode))
        return OpenState::NotRegular;
    if (bUseLease) {
        if (::fcntl(file.Get(), F_SETLEASE, F_WRLCK) == 0) {
            ::fcntl(file.Get(), F_SETLEASE, F_UNLCK);
            return OpenState::Free;
        }
        if (errno == EAGAIN || errno == EBUSY)
            return OpenState::Busy;
    }
    return IsOpenByAnyProcess(info, file.Get()) ? OpenState::Busy : OpenState::Free;
}

bool CopyRegularFile(const std::string& strFrom, const std::string& strTo) {
    // O_NONBLOCK: opening a named pipe must not wait for a writer; it is then refused as no regular file.
    CHandle source(::open(strFrom.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (source.Get() < 0)
        return false;
    struct stat info;
    if (::fstat(source.Get(), &info) != 0)
        return false;
    if (!S_ISREG(info.st_mode)) {
        errno = EINVAL;
        return false;
    }
    CHandle target(::open(strTo.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (target.Get() < 0)
        return false;
    while (true) {
        ssize_t nCopied = ::sendfile(target.Get(), source.Get(), nullptr, 1 << 30);
        if (nCopied == 0)
            break;
        if (nCopied < 0 && errno == EINTR)
            continue;
        if (nCopied < 0)
            return false;
    }
    return target.Close() == 0;
}

} // namespace Platform
