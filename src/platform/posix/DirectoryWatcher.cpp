#include "platform/DirectoryWatcher.h"

#include "platform/FileSystem.h"

#include <cerrno>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace Platform {

namespace {

constexpr uint32_t kBaseMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF |
                               IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;
// How long a rename's old name waits for its new name when the two did not arrive in one read.
constexpr int kRenamePairWaitMs = 10;

struct CEvent {
    int nWatch = -1;
    uint32_t nMask = 0;
    uint32_t nCookie = 0;
    std::string strName;
};

std::string Join(const std::string& strFolder, const std::string& strName) {
    if (strFolder.empty())
        return strName;
    if (strName.empty())
        return strFolder;
    return strFolder + kPathSeparator + strName;
}

bool IsBelow(const std::string& strPath, const std::string& strFolder) {
    return strPath == strFolder ||
           (strPath.size() > strFolder.size() && strPath.compare(0, strFolder.size(), strFolder) == 0 &&
            strPath[strFolder.size()] == kPathSeparator);
}

} // namespace

class CDirectoryWatcher::CImpl {
  public:
    ~CImpl() {
        if (m_nInotify >= 0)
            ::close(m_nInotify);
        if (m_nStopEvent >= 0)
            ::close(m_nStopEvent);
    }

    bool CreateQueue() {
        m_nInotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (m_nInotify < 0)
            return false;
        m_nStopEvent = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        return m_nStopEvent >= 0;
    }

    bool OpenFolder(const std::string& strRoot) {
        struct stat info;
        if (::stat(strRoot.c_str(), &info) != 0)
            return false;
        if (!S_ISDIR(info.st_mode)) {
            errno = ENOTDIR;
            return false;
        }
        m_strRoot = strRoot;
        while (m_strRoot.size() > 1 && m_strRoot.back() == kPathSeparator)
            m_strRoot.pop_back();
        return true;
    }

    bool StartWatching(bool bWatchWrites, std::vector<CWatchFailure>& failures) {
        m_nMask = kBaseMask | (bWatchWrites ? IN_CLOSE_WRITE : 0);
        // The root is watched following a symbolic link: an operator may point a hot folder at one.
        m_nRootWatch = ::inotify_add_watch(m_nInotify, m_strRoot.c_str(), m_nMask & ~IN_DONT_FOLLOW);
        if (m_nRootWatch < 0)
            return false;
        m_folders[m_nRootWatch] = std::string();
        std::vector<CChangeRecord> ignored;
        WatchSubfolders(std::string(), failures, ignored, false);
        return true;
    }

    WaitResult Wait(CChangeBatch& batch) {
        batch = CChangeBatch();
        while (true) {
            if (m_bFailed) {
                errno = m_nFailure;
                return WaitResult::Failed;
            }
            if (m_events.empty()) {
                WaitResult result = WaitForEvents();
                if (result != WaitResult::Changes)
                    return result;
            }
            while (!m_events.empty() && !m_bFailed)
                HandleNextEvent(batch);
            if (!batch.records.empty() || !batch.failures.empty() || batch.bOverflow)
                return WaitResult::Changes;
        }
    }

    void PostStop() {
        uint64_t nOne = 1;
        (void)!::write(m_nStopEvent, &nOne, sizeof(nOne));
    }

  private:
    WaitResult WaitForEvents() {
        struct pollfd fds[2] = {{m_nStopEvent, POLLIN, 0}, {m_nInotify, POLLIN, 0}};
        while (true) {
            int nReady = ::poll(fds, 2, -1);
            if (nReady < 0 && errno == EINTR)
                continue;
            if (nReady < 0)
                return Fail(errno);
            if (fds[0].revents & POLLIN)
                return WaitResult::Stopped;
            if (fds[1].revents & (POLLERR | POLLNVAL))
                return Fail(EIO);
            if (!ReadEvents())
                return Fail(errno);
            if (!m_events.empty())
                return WaitResult::Changes;
        }
    }

    WaitResult Fail(int nError) {
        m_bFailed = true;
        m_nFailure = nError;
        errno = nError;
        return WaitResult::Failed;
    }

