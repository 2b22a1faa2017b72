#include "platform/FileAccess.h"

#include "platform/FileSystem.h"
#include "platform/posix/FileAccessForTest.h"
#include "platform/posix/FolderWalk.h"
#include "platform/posix/HeldFile.h"
#include "platform/posix/OwnerOfHandle.h"
#include "platform/posix/UniqueFd.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <memory>
#include <stdio.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace Platform {

using Posix::PathResolution;

namespace {

std::atomic<PathResolution> g_forcedResolution{PathResolution::Automatic};
std::atomic<bool> g_bUseWriteLease{true};
// Cleared once the kernel has shown it has no openat2 (before 5.6), so later resolutions walk at once.
std::atomic<bool> g_bKernelBeneath{true};

constexpr int kMaxFreeNameTries = 1000;
// The kernel refuses RESOLVE_BENEATH with EAGAIN when a rename elsewhere raced the resolution.
constexpr int kBeneathRetries = 4;

using Posix::CErrnoKeeper;
using Posix::CUniqueFd;
using Posix::VersionOf;

struct CIdentity {
    dev_t nDevice = 0;
    ino_t nInode = 0;
    bool bKnown = false;
    bool Matches(const struct stat& info) const { return info.st_dev == nDevice && info.st_ino == nInode; }
};

CIdentity IdentityOf(const struct stat& info) {
    return {info.st_dev, info.st_ino, true};
}

bool IsNumeric(const char* szName) {
    if (*szName == '\0')
        return false;
    for (; *szName; ++szName)
        if (*szName < '0' || *szName > '9')
            return false;
    return true;
}

using CFolderListing = std::unique_ptr<DIR, int (*)(DIR*)>;

CFolderListing OpenListing(const std::string& strFolder) {
    return CFolderListing(::opendir(strFolder.c_str()), ::closedir);
}

// Whether a descriptor in strFolder (a process's "fd" folder), other than nIgnoredHandle, names the file.
bool HasHandleOf(const std::string& strFolder, const struct stat& file, int nIgnoredHandle) {
    CFolderListing handles = OpenListing(strFolder);
    if (!handles)
        return false;
    while (struct dirent* pHandle = ::readdir(handles.get())) {
        if (!IsNumeric(pHandle->d_name) || std::atoi(pHandle->d_name) == nIgnoredHandle)
            continue;
        struct stat target;
        if (::stat((strFolder + "/" + pHandle->d_name).c_str(), &target) == 0 &&
            target.st_dev == file.st_dev && target.st_ino == file.st_ino)
            return true;
    }
    return false;
}

// True when a descriptor of some process, other than nIgnoredHandle of ours, names the file.
bool IsOpenByAnyProcess(const struct stat& file, int nIgnoredHandle) {
    CFolderListing processes = OpenListing("/proc");
    if (!processes)
        return false;
    std::string strSelf = std::to_string(::getpid());
    while (struct dirent* pProcess = ::readdir(processes.get())) {
        if (IsNumeric(pProcess->d_name) && HasHandleOf(std::string("/proc/") + pProcess->d_name + "/fd", file,
                                                       strSelf == pProcess->d_name ? nIgnoredHandle : -1))
            return true;
    }
    return false;
}

// The folder names of a relative path and its last name. False for a name that could leave the root
// ("." or ".." as a folder name) or that has no last name.
bool SplitRelative(const std::string& strRelative, std::vector<std::string>& folders, std::string& strName) {
    folders.clear();
    size_t nStart = 0;
    while (nStart <= strRelative.size()) {
        size_t nEnd = strRelative.find(kPathSeparator, nStart);
        if (nEnd == std::string::npos)
            nEnd = strRelative.size();
        std::string strPart = strRelative.substr(nStart, nEnd - nStart);
        if (strPart == "." || strPart == "..")
            return false;
        if (!strPart.empty())
            folders.push_back(strPart);
        nStart = nEnd + 1;
    }
    if (folders.empty())
        return false;
    strName = folders.back();
    folders.pop_back();
    return true;
}

std::string JoinFolders(const std::vector<std::string>& folders) {
    std::string strJoined;
    for (const std::string& strFolder : folders)
        strJoined += (strJoined.empty() ? "" : std::string(1, kPathSeparator)) + strFolder;
    return strJoined;
}

using Resolution = CFileBeneath::Resolution;

Resolution ResolutionOfError(int nError) {
    if (nError == ENOENT || nError == ENOTDIR)
        return Resolution::Missing;
    if (nError == ELOOP || nError == EXDEV)
        return Resolution::Link;
    return Resolution::Failed;
}

// One folder below nFolder, not followed when it is a link. A link gives ENOTDIR from the kernel
// (O_DIRECTORY is checked first), so the entry is looked at to tell a link from a file.
Resolution OpenFolderNoFollow(int nFolder, const std::string& strName, CUniqueFd& folder) {
    int nHandle = ::openat(nFolder, strName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (nHandle >= 0) {
        folder.Reset(nHandle);
        return Resolution::Resolved;
    }
    int nError = errno;
    struct stat info;
    if ((nError == ENOTDIR || nError == ELOOP) &&
        ::fstatat(nFolder, strName.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode)) {
        errno = ELOOP;
        return Resolution::Link;
    }
    errno = nError;
    return ResolutionOfError(nError);
}

Resolution WalkFolders(int nRoot, const std::vector<std::string>& folders, CUniqueFd& parent) {
    CUniqueFd current(::fcntl(nRoot, F_DUPFD_CLOEXEC, 0));
    if (!current.IsOpen())
        return Resolution::Failed;
    for (const std::string& strFolder : folders) {
        CUniqueFd next;
        Resolution result = OpenFolderNoFollow(current.Get(), strFolder, next);
        if (result != Resolution::Resolved)
            return result;
        current.Reset(next.Release());
    }
    parent.Reset(current.Release());
    return Resolution::Resolved;
}

// RESOLVE_BENEATH refuses ".." out of the root and absolute links; RESOLVE_NO_SYMLINKS every link.
Resolution OpenBeneath(int nRoot, const std::string& strPath, CUniqueFd& parent, bool& bUnavailable) {
    struct open_how how;
    std::memset(&how, 0, sizeof(how));
    how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    bUnavailable = false;
    for (int nTry = 0; nTry < kBeneathRetries; ++nTry) {
        long nHandle = ::syscall(SYS_openat2, nRoot, strPath.c_str(), &how, sizeof(how));
        if (nHandle >= 0) {
            parent.Reset(static_cast<int>(nHandle));
            return Resolution::Resolved;
        }
        if (errno != EAGAIN)
            break;
    }
    // EPERM: a system call filter (a container's, a hardened unit's) refuses openat2 itself.
    if (errno == ENOSYS || errno == E2BIG || errno == EAGAIN || errno == EPERM) {
        bUnavailable = true;
        return Resolution::Failed;
    }
    return ResolutionOfError(errno);
}

// "_2" .. before the extension of the last name of strRelative.
std::string NumberedName(const std::string& strName, int nNumber) {
    size_t nDot = strName.rfind('.');
    if (nDot == std::string::npos || nDot == 0)
        return strName + "_" + std::to_string(nNumber);
    return strName.substr(0, nDot) + "_" + std::to_string(nNumber) + strName.substr(nDot);
}

// Renames without ever replacing: renameat2's NOREPLACE, else a hard link (which fails on an existing
// name) and the removal of the old name, for file systems without NOREPLACE.
bool RenameNoReplace(int nFromFolder, const std::string& strFrom, int nToFolder, const std::string& strTo) {
    if (::renameat2(nFromFolder, strFrom.c_str(), nToFolder, strTo.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    if (::linkat(nFromFolder, strFrom.c_str(), nToFolder, strTo.c_str(), 0) != 0)
        return false;
    if (::unlinkat(nFromFolder, strFrom.c_str(), 0) == 0)
        return true;
    CErrnoKeeper keepError;
    (void)::unlinkat(nToFolder, strTo.c_str(), 0);
    return false;
}

bool CopyContent(int nFrom, int nTo) {
    off_t nOffset = 0;
    while (true) {
        ssize_t nCopied = ::sendfile(nTo, nFrom, &nOffset, 1 << 30);
        if (nCopied == 0)
            return true;
        if (nCopied < 0 && errno != EINTR)
            return false;
    }
}

} // namespace

void Posix::SetPathResolutionForTest(PathResolution resolution) {
    g_forcedResolution = resolution;
}

void Posix::SetWriteLeaseForTest(bool bUseLease) {
    g_bUseWriteLease = bUseLease;
}

class CFileBeneath::CImpl {
  public:
    std::string strRoot;
    CUniqueFd parent;
    CUniqueFd held;
    struct stat heldInfo {};
    int nOpenError = ENOENT;
    // The file this entry must still name when it is removed: the one held, or the one copied here.
    CIdentity expected;
    // The way the last Resolve took.
    PathResolution resolution = PathResolution::Automatic;

    Resolution ResolveParent(const std::vector<std::string>& folders, PathResolution& used) {
        CUniqueFd root(::open(strRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!root.IsOpen())
            return ResolutionOfError(errno);
        PathResolution wanted = g_forcedResolution.load();
        if (folders.empty()) {
            used = wanted == PathResolution::Automatic ? PathResolution::KernelBeneath : wanted;
            parent.Reset(root.Release());
            return Resolution::Resolved;
        }
        if (wanted != PathResolution::ComponentWalk &&
            (wanted == PathResolution::KernelBeneath || g_bKernelBeneath)) {
            bool bUnavailable = false;
            Resolution result = OpenBeneath(root.Get(), JoinFolders(folders), parent, bUnavailable);
            if (!bUnavailable || wanted == PathResolution::KernelBeneath) {
                used = PathResolution::KernelBeneath;
                return result;
            }
            g_bKernelBeneath = false;
        }
        used = PathResolution::ComponentWalk;
        return WalkFolders(root.Get(), folders, parent);
    }
};

CFileBeneath::CFileBeneath() : m_pImpl(new CImpl()) {}
CFileBeneath::~CFileBeneath() = default;

CFileBeneath::Resolution CFileBeneath::Resolve(const std::string& strRoot, const std::string& strRelative) {
    m_pImpl->parent.Reset();
    m_pImpl->held.Reset();
    m_pImpl->expected = CIdentity();
    m_pImpl->strRoot = strRoot;
    std::vector<std::string> folders;
    if (!SplitRelative(strRelative, folders, m_strName)) {
        errno = EXDEV;
        return Resolution::Link;
    }
    return m_pImpl->ResolveParent(folders, m_pImpl->resolution);
}

FileKind CFileBeneath::GetKind() const {
    struct stat info;
    if (!m_pImpl->parent.IsOpen() ||
        ::fstatat(m_pImpl->parent.Get(), m_strName.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return FileKind::Missing;
    if (S_ISLNK(info.st_mode))
        return FileKind::SymbolicLink;
    return S_ISREG(info.st_mode) ? FileKind::Regular : FileKind::Other;
}

bool CFileBeneath::GetVersion(CFileVersion& version) const {
    struct stat info;
    if (!m_pImpl->parent.IsOpen()) {
        errno = ENOENT;
        return false;
    }
    if (::fstatat(m_pImpl->parent.Get(), m_strName.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    version = VersionOf(info);
    return true;
}

CProbeResult CFileBeneath::ProbeExclusiveOpen() const {
    CProbeResult result;
    if (!m_pImpl->parent.IsOpen())
        return result;
    // O_NONBLOCK: should another process hold a lease, the open fails instead of waiting for it.
    CUniqueFd file(
        ::openat(m_pImpl->parent.Get(), m_strName.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file.IsOpen()) {
        result.nError = errno;
        // EWOULDBLOCK: another process holds a lease on the file, which is being broken.
        result.state = errno == ENOENT        ? OpenState::Missing
                       : errno == ELOOP       ? OpenState::NotRegular
                       : errno == EWOULDBLOCK ? OpenState::Busy
                                              : OpenState::Unreadable;
        return result;
    }
    struct stat info;
    if (::fstat(file.Get(), &info) != 0) {
        result.nError = errno;
        result.state = OpenState::Unreadable;
        return result;
    }
    result.version = VersionOf(info);
    if (!S_ISREG(info.st_mode)) {
        result.state = OpenState::NotRegular;
        return result;
    }
    if (g_bUseWriteLease) {
        if (::fcntl(file.Get(), F_SETLEASE, F_WRLCK) == 0) {
            ::fcntl(file.Get(), F_SETLEASE, F_UNLCK);
            result.state = OpenState::Free;
            return result;
        }
        if (errno == EAGAIN || errno == EBUSY) {
            result.state = OpenState::Busy;
            return result;
        }
        result.nError = errno;
    }
    result.test = WriteCompleteTest::OpenFileSearch;
    result.state = IsOpenByAnyProcess(info, file.Get()) ? OpenState::Busy : OpenState::Free;
    return result;
}

bool CFileBeneath::OpenHeld() {
    m_pImpl->held.Reset();
    m_pImpl->expected = CIdentity();
    if (!m_pImpl->parent.IsOpen()) {
        m_pImpl->nOpenError = errno = ENOENT;
        return false;
    }
    // O_NONBLOCK: opening a named pipe must not wait for a writer; it is then refused as no regular file.
    CUniqueFd file(
        ::openat(m_pImpl->parent.Get(), m_strName.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file.IsOpen() || ::fstat(file.Get(), &m_pImpl->heldInfo) != 0) {
        m_pImpl->nOpenError = errno;
        return false;
    }
    if (!S_ISREG(m_pImpl->heldInfo.st_mode)) {
        m_pImpl->nOpenError = errno = EINVAL;
        return false;
    }
    m_pImpl->held.Reset(file.Release());
    m_pImpl->expected = IdentityOf(m_pImpl->heldInfo);
    return true;
}

bool CFileBeneath::IsHeld() const {
    return m_pImpl->held.IsOpen();
}

void CFileBeneath::ReleaseHeld() {
    m_pImpl->held.Reset();
    m_pImpl->expected = CIdentity();
}

int CHeldFileAccess::Handle(const CFileBeneath& file) {
    return file.m_pImpl->held.Get();
}

PathResolution CFileBeneathForTest::ResolutionOf(const CFileBeneath& file) {
    return file.m_pImpl->resolution;
}

CFileVersion CFileBeneath::GetHeldVersion() const {
    return VersionOf(m_pImpl->heldInfo);
}

bool CFileBeneath::HasHeldFileChanged() const {
    struct stat now;
    return !m_pImpl->held.IsOpen() || ::fstat(m_pImpl->held.Get(), &now) != 0 ||
           VersionOf(now) != VersionOf(m_pImpl->heldInfo);
}

OwnerLookup CFileBeneath::GetHeldOwner(std::string& strOwner, std::string& strDomain) const {
    if (!m_pImpl->held.IsOpen()) {
        errno = m_pImpl->nOpenError;
        return OwnerLookup::OpenFailed;
    }
    return GetOwnerAccountOfHandle(m_pImpl->held.Get(), strOwner, strDomain);
}

bool CFileBeneath::ReadHeld(std::string& strContent, size_t nMaxBytes) const {
    strContent.clear();
    if (!m_pImpl->held.IsOpen()) {
        errno = m_pImpl->nOpenError;
        return false;
    }
    char buffer[65536];
    while (strContent.size() < nMaxBytes) {
        size_t nWanted = std::min(sizeof(buffer), nMaxBytes - strContent.size());
        ssize_t nRead = ::pread(m_pImpl->held.Get(), buffer, nWanted, static_cast<off_t>(strContent.size()));
        if (nRead < 0 && errno == EINTR)
            continue;
        if (nRead < 0)
            return false;
        if (nRead == 0)
            break;
        strContent.append(buffer, static_cast<size_t>(nRead));
    }
    return true;
}

bool CFileBeneath::CopyHeldTo(IFileBeneath& other) const {
    if (!m_pImpl->held.IsOpen()) {
        errno = m_pImpl->nOpenError;
        return false;
    }
    auto* pDestination = dynamic_cast<CFileBeneath*>(&other);
    if (pDestination == nullptr) {
        errno = EXDEV;
        return false;
    }
    CFileBeneath& destination = *pDestination;
    if (!destination.m_pImpl->parent.IsOpen()) {
        errno = ENOENT;
        return false;
    }
    int nFolder = destination.m_pImpl->parent.Get();
    std::string strPartial = PartialCopyName(destination.m_strName);
    CUniqueFd target(
        ::openat(nFolder, strPartial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!target.IsOpen())
        return false;
    struct stat written;
    bool bCopied = CopyContent(m_pImpl->held.Get(), target.Get()) && ::fsync(target.Get()) == 0 &&
                   ::fstat(target.Get(), &written) == 0 && target.Close() == 0 &&
                   ::renameat(nFolder, strPartial.c_str(), nFolder, destination.m_strName.c_str()) == 0;
    if (!bCopied) {
        CErrnoKeeper keepError;
        (void)::unlinkat(nFolder, strPartial.c_str(), 0);
        return false;
    }
    destination.m_pImpl->expected = IdentityOf(written);
    // The copy is in place; a folder that cannot be flushed only leaves the rename's durability to the
    // file system's own schedule, so it does not undo the copy.
    (void)::fsync(nFolder);
    return true;
}

RemoveResult CFileBeneath::Remove() {
    if (!m_pImpl->parent.IsOpen())
        return RemoveResult::Removed;
    struct stat info;
    if (::fstatat(m_pImpl->parent.Get(), m_strName.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? RemoveResult::Removed : RemoveResult::Failed;
    if (m_pImpl->expected.bKnown && !m_pImpl->expected.Matches(info))
        return RemoveResult::Replaced;
    if (::unlinkat(m_pImpl->parent.Get(), m_strName.c_str(), 0) == 0 || errno == ENOENT)
        return RemoveResult::Removed;
    return RemoveResult::Failed;
}

bool CFileBeneath::MoveToFreeName(std::string& strNewRelative) {
    std::vector<std::string> folders;
    std::string strNewName;
    if (!m_pImpl->parent.IsOpen() || !SplitRelative(strNewRelative, folders, strNewName)) {
        errno = EINVAL;
        return false;
    }
    CImpl target;
    target.strRoot = m_pImpl->strRoot;
    if (target.ResolveParent(folders, target.resolution) != Resolution::Resolved)
        return false;
    struct stat info;
    if (::fstatat(m_pImpl->parent.Get(), m_strName.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    if (m_pImpl->expected.bKnown && !m_pImpl->expected.Matches(info)) {
        errno = EEXIST;
        return false;
    }
    for (int nNumber = 1; nNumber <= kMaxFreeNameTries; ++nNumber) {
        std::string strCandidate = nNumber == 1 ? strNewName : NumberedName(strNewName, nNumber);
        if (RenameNoReplace(m_pImpl->parent.Get(), m_strName, target.parent.Get(), strCandidate)) {
            folders.push_back(strCandidate);
            strNewRelative = JoinFolders(folders);
            m_strName = strCandidate;
            m_pImpl->parent.Reset(target.parent.Release());
            return true;
        }
        if (errno != EEXIST)
            return false;
    }
    errno = EEXIST;
    return false;
}

} // namespace Platform
