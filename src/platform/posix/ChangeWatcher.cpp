#include "platform/ChangeWatcher.h"

#include "platform/FileSystem.h"
#include "platform/posix/ChangeWatcherTesting.h"
#include "platform/posix/FolderWalk.h"
#include "platform/posix/UniqueFd.h"

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <poll.h>
#include <set>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>

// The watcher on inotify. Every watcher of the process shares one inotify instance and one reader
// thread that hands each event to the watchers it concerns, so that a watcher costs no descriptor of
// its own (the kernel allows 128 instances per user by default, a service 1024 descriptors). The
// instance is made by the first watcher and ends with the last one. A watch is set per folder: a
// folder that appears is watched before it is listed, so a file created in it before its watch
// existed is found by the listing. A folder whose watch fails (the per-user watch limit) is
// reported in the batch's failures. "Modified" is a file closed after writing (IN_CLOSE_WRITE),
// which is when a writer is done with it. A kernel queue overflow (IN_Q_OVERFLOW), or a watcher's
// thread falling too far behind, is reported as an overflow, after which the tree is watched again.
// Costs nothing while the trees are quiet: the reader sleeps in the kernel, each waiter on its own
// condition.
namespace Platform {

namespace {

constexpr uint32_t kBaseEvents =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;
// Watches are set through the folder's own open handle (/proc/self/fd/N), which must be followed;
// IN_MASK_ADD keeps what other watchers of the same folder asked for.
constexpr uint32_t kWatchFlags = IN_ONLYDIR | IN_EXCL_UNLINK | IN_MASK_ADD;
// Delivered to every watcher of a folder, whatever it asked for.
constexpr uint32_t kAlwaysDelivered = IN_IGNORED | IN_UNMOUNT;
constexpr uint32_t kRootLost = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED;
// How long a rename's old name waits for its new name when the two did not arrive together.
constexpr std::chrono::milliseconds kRenamePairWait{10};
// Changes waiting for one watcher's thread; a thread that falls further behind gets an overflow.
constexpr size_t kMaxPendingChanges = 16384;

struct CEvent {
    int nWatch = -1;
    uint32_t nMask = 0;
    uint32_t nCookie = 0;
    std::string strName;
};

bool IsBelow(const std::string& strPath, const std::string& strFolder) {
    return strPath == strFolder ||
           (strPath.size() > strFolder.size() && strPath.compare(0, strFolder.size(), strFolder) == 0 &&
            strPath[strFolder.size()] == kPathSeparator);
}

} // namespace

// What the reader thread tells a watcher. Each call takes the watcher's own lock only.
class CChangeSink {
  public:
    virtual void Deliver(std::vector<CEvent>& events) = 0;
    virtual void NoteOverflow() = 0;
    virtual void NoteRootLost() = 0;
    virtual void NoteQueueBroken(int nError) = 0;

  protected:
    ~CChangeSink() = default;
};

// The process's one kernel change queue and its reader thread. m_mutex guards the watch table and
// the sinks, and is held across each kernel call that adds or removes a watch, so that a watch is
// never removed while another watcher takes it up. The reader holds it while it hands out a read,
// so a sink that has left cannot be reached any more. Lock order: m_mutex, then a sink's own lock.
class CChangeQueue {
  public:
    static std::shared_ptr<CChangeQueue> Join() {
        std::lock_guard<std::mutex> guard(RegistryMutex());
        std::shared_ptr<CChangeQueue> pQueue = Registry().lock();
        if (pQueue && !pQueue->IsBroken())
            return pQueue;
        pQueue = std::make_shared<CChangeQueue>();
        if (!pQueue->Start()) {
            // Taking down what was made must not change the error the caller logs.
            Posix::CErrnoKeeper keepError;
            pQueue.reset();
            return nullptr;
        }
        Registry() = pQueue;
        return pQueue;
    }

    static std::shared_ptr<CChangeQueue> Current() {
        std::lock_guard<std::mutex> guard(RegistryMutex());
        return Registry().lock();
    }