    // Appends what the kernel has queued; true also when nothing was queued.
    bool ReadEvents() {
        alignas(struct inotify_event) char buffer[65536];
        while (true) {
            ssize_t nRead = ::read(m_nInotify, buffer, sizeof(buffer));
            if (nRead < 0 && errno == EINTR)
                continue;
            if (nRead < 0)
                return errno == EAGAIN;
            for (ssize_t nOffset = 0; nOffset + static_cast<ssize_t>(sizeof(struct inotify_event)) <= nRead;) {
                const auto* pEvent = reinterpret_cast<const struct inotify_event*>(buffer + nOffset);
                CEvent event;
                event.nWatch = pEvent->wd;
                event.nMask = pEvent->mask;
                event.nCookie = pEvent->cookie;
                if (pEvent->len > 0)
                    event.strName.assign(pEvent->name, ::strnlen(pEvent->name, pEvent->len));
                m_events.push_back(std::move(event));
                nOffset += static_cast<ssize_t>(sizeof(struct inotify_event) + pEvent->len);
            }
            return true;
        }
    }

    // The new name of a rename follows its old name at once in the kernel's queue, but may not have
    // been read yet.
    bool NextEventIsNewNameOf(const CEvent& oldName) {
        if (m_events.empty()) {
            struct pollfd fd = {m_nInotify, POLLIN, 0};
            if (::poll(&fd, 1, kRenamePairWaitMs) > 0)
                (void)ReadEvents();
        }
        return !m_events.empty() && (m_events.front().nMask & IN_MOVED_TO) &&
               m_events.front().nCookie == oldName.nCookie;
    }

