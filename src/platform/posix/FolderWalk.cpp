#include "platform/posix/FolderWalk.h"

#include "platform/FileSystem.h"
#include "platform/posix/UniqueFd.h"

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace Platform {
namespace Posix {

namespace {

// A listing holds at most two handles at once (a parent and its child while the path is opened).
constexpr int kMaxListingsAtOnce = 16;

class CListingGate {
  public:
    void Enter() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_free.wait(lock, [&] { return m_nInside < kMaxListingsAtOnce; });
        ++m_nInside;
    }
    void Leave() {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            --m_nInside;
        }
        m_free.notify_one();
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_free;
    int m_nInside = 0;
};

CListingGate& Gate() {
    static CListingGate* pGate = new CListingGate();
    return *pGate;
}

class CGatePass {
  public:
    CGatePass() { Gate().Enter(); }
    ~CGatePass() { Gate().Leave(); }
    CGatePass(const CGatePass&) = delete;
    CGatePass& operator=(const CGatePass&) = delete;
};

std::vector<std::string> SplitRelative(const std::string& strRelative) {
    std::vector<std::string> parts;
    size_t nStart = 0;
    while (nStart <= strRelative.size()) {
        size_t nEnd = strRelative.find(kPathSeparator, nStart);
        if (nEnd == std::string::npos)
            nEnd = strRelative.size();
        if (nEnd > nStart)
            parts.push_back(strRelative.substr(nStart, nEnd - nStart));
        nStart = nEnd + 1;
    }
    return parts;
}

// Opens the folder for listing; none open, with errno, on failure. A last part that is no folder
// (any more) fills selfVersion and sets bNotAFolder.
CUniqueFd OpenFolderBelow(const std::string& strRoot, const std::string& strRelative,
                          CFileVersion& selfVersion, bool& bNotAFolder) {
    std::vector<std::string> parts = SplitRelative(strRelative);
    CUniqueFd folder(::open(strRoot.c_str(), (parts.empty() ? O_RDONLY : O_PATH) | O_DIRECTORY | O_CLOEXEC));
    for (size_t i = 0; i < parts.size() && folder.IsOpen(); ++i) {
        bool bLast = i + 1 == parts.size();
        CUniqueFd child(::openat(folder.Get(), parts[i].c_str(),
                                 (bLast ? O_RDONLY : O_PATH) | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat info;
        if (!child.IsOpen() && bLast && (errno == ELOOP || errno == ENOTDIR)) {
            int nError = errno;
            if (::fstatat(folder.Get(), parts[i].c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                !S_ISDIR(info.st_mode)) {
                selfVersion = VersionOf(info);
                bNotAFolder = true;
            }
            errno = nError;
        }
        folder = std::move(child);
    }
    return folder;
}

bool ReadEntries(DIR* pDir, bool bVersions, std::vector<CFolderEntry>& entries) {
    errno = 0;
    while (struct dirent* pEntry = ::readdir(pDir)) {
        if (::strcmp(pEntry->d_name, ".") == 0 || ::strcmp(pEntry->d_name, "..") == 0)
            continue;
        CFolderEntry entry;
        entry.strName = pEntry->d_name;
        entry.bFolder = pEntry->d_type == DT_DIR;
        if (bVersions || pEntry->d_type == DT_UNKNOWN) {
            struct stat info;
            // Gone since it was listed: nothing to report.
            if (::fstatat(::dirfd(pDir), pEntry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            entry.bFolder = S_ISDIR(info.st_mode);
            entry.version = VersionOf(info);
        }
        entries.push_back(std::move(entry));
        errno = 0;
    }
    return errno == 0;
}

} // namespace

CFileVersion VersionOf(const struct stat& info) {
    CFileVersion version;
    version.nSize = static_cast<uint64_t>(info.st_size);
    version.nModifiedNs = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    return version;
}

std::string JoinRelative(const std::string& strFolder, const std::string& strName) {
    if (strFolder.empty())
        return strName;
    if (strName.empty())
        return strFolder;
    return strFolder + kPathSeparator + strName;
}

namespace {

ListResult ListFolder(const std::string& strRoot, const std::string& strRelative, bool bVersions,
                      std::vector<CFolderEntry>& entries, CFileVersion& selfVersion,
                      const std::function<bool(int nHandle)>& onOpened) {
    bool bNotAFolder = false;
    CUniqueFd folder = OpenFolderBelow(strRoot, strRelative, selfVersion, bNotAFolder);
    if (!folder.IsOpen())
        return bNotAFolder ? ListResult::NotAFolder : ListResult::Failed;
    if (onOpened && !onOpened(folder.Get()))
        return ListResult::Failed;
    DIR* pDir = ::fdopendir(folder.Get());
    if (pDir == nullptr)
        return ListResult::Failed;
    // The listing owns the descriptor from here on.
    folder.Release();
    bool bRead = ReadEntries(pDir, bVersions, entries);
    CErrnoKeeper keepError;
    ::closedir(pDir);
    return bRead ? ListResult::Listed : ListResult::Failed;
}

} // namespace

ListResult ListFolderBelow(const std::string& strRoot, const std::string& strRelative, bool bVersions,
                           std::vector<CFolderEntry>& entries, CFileVersion& selfVersion,
                           const std::function<bool(int nHandle)>& onOpened) {
    entries.clear();
    ListResult result;
    int nError;
    {
        CGatePass pass;
        result = ListFolder(strRoot, strRelative, bVersions, entries, selfVersion, onOpened);
        nError = errno;
    }
    errno = nError;
    return result;
}

} // namespace Posix
} // namespace Platform