    ~CChangeQueue() {
        {
            std::lock_guard<std::mutex> guard(m_controlMutex);
            m_bQuit = true;
        }
        m_controlChanged.notify_all();
        Wake();
        if (m_reader.joinable())
            m_reader.join();
        if (m_nInotify >= 0)
            ::close(m_nInotify);
        if (m_nWake >= 0)
            ::close(m_nWake);
    }

    void Attach(CChangeSink* pSink) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_sinks.insert(pSink);
    }

    // Gives up the sink's use of each of its watches; nothing reaches it once this returns.
    void Detach(CChangeSink* pSink, const std::vector<int>& watches) {
        std::lock_guard<std::mutex> guard(m_mutex);
        for (int nWatch : watches)
            DropUse(pSink, nWatch);
        m_sinks.erase(pSink);
    }

    // Watches the folder behind an open handle for the sink; the watch number, or -1 with errno.
    int AddWatch(CChangeSink* pSink, int nHandle, uint32_t nEvents, bool bRoot) {
        std::string strPath = "/proc/self/fd/" + std::to_string(nHandle);
        std::lock_guard<std::mutex> guard(m_mutex);
        int nWatch = ::inotify_add_watch(m_nInotify, strPath.c_str(), nEvents | kWatchFlags);
        if (nWatch < 0)
            return -1;
        std::vector<CUse>& uses = m_watches[nWatch];
        for (CUse& use : uses) {
            if (use.pSink == pSink) {
                use.bRoot = use.bRoot || bRoot;
                return nWatch;
            }
        }
        uses.push_back({pSink, nEvents, bRoot});
        return nWatch;
    }

    void RemoveWatch(CChangeSink* pSink, int nWatch) {
        std::lock_guard<std::mutex> guard(m_mutex);
        DropUse(pSink, nWatch);
    }

    bool Hold(bool bHold) {
        std::unique_lock<std::mutex> lock(m_controlMutex);
        m_bHoldRequested = bHold;
        m_controlChanged.notify_all();
        if (!bHold)
            return true;
        lock.unlock();
        Wake();
        lock.lock();
        m_controlChanged.wait(lock, [&] { return m_bReaderHeld || m_bReaderEnded; });
        return m_bReaderHeld;
    }

  private:
    struct CUse {
        CChangeSink* pSink;
        uint32_t nEvents;
        bool bRoot;
    };

    // Never destroyed: a watcher may still leave while the process ends.
    static std::mutex& RegistryMutex() {
        static std::mutex* pMutex = new std::mutex();
        return *pMutex;
    }
    static std::weak_ptr<CChangeQueue>& Registry() {
        static std::weak_ptr<CChangeQueue>* pQueue = new std::weak_ptr<CChangeQueue>();
        return *pQueue;
    }

    bool Start() {
        m_nInotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (m_nInotify < 0)
            return false;
        m_nWake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (m_nWake < 0)
            return false;
        try {
            m_reader = std::thread(&CChangeQueue::ReaderMain, this);
        } catch (const std::system_error& error) {
            errno = error.code().value();
            return false;
        }
        return true;
    }

    bool IsBroken() {
        std::lock_guard<std::mutex> guard(m_controlMutex);
        return m_bReaderEnded;
    }

    void Wake() {
        uint64_t nOne = 1;
        (void)!::write(m_nWake, &nOne, sizeof(nOne));
    }

    // Called with m_mutex held.
    void DropUse(CChangeSink* pSink, int nWatch) {
        auto entry = m_watches.find(nWatch);
        if (entry == m_watches.end())
            return;
        std::vector<CUse>& uses = entry->second;
        for (auto use = uses.begin(); use != uses.end(); ++use) {
            if (use->pSink == pSink) {
                uses.erase(use);
                break;
            }
        }
        if (!uses.empty())
            return;
        // The kernel mask is left as the union of all its users had; it only lives as long as they.
        ::inotify_rm_watch(m_nInotify, nWatch);
        m_watches.erase(entry);
    }