    void HandleNextEvent(CChangeBatch& batch) {
        CEvent event = std::move(m_events.front());
        m_events.pop_front();
        if (event.nMask & IN_Q_OVERFLOW) {
            batch.bOverflow = true;
            // Folders created while changes were dropped may have no watch yet.
            WatchSubfolders(std::string(), batch.failures, batch.records, false);
            return;
        }
        auto folder = m_folders.find(event.nWatch);
        if (folder == m_folders.end())
            return;
        if (event.nWatch == m_nRootWatch && (event.nMask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF))) {
            Fail(ENOENT);
            return;
        }
        if (event.nMask & IN_IGNORED) {
            m_folders.erase(folder);
            return;
        }
        std::string strPath = Join(folder->second, event.strName);
        if (event.nMask & IN_ISDIR)
            HandleFolderEvent(event, strPath, batch);
        else
            HandleFileEvent(event, strPath, batch);
    }

    void HandleFileEvent(const CEvent& event, const std::string& strPath, CChangeBatch& batch) {
        if (event.nMask & IN_CREATE)
            batch.records.push_back({kActionAdded, strPath});
        else if (event.nMask & IN_DELETE)
            batch.records.push_back({kActionRemoved, strPath});
        else if (event.nMask & IN_CLOSE_WRITE)
            batch.records.push_back({kActionModified, strPath});
        else if (event.nMask & IN_MOVED_TO)
            batch.records.push_back({kActionAdded, strPath});
        else if (event.nMask & IN_MOVED_FROM) {
            if (!NextEventIsNewNameOf(event)) {
                batch.records.push_back({kActionRemoved, strPath});
                return;
            }
            CEvent newName = std::move(m_events.front());
            m_events.pop_front();
            auto newFolder = m_folders.find(newName.nWatch);
            if (newFolder == m_folders.end()) {
                batch.records.push_back({kActionRemoved, strPath});
                return;
            }
            batch.records.push_back({kActionRenamedOldName, strPath});
            batch.records.push_back({kActionRenamedNewName, Join(newFolder->second, newName.strName)});
        }
    }

    void HandleFolderEvent(const CEvent& event, const std::string& strPath, CChangeBatch& batch) {
        if (event.nMask & (IN_CREATE | IN_MOVED_TO)) {
            WatchSubfolders(strPath, batch.failures, batch.records, true);
            return;
        }
        if (!(event.nMask & IN_MOVED_FROM))
            return;
        if (NextEventIsNewNameOf(event)) {
            CEvent newName = std::move(m_events.front());
            m_events.pop_front();
            auto newFolder = m_folders.find(newName.nWatch);
            if (newFolder != m_folders.end()) {
                RenameFolder(strPath, Join(newFolder->second, newName.strName));
                return;
            }
        }
        ForgetFolder(strPath);
    }

    void RenameFolder(const std::string& strOld, const std::string& strNew) {
        for (auto& entry : m_folders)
            if (IsBelow(entry.second, strOld))
                entry.second = strNew + entry.second.substr(strOld.size());
    }

    // The folder left the tree: its watches would report under names that no longer exist.
    void ForgetFolder(const std::string& strFolder) {
        for (auto it = m_folders.begin(); it != m_folders.end();) {
            if (it->first != m_nRootWatch && IsBelow(it->second, strFolder)) {
                ::inotify_rm_watch(m_nInotify, it->first);
                it = m_folders.erase(it);
            } else {
                ++it;
            }
        }
    }

    // Watches strFolder (relative, "" for the root's children only) and every folder below it, each
    // before it is listed so that nothing created meanwhile goes unseen; with bReportFiles, every
    // file found is reported as added.
    void WatchSubfolders(const std::string& strFolder, std::vector<CWatchFailure>& failures,
                         std::vector<CChangeRecord>& records, bool bReportFiles) {
        std::vector<std::string> pending{strFolder};
        while (!pending.empty()) {
            std::string strRelative = std::move(pending.back());
            pending.pop_back();
            std::string strFull = Join(m_strRoot, strRelative);
            if (!strRelative.empty()) {
                int nWatch = ::inotify_add_watch(m_nInotify, strFull.c_str(), m_nMask);
                if (nWatch < 0) {
                    failures.push_back({strFull, errno});
                    continue;
                }
                m_folders[nWatch] = strRelative;
            }
            ListFolder(strRelative, pending, records, bReportFiles);
        }
    }

    void ListFolder(const std::string& strRelative, std::vector<std::string>& subfolders,
                    std::vector<CChangeRecord>& records, bool bReportFiles) {
        DIR* pDir = ::opendir(Join(m_strRoot, strRelative).c_str());
        if (pDir == nullptr)
            return;
        while (struct dirent* pEntry = ::readdir(pDir)) {
            if (::strcmp(pEntry->d_name, ".") == 0 || ::strcmp(pEntry->d_name, "..") == 0)
                continue;
            std::string strChild = Join(strRelative, pEntry->d_name);
            bool bFolder = pEntry->d_type == DT_DIR;
            if (pEntry->d_type == DT_UNKNOWN)
                bFolder = IsDirectory(Join(m_strRoot, strChild));
            if (bFolder)
                subfolders.push_back(strChild);
            else if (bReportFiles)
                records.push_back({kActionAdded, strChild});
        }
        ::closedir(pDir);
    }

    int m_nInotify = -1;
    int m_nStopEvent = -1;
    int m_nRootWatch = -1;
    uint32_t m_nMask = kBaseMask;
    std::string m_strRoot;
    // Watch descriptor -> folder relative to the root ("" for the root).
    std::unordered_map<int, std::string> m_folders;
    std::deque<CEvent> m_events;
    bool m_bFailed = false;
    int m_nFailure = 0;
};

CDirectoryWatcher::CDirectoryWatcher() : m_pImpl(new CImpl()) {}
CDirectoryWatcher::~CDirectoryWatcher() = default;
bool CDirectoryWatcher::CreateQueue() { return m_pImpl->CreateQueue(); }
bool CDirectoryWatcher::OpenFolder(const std::string& strRoot) { return m_pImpl->OpenFolder(strRoot); }
bool CDirectoryWatcher::StartWatching(bool bWatchWrites, std::vector<CWatchFailure>& failures) {
    return m_pImpl->StartWatching(bWatchWrites, failures);
}
WaitResult CDirectoryWatcher::Wait(CChangeBatch& batch) { return m_pImpl->Wait(batch); }
void CDirectoryWatcher::PostStop() { m_pImpl->PostStop(); }

} // namespace Platform