    // False once the queue is to end.
    bool WaitUntilReleased() {
        std::unique_lock<std::mutex> lock(m_controlMutex);
        if (m_bHoldRequested && !m_bQuit) {
            m_bReaderHeld = true;
            m_controlChanged.notify_all();
            m_controlChanged.wait(lock, [&] { return !m_bHoldRequested || m_bQuit; });
            m_bReaderHeld = false;
        }
        return !m_bQuit;
    }

    void ReaderMain() {
        alignas(struct inotify_event) char buffer[65536];
        int nError = 0;
        while (nError == 0 && WaitUntilReleased()) {
            struct pollfd fds[2] = {{m_nInotify, POLLIN, 0}, {m_nWake, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                nError = errno == EINTR ? 0 : errno;
                continue;
            }
            if (fds[1].revents & POLLIN) {
                uint64_t nCount = 0;
                (void)!::read(m_nWake, &nCount, sizeof(nCount));
            }
            if (fds[0].revents & (POLLERR | POLLNVAL)) {
                nError = EIO;
                continue;
            }
            if (!(fds[0].revents & POLLIN))
                continue;
            ssize_t nRead = ::read(m_nInotify, buffer, sizeof(buffer));
            if (nRead < 0)
                nError = errno == EINTR || errno == EAGAIN ? 0 : errno;
            else
                Route(buffer, static_cast<size_t>(nRead));
        }
        EndReader(nError);
    }

    void EndReader(int nError) {
        if (nError != 0) {
            std::lock_guard<std::mutex> guard(m_mutex);
            for (CChangeSink* pSink : m_sinks)
                pSink->NoteQueueBroken(nError);
        }
        std::lock_guard<std::mutex> guard(m_controlMutex);
        m_bReaderEnded = true;
        m_controlChanged.notify_all();
    }

    // Hands each event of one read to the watchers of its folder, in the kernel's order; a root
    // that is gone is told after the events that came before it.
    void Route(const char* pBuffer, size_t nSize) {
        std::lock_guard<std::mutex> guard(m_mutex);
        std::unordered_map<CChangeSink*, std::vector<CEvent>> deliveries;
        std::vector<CChangeSink*> lostRoots;
        for (size_t nOffset = 0; nOffset + sizeof(struct inotify_event) <= nSize;) {
            const auto* pEvent = reinterpret_cast<const struct inotify_event*>(pBuffer + nOffset);
            nOffset += sizeof(struct inotify_event) + pEvent->len;
            if (pEvent->mask & IN_Q_OVERFLOW) {
                for (CChangeSink* pSink : m_sinks)
                    pSink->NoteOverflow();
                continue;
            }
            auto entry = m_watches.find(pEvent->wd);
            if (entry == m_watches.end())
                continue;
            CEvent event;
            event.nWatch = pEvent->wd;
            event.nMask = pEvent->mask;
            event.nCookie = pEvent->cookie;
            if (pEvent->len > 0)
                event.strName.assign(pEvent->name, ::strnlen(pEvent->name, pEvent->len));
            for (const CUse& use : entry->second) {
                if (event.nMask & ((use.nEvents & IN_ALL_EVENTS) | kAlwaysDelivered))
                    deliveries[use.pSink].push_back(event);
                if (use.bRoot && (event.nMask & kRootLost))
                    lostRoots.push_back(use.pSink);
            }
            if (event.nMask & IN_IGNORED)
                m_watches.erase(entry);
        }
        for (auto& delivery : deliveries)
            delivery.first->Deliver(delivery.second);
        for (CChangeSink* pSink : lostRoots)
            pSink->NoteRootLost();
    }

    int m_nInotify = -1;
    int m_nWake = -1;
    std::thread m_reader;

    std::mutex m_mutex;
    std::unordered_map<int, std::vector<CUse>> m_watches;
    std::set<CChangeSink*> m_sinks;

    // The reader's hold, end and quit.
    std::mutex m_controlMutex;
    std::condition_variable m_controlChanged;
    bool m_bQuit = false;
    bool m_bHoldRequested = false;
    bool m_bReaderHeld = false;
    bool m_bReaderEnded = false;
};

// The watcher. The monitor thread (and, before it runs, the thread that starts the watch) alone
// uses the folder table and the events being handled; m_mutex guards what the reader thread and
// PostStop hand in.
class CInotifyWatcher final : public IChangeWatcher, public CChangeSink {
  public:
    ~CInotifyWatcher() override {
        if (!m_pQueue)
            return;
        std::vector<int> watches;
        for (const auto& folder : m_folders)
            watches.push_back(folder.first);
        m_pQueue->Detach(this, watches);
    }

    bool JoinQueue() {
        m_pQueue = CChangeQueue::Join();
        if (!m_pQueue)
            return false;
        m_pQueue->Attach(this);
        return true;
    }

    bool OpenFolder(const std::string& strRoot) override {
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

    bool StartWatching(bool bReportModified, std::vector<CWatchFailure>& failures) override {
        m_nEvents = kBaseEvents | (bReportModified ? IN_CLOSE_WRITE : 0);
        int nRootError = WatchTree(std::string(), failures, nullptr, false);
        if (m_nRootWatch >= 0)
            return true;
        errno = nRootError;
        return false;
    }

    WaitResult Wait(CChangeBatch& batch) override {
        batch = CChangeBatch();
        while (true) {
            if (m_bFailed) {
                errno = m_nFailure;
                return WaitResult::Failed;
            }
            if (m_events.empty()) {
                WaitResult result = TakeIncoming(batch);
                if (result != WaitResult::Changes)
                    return result;
            }
            while (!m_events.empty() && !m_bFailed)
                HandleNextEvent(batch);
            if (batch.bOverflow && !m_bFailed)
                RewatchTree(batch.failures);
            if (!batch.records.empty() || !batch.failures.empty() || batch.bOverflow)
                return WaitResult::Changes;
        }
    }

    void PostStop() override {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_bStop = true;
        }
        m_changed.notify_all();
    }

    bool IsStopPosted() const override {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_bStop;
    }

    void SetPendingChangeLimit(size_t nLimit) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_nPendingLimit = nLimit;
    }

    void Deliver(std::vector<CEvent>& events) override {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            if (m_incoming.size() + events.size() > m_nPendingLimit) {
                // The rescan that the overflow asks for finds whatever these would have said.
                m_incoming.clear();
                m_bOverflow = true;
            } else {
                for (CEvent& event : events)
                    m_incoming.push_back(std::move(event));
            }
        }
        m_changed.notify_all();
    }

    void NoteOverflow() override {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_bOverflow = true;
        }
        m_changed.notify_all();
    }

    void NoteRootLost() override {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_bRootLost = true;
        }
        m_changed.notify_all();
    }

    void NoteQueueBroken(int nError) override {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_nQueueError = nError;
        }
        m_changed.notify_all();
    }

  private:
    WaitResult TakeIncoming(CChangeBatch& batch) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [&] {
            return m_bStop || !m_incoming.empty() || m_bOverflow || m_bRootLost || m_nQueueError != 0;
        });
        if (m_bStop)
            return WaitResult::Stopped;
        if (m_nQueueError != 0)
            return Fail(m_nQueueError);
        MoveIncoming();
        batch.bOverflow = batch.bOverflow || m_bOverflow;
        m_bOverflow = false;
        // The root's own event, when it was not dropped, is handled in its place among the others.
        if (m_bRootLost && m_events.empty())
            return Fail(ENOENT);
        return WaitResult::Changes;
    }

    // Called with m_mutex held.
    void MoveIncoming() {
        for (CEvent& event : m_incoming)
            m_events.push_back(std::move(event));
        m_incoming.clear();
    }

    WaitResult Fail(int nError) {
        m_bFailed = true;
        m_nFailure = nError;
        errno = nError;
        return WaitResult::Failed;
    }

    // The new name of a rename follows its old name at once in the kernel's queue, but the reader
    // may have handed it on in its next read.
    bool NextEventIsNewNameOf(const CEvent& oldName) {
        if (m_events.empty()) {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait_for(lock, kRenamePairWait, [&] { return m_bStop || !m_incoming.empty(); });
            MoveIncoming();
        }
        return !m_events.empty() && (m_events.front().nMask & IN_MOVED_TO) &&
               m_events.front().nCookie == oldName.nCookie;
    }

    void HandleNextEvent(CChangeBatch& batch) {
        CEvent event = std::move(m_events.front());
        m_events.pop_front();
        auto folder = m_folders.find(event.nWatch);
        if (folder == m_folders.end())
            return;
        if (event.nWatch == m_nRootWatch && (event.nMask & kRootLost)) {
            Fail(ENOENT);
            return;
        }
        if (event.nMask & IN_IGNORED) {
            m_folders.erase(folder);
            return;
        }
        std::string strPath = Posix::JoinRelative(folder->second, event.strName);
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
            batch.records.push_back(
                {kActionRenamedNewName, Posix::JoinRelative(newFolder->second, newName.strName)});
        }
    }

    void HandleFolderEvent(const CEvent& event, const std::string& strPath, CChangeBatch& batch) {
        if (event.nMask & (IN_CREATE | IN_MOVED_TO)) {
            WatchTree(strPath, batch.failures, &batch.records, false);
            return;
        }
        if (!(event.nMask & IN_MOVED_FROM))
            return;
        if (NextEventIsNewNameOf(event)) {
            CEvent newName = std::move(m_events.front());
            m_events.pop_front();
            auto newFolder = m_folders.find(newName.nWatch);
            if (newFolder != m_folders.end()) {
                RenameFolder(strPath, Posix::JoinRelative(newFolder->second, newName.strName));
                return;
            }
        }
        ForgetFolder(strPath);
    }

    void RenameFolder(const std::string& strOld, const std::string& strNew) {
        for (auto& entry : m_folders)
            if (entry.first != m_nRootWatch && IsBelow(entry.second, strOld))
                entry.second = strNew + entry.second.substr(strOld.size());
    }

    // The folder left the tree: its watches would report under names that no longer exist.
    void ForgetFolder(const std::string& strFolder) {
        for (auto it = m_folders.begin(); it != m_folders.end();) {
            if (it->first != m_nRootWatch && IsBelow(it->second, strFolder)) {
                m_pQueue->RemoveWatch(this, it->first);
                it = m_folders.erase(it);
            } else {
                ++it;
            }
        }
    }

    // Changes were dropped: folders may have come, gone or been renamed unseen. Every folder of the
    // tree is watched again under its present name, and, when the whole tree was seen, watches of
    // folders not found are given up. The root's own end may have been dropped too: a root that is
    // no longer there fails the watch here.
    void RewatchTree(std::vector<CWatchFailure>& failures) {
        std::set<int> visited;
        size_t nFailuresBefore = failures.size();
        int nRootError = WatchTree(std::string(), failures, nullptr, true, &visited);
        if (nRootError == ENOENT || nRootError == ENOTDIR)
            Fail(nRootError);
        if (IsStopPosted() || nRootError != 0 || failures.size() != nFailuresBefore)
            return;
        for (auto it = m_folders.begin(); it != m_folders.end();) {
            if (visited.count(it->first) == 0) {
                m_pQueue->RemoveWatch(this, it->first);
                it = m_folders.erase(it);
            } else {
                ++it;
            }
        }
    }

    // Watches strFolder ("" for the root) and every folder below it, each before it is listed so
    // that nothing created meanwhile goes unseen; with pFiles, every file found is reported as
    // added. A folder already watched by this watcher is an alias of one seen before (a bind mount
    // inside its own tree) and is not entered again, unless bRenew: then the first sighting in
    // this walk names it. Ends early at the stop. Returns the root's error when the root is walked
    // and cannot be watched.
    int WatchTree(const std::string& strFolder, std::vector<CWatchFailure>& failures,
                  std::vector<CChangeRecord>* pFiles, bool bRenew, std::set<int>* pVisited = nullptr) {
        std::set<int> visited;
        if (pVisited == nullptr)
            pVisited = &visited;
        int nRootError = 0;
        std::vector<std::string> pending{strFolder};
        std::vector<Posix::CFolderEntry> entries;
        while (!pending.empty() && !IsStopPosted()) {
            std::string strRelative = std::move(pending.back());
            pending.pop_back();
            bool bRoot = strRelative.empty();
            int nWatch = -1;
            bool bKnown = false;
            auto watchOpened = [&](int nHandle) {
                nWatch = m_pQueue->AddWatch(this, nHandle, m_nEvents, bRoot);
                if (nWatch < 0)
                    return false;
                bKnown = m_folders.count(nWatch) > 0;
                return !pVisited->count(nWatch) && (bRenew || !bKnown);
            };
            CFileVersion selfVersion;
            Posix::ListResult result =
                Posix::ListFolderBelow(m_strRoot, strRelative, false, entries, selfVersion, watchOpened);
            int nError = errno;
            if (result == Posix::ListResult::NotAFolder) {
                if (pFiles != nullptr)
                    pFiles->push_back({kActionAdded, strRelative});
                continue;
            }
            if (nWatch >= 0 && (pVisited->count(nWatch) || (!bRenew && bKnown)))
                continue;
            if (nWatch >= 0) {
                pVisited->insert(nWatch);
                m_folders[nWatch] = strRelative;
                if (bRoot)
                    m_nRootWatch = nWatch;
            }
            if (result == Posix::ListResult::Failed) {
                if (bRoot)
                    nRootError = nError;
                else if (nError != ENOENT)
                    failures.push_back({Posix::JoinRelative(m_strRoot, strRelative), nError});
                continue;
            }
            for (const Posix::CFolderEntry& entry : entries) {
                std::string strChild = Posix::JoinRelative(strRelative, entry.strName);
                if (entry.bFolder)
                    pending.push_back(std::move(strChild));
                else if (pFiles != nullptr)
                    pFiles->push_back({kActionAdded, std::move(strChild)});
            }
        }
        return nRootError;
    }

    std::shared_ptr<CChangeQueue> m_pQueue;
    std::string m_strRoot;
    uint32_t m_nEvents = kBaseEvents;
    int m_nRootWatch = -1;
    // Watch number -> folder relative to the root ("" for the root).
    std::unordered_map<int, std::string> m_folders;
    std::deque<CEvent> m_events;
    bool m_bFailed = false;
    int m_nFailure = 0;

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<CEvent> m_incoming;
    size_t m_nPendingLimit = kMaxPendingChanges;
    bool m_bStop = false;
    bool m_bOverflow = false;
    bool m_bRootLost = false;
    int m_nQueueError = 0;
};

class CInotifyWatchers final : public IChangeWatcherFactory {
  public:
    std::unique_ptr<IChangeWatcher> CreateWatcher() override {
        auto pWatcher = std::make_unique<CInotifyWatcher>();
        if (pWatcher->JoinQueue())
            return pWatcher;
        return nullptr;
    }
};

IChangeWatcherFactory& SystemChangeWatchers() {
    // Never destroyed: a watcher may still leave while the process ends.
    static IChangeWatcherFactory* pWatchers = new CInotifyWatchers();
    return *pWatchers;
}

namespace Posix {

void SetPendingChangeLimitForTest(IChangeWatcher& watcher, size_t nLimit) {
    static_cast<CInotifyWatcher&>(watcher).SetPendingChangeLimit(nLimit);
}

bool HoldChangeReadingForTest(bool bHold) {
    std::shared_ptr<CChangeQueue> pQueue = CChangeQueue::Current();
    return pQueue && pQueue->Hold(bHold);
}

} // namespace Posix

} // namespace Platform
