#include "platform/ChangeWatcher.h"

#include "platform/FileSystem.h"
#include "platform/win32/UniqueHandle.h"
#include "platform/win32/WideText.h"

#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <set>
#include <thread>

// The watcher on ReadDirectoryChangesW. One read covers the whole tree below the root (the kernel
// follows new subfolders itself and never enters a link), so a watcher costs one folder handle and
// one bounded buffer. Every read of the process completes on one I/O completion port served by one
// thread, which hands each change to its watcher: a thousand hot folders cost no thread each. The
// system reports folders and rename pairs as it sees them; the watcher's own thread turns them into
// the records the header promises (no folder named, a folder moved in reported by its files) and
// keeps the names of the folders below the root for that. The root's own removal or move shows in
// no read of the tree: a second, small read on the root's parent tells when the root's name
// changed, and the root is then looked at again.
namespace Platform {

namespace {

// 64 KiB is the most a read on a network share may ask for.
constexpr DWORD kTreeBufferBytes = 64 * 1024;
constexpr DWORD kParentBufferBytes = 4 * 1024;
constexpr DWORD kBaseFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME;
constexpr DWORD kWriteFilter = FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_SIZE;
// Changes waiting for one watcher's thread; a thread that falls further behind gets an overflow.
constexpr size_t kMaxPendingChanges = 16384;
// Names of entries gone before they were looked at, kept so that their removal is not reported.
constexpr size_t kMaxVanishedNames = 4096;

struct CRawChange {
    DWORD nAction = 0;
    std::string strName;
};

// "\\?\" before an absolute path lifts the 260-character limit; such a path must use backslashes.
std::wstring ExtendedPath(const std::wstring& wstrFull) {
    if (wstrFull.compare(0, 4, L"\\\\?\\") == 0)
        return wstrFull;
    if (wstrFull.compare(0, 2, L"\\\\") == 0)
        return L"\\\\?\\UNC\\" + wstrFull.substr(2);
    return L"\\\\?\\" + wstrFull;
}

std::wstring WithBackslashes(std::wstring wstrPath) {
    for (wchar_t& cChar : wstrPath)
        if (cChar == L'/')
            cChar = L'\\';
    return wstrPath;
}

bool IsFolderAttributes(DWORD nAttributes) {
    // A link or junction to a folder is an entry like a file: it is never entered.
    return (nAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(nAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

std::string JoinRelative(const std::string& strFolder, const std::string& strName) {
    return strFolder.empty() ? strName : strFolder + kPathSeparator + strName;
}

// Names differ only in case on Windows' file systems: the folder table compares them folded.
std::string FoldedName(const std::string& strName) {
    std::wstring wstrName = Win32::ToWide(strName);
    if (!wstrName.empty())
        ::CharLowerBuffW(&wstrName[0], static_cast<DWORD>(wstrName.size()));
    return Win32::FromWide(wstrName);
}

bool IsBelow(const std::string& strPath, const std::string& strFolder) {
    return strPath == strFolder ||
           (strPath.size() > strFolder.size() && strPath.compare(0, strFolder.size(), strFolder) == 0 &&
            strPath[strFolder.size()] == kPathSeparator);
}

} // namespace

// What the completion thread tells a watcher. Each call takes the watcher's own lock only.
class CChangeSink {
  public:
    virtual void Deliver(std::vector<CRawChange>& changes) = 0;
    virtual void NoteOverflow() = 0;
    virtual void NoteParentChanged() = 0;
    virtual void NoteReadFailed(DWORD nError) = 0;

  protected:
    ~CChangeSink() = default;
};

// One outstanding read on a folder. The kernel writes into the buffer and the OVERLAPPED until the
// read's completion has been taken from the port, so both live until then.
struct CFolderRead {
    Win32::CUniqueHandle folder;
    OVERLAPPED overlapped{};
    std::unique_ptr<DWORD[]> pBuffer;
    DWORD nBufferBytes = 0;
    DWORD nFilter = 0;
    bool bTree = false;
    CChangeSink* pSink = nullptr;
    // Guarded by the queue's mutex.
    bool bPending = false;
    bool bClosing = false;
};

// The process's one completion port and its thread. m_mutex guards every read's bPending and
// bClosing and is held while a completion is handed on, so a read that is being closed is never
// handed on again. Lock order: m_mutex, then a sink's own lock.
class CChangeQueue {
  public:
    static std::shared_ptr<CChangeQueue> Join() {
        std::lock_guard<std::mutex> guard(RegistryMutex());
        std::shared_ptr<CChangeQueue> pQueue = Registry().lock();
        if (pQueue)
            return pQueue;
        pQueue = std::make_shared<CChangeQueue>();
        if (!pQueue->Start()) {
            DWORD nError = ::GetLastError();
            pQueue.reset();
            ::SetLastError(nError);
            return nullptr;
        }
        Registry() = pQueue;
        return pQueue;
    }

    ~CChangeQueue() {
        // The stop key: a packet with no OVERLAPPED ends the thread.
        if (m_thread.joinable()) {
            ::PostQueuedCompletionStatus(m_port.Get(), 0, 0, nullptr);
            m_thread.join();
        }
    }

    // Ties the read's folder to the port and starts its first read; false with the system error.
    bool Begin(CFolderRead& read) {
        if (::CreateIoCompletionPort(read.folder.Get(), m_port.Get(), reinterpret_cast<ULONG_PTR>(&read),
                                     0) == nullptr)
            return false;
        std::lock_guard<std::mutex> guard(m_mutex);
        return Issue(read);
    }

    // Ends the read; once this returns the kernel no longer writes into it and nothing reaches its
    // sink from it.
    void Close(CFolderRead& read) {
        std::unique_lock<std::mutex> lock(m_mutex);
        read.bClosing = true;
        if (read.bPending)
            ::CancelIoEx(read.folder.Get(), &read.overlapped);
        // The cancelled (or already finished) read's completion still comes through the port.
        m_readEnded.wait(lock, [&] { return !read.bPending; });
    }

  private:
    static std::mutex& RegistryMutex() {
        static std::mutex* pMutex = new std::mutex();
        return *pMutex;
    }
    static std::weak_ptr<CChangeQueue>& Registry() {
        static std::weak_ptr<CChangeQueue>* pQueue = new std::weak_ptr<CChangeQueue>();
        return *pQueue;
    }

    bool Start() {
        m_port.Reset(::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
        if (!m_port)
            return false;
        try {
            m_thread = std::thread(&CChangeQueue::ThreadMain, this);
        } catch (const std::system_error&) {
            ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
        return true;
    }

    // Called with m_mutex held.
    bool Issue(CFolderRead& read) {
        read.overlapped = OVERLAPPED{};
        if (!::ReadDirectoryChangesW(read.folder.Get(), read.pBuffer.get(), read.nBufferBytes,
                                     read.bTree ? TRUE : FALSE, read.nFilter, nullptr, &read.overlapped,
                                     nullptr))
            return false;
        read.bPending = true;
        return true;
    }

    void ThreadMain() {
        while (true) {
            DWORD nBytes = 0;
            ULONG_PTR nKey = 0;
            OVERLAPPED* pOverlapped = nullptr;
            BOOL bDone = ::GetQueuedCompletionStatus(m_port.Get(), &nBytes, &nKey, &pOverlapped, INFINITE);
            // The stop key, or the port itself gone.
            if (pOverlapped == nullptr)
                return;
            DWORD nError = bDone ? ERROR_SUCCESS : ::GetLastError();
            Complete(*reinterpret_cast<CFolderRead*>(nKey), nBytes, nError);
        }
    }

    void Complete(CFolderRead& read, DWORD nBytes, DWORD nError) {
        std::lock_guard<std::mutex> guard(m_mutex);
        read.bPending = false;
        if (read.bClosing) {
            m_readEnded.notify_all();
            return;
        }
        if (!read.bTree) {
            // Whatever the parent says, overflow included, the root is looked at again.
            read.pSink->NoteParentChanged();
        } else if (nError == ERROR_NOTIFY_ENUM_DIR || (nError == ERROR_SUCCESS && nBytes == 0)) {
            read.pSink->NoteOverflow();
        } else if (nError != ERROR_SUCCESS) {
            read.pSink->NoteReadFailed(nError);
            return;
        } else {
            std::vector<CRawChange> changes = Parse(read, nBytes);
            read.pSink->Deliver(changes);
        }
        if (!Issue(read)) {
            DWORD nIssueError = ::GetLastError();
            if (read.bTree)
                read.pSink->NoteReadFailed(nIssueError);
            else
                read.pSink->NoteParentChanged();
        }
    }

    static std::vector<CRawChange> Parse(const CFolderRead& read, DWORD nBytes) {
        std::vector<CRawChange> changes;
        const char* pStart = reinterpret_cast<const char*>(read.pBuffer.get());
        size_t nSize = std::min<size_t>(nBytes, read.nBufferBytes);
        for (size_t nOffset = 0; nOffset + sizeof(FILE_NOTIFY_INFORMATION) <= nSize;) {
            const auto* pInfo = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(pStart + nOffset);
            size_t nNameOffset = nOffset + offsetof(FILE_NOTIFY_INFORMATION, FileName);
            size_t nLength = std::min<size_t>(pInfo->FileNameLength, nSize - nNameOffset) / sizeof(wchar_t);
            CRawChange change;
            change.nAction = pInfo->Action;
            change.strName = Win32::FromWide(pInfo->FileName, nLength);
            for (char& cChar : change.strName)
                if (cChar == '\\')
                    cChar = kPathSeparator;
            changes.push_back(std::move(change));
            if (pInfo->NextEntryOffset == 0)
                break;
            nOffset += pInfo->NextEntryOffset;
        }
        return changes;
    }

    Win32::CUniqueHandle m_port;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_readEnded;
};

// The watcher. Its waiting thread alone uses the folder table and the changes being handled;
// m_mutex guards what the completion thread and PostStop hand in.
class CDirectoryWatcher final : public IChangeWatcher, public CChangeSink {
  public:
    ~CDirectoryWatcher() override {
        if (!m_pQueue)
            return;
        if (m_pTreeRead)
            m_pQueue->Close(*m_pTreeRead);
        if (m_pParentRead)
            m_pQueue->Close(*m_pParentRead);
    }

    bool JoinQueue() {
        m_pQueue = CChangeQueue::Join();
        return m_pQueue != nullptr;
    }

    bool OpenFolder(const std::string& strRoot) override {
        if (strRoot.empty()) {
            ::SetLastError(ERROR_PATH_NOT_FOUND);
            return false;
        }
        std::wstring wstrGiven = WithBackslashes(Win32::ToWide(strRoot));
        DWORD nLength = ::GetFullPathNameW(wstrGiven.c_str(), 0, nullptr, nullptr);
        if (nLength == 0)
            return false;
        std::wstring wstrFull(nLength, L'\0');
        nLength = ::GetFullPathNameW(wstrGiven.c_str(), nLength, &wstrFull[0], nullptr);
        if (nLength == 0 || nLength >= wstrFull.size())
            return false;
        wstrFull.resize(nLength);
        while (wstrFull.size() > 3 && wstrFull.back() == L'\\')
            wstrFull.pop_back();
        DWORD nAttributes = ::GetFileAttributesW(ExtendedPath(wstrFull).c_str());
        if (nAttributes == INVALID_FILE_ATTRIBUTES)
            return false;
        if (!(nAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            ::SetLastError(ERROR_DIRECTORY);
            return false;
        }
        m_wstrRoot = ExtendedPath(wstrFull);
        return true;
    }

    bool StartWatching(bool bReportModified, std::vector<CWatchFailure>& failures) override {
        (void)failures; // the one read covers every folder below: none can fail on its own
        m_bReportModified = bReportModified;
        Win32::CUniqueHandle root = OpenFolderHandle(m_wstrRoot);
        if (!root || !::GetFileInformationByHandle(root.Get(), &m_rootIdentity))
            return false;
        m_pTreeRead = MakeRead(std::move(root), kTreeBufferBytes,
                               kBaseFilter | (bReportModified ? kWriteFilter : 0), true);
        if (!m_pQueue->Begin(*m_pTreeRead)) {
            DWORD nError = ::GetLastError();
            m_pTreeRead.reset();
            ::SetLastError(nError);
            return false;
        }
        WatchParent();
        // The tree's present folders, so that their later removal or renaming is told from a file's.
        AddFolderTree(std::string(), nullptr);
        return true;
    }

    WaitResult Wait(CChangeBatch& batch) override {
        batch = CChangeBatch();
        while (true) {
            if (m_bFailed) {
                ::SetLastError(m_nFailure);
                return WaitResult::Failed;
            }
            std::vector<CRawChange> changes;
            bool bCheckRoot = false;
            WaitResult result = TakeIncoming(changes, batch.bOverflow, bCheckRoot);
            if (result != WaitResult::Changes)
                return result;
            for (const CRawChange& change : changes)
                HandleChange(change, batch);
            FlushRenameOldName(batch);
            if (batch.bOverflow)
                RebuildFolderTable();
            if (bCheckRoot || batch.bOverflow) {
                DWORD nRootError = RootError();
                if (nRootError != ERROR_SUCCESS)
                    return Fail(nRootError);
            }
            if (!batch.records.empty() || batch.bOverflow)
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

    void Deliver(std::vector<CRawChange>& changes) override {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            if (m_incoming.size() + changes.size() > kMaxPendingChanges) {
                // The look at the tree that the overflow asks for finds whatever these would have said.
                m_incoming.clear();
                m_bOverflow = true;
            } else {
                for (CRawChange& change : changes)
                    m_incoming.push_back(std::move(change));
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

    void NoteParentChanged() override {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_bCheckRoot = true;
        }
        m_changed.notify_all();
    }

    void NoteReadFailed(DWORD nError) override {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_nReadError = nError;
        }
        m_changed.notify_all();
    }

  private:
    static Win32::CUniqueHandle OpenFolderHandle(const std::wstring& wstrPath) {
        return Win32::CUniqueHandle(::CreateFileW(
            wstrPath.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr));
    }

    std::unique_ptr<CFolderRead> MakeRead(Win32::CUniqueHandle folder, DWORD nBytes, DWORD nFilter,
                                          bool bTree) {
        auto pRead = std::make_unique<CFolderRead>();
        pRead->folder = std::move(folder);
        pRead->pBuffer.reset(new DWORD[nBytes / sizeof(DWORD)]);
        pRead->nBufferBytes = nBytes;
        pRead->nFilter = nFilter;
        pRead->bTree = bTree;
        pRead->pSink = this;
        return pRead;
    }

    // A root with no parent (a drive's root) cannot be moved; a parent that cannot be watched
    // leaves the root's removal to the tree's read, which fails when it is removed.
    void WatchParent() {
        size_t nLast = m_wstrRoot.find_last_of(L'\\');
        if (nLast == std::wstring::npos || nLast < 6 || nLast + 1 == m_wstrRoot.size())
            return;
        std::wstring wstrParent = m_wstrRoot.substr(0, nLast);
        // "\\?\C:" is the volume itself; its root folder is "\\?\C:\".
        if (wstrParent.back() == L':')
            wstrParent += L'\\';
        Win32::CUniqueHandle parent = OpenFolderHandle(wstrParent);
        if (!parent)
            return;
        auto pRead = MakeRead(std::move(parent), kParentBufferBytes, FILE_NOTIFY_CHANGE_DIR_NAME, false);
        if (m_pQueue->Begin(*pRead))
            m_pParentRead = std::move(pRead);
    }

    // ERROR_SUCCESS while the root's path still names the folder being watched; otherwise why not
    // (ERROR_FILE_NOT_FOUND when another folder took the name).
    DWORD RootError() const {
        Win32::CUniqueHandle root(::CreateFileW(m_wstrRoot.c_str(), 0,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        BY_HANDLE_FILE_INFORMATION info;
        if (!root || !::GetFileInformationByHandle(root.Get(), &info))
            return ::GetLastError() != ERROR_SUCCESS ? ::GetLastError() : ERROR_FILE_NOT_FOUND;
        bool bSame = info.dwVolumeSerialNumber == m_rootIdentity.dwVolumeSerialNumber &&
                     info.nFileIndexHigh == m_rootIdentity.nFileIndexHigh &&
                     info.nFileIndexLow == m_rootIdentity.nFileIndexLow;
        return bSame ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    }

    WaitResult TakeIncoming(std::vector<CRawChange>& changes, bool& bOverflow, bool& bCheckRoot) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [&] {
            return m_bStop || !m_incoming.empty() || m_bOverflow || m_bCheckRoot || m_nReadError != 0;
        });
        if (m_bStop)
            return WaitResult::Stopped;
        changes.assign(std::make_move_iterator(m_incoming.begin()),
                       std::make_move_iterator(m_incoming.end()));
        m_incoming.clear();
        bOverflow = bOverflow || m_bOverflow;
        m_bOverflow = false;
        bCheckRoot = m_bCheckRoot;
        m_bCheckRoot = false;
        // Changes that came before the read broke are still told; the failure comes with the next wait.
        if (m_nReadError != 0) {
            if (changes.empty())
                return Fail(m_nReadError);
            m_bFailed = true;
            m_nFailure = m_nReadError;
        }
        return WaitResult::Changes;
    }

    WaitResult Fail(DWORD nError) {
        m_bFailed = true;
        m_nFailure = nError;
        ::SetLastError(nError);
        return WaitResult::Failed;
    }

    // The entry's attributes, INVALID_FILE_ATTRIBUTES when it is gone.
    DWORD AttributesOf(const std::string& strRelative) const {
        return ::GetFileAttributesW(FullPath(strRelative).c_str());
    }

    std::wstring FullPath(const std::string& strRelative) const {
        if (strRelative.empty())
            return m_wstrRoot;
        // A drive's root keeps its backslash; "\\?\" paths take no doubled one.
        std::wstring wstrSeparator = m_wstrRoot.back() == L'\\' ? L"" : L"\\";
        return m_wstrRoot + wstrSeparator + WithBackslashes(Win32::ToWide(strRelative));
    }

    void HandleChange(const CRawChange& change, CChangeBatch& batch) {
        if (change.nAction != FILE_ACTION_RENAMED_NEW_NAME)
            FlushRenameOldName(batch);
        switch (change.nAction) {
        case FILE_ACTION_ADDED:
            HandleAdded(change.strName, batch);
            break;
        case FILE_ACTION_REMOVED:
            HandleRemoved(change.strName, batch);
            break;
        case FILE_ACTION_MODIFIED:
            HandleModified(change.strName, batch);
            break;
        case FILE_ACTION_RENAMED_OLD_NAME:
            m_strRenameOldName = change.strName;
            m_bRenameOldPending = true;
            break;
        case FILE_ACTION_RENAMED_NEW_NAME:
            HandleRenamedNewName(change.strName, batch);
            break;
        default:
            break;
        }
    }

    void HandleAdded(const std::string& strName, CChangeBatch& batch) {
        DWORD nAttributes = AttributesOf(strName);
        if (nAttributes == INVALID_FILE_ATTRIBUTES) {
            // Gone before it was looked at: nothing to report, and so no removal either.
            if (m_vanished.size() >= kMaxVanishedNames)
                m_vanished.clear();
            m_vanished.insert(FoldedName(strName));
            return;
        }
        if (IsFolderAttributes(nAttributes))
            AddFolderTree(strName, &batch.records);
        else
            batch.records.push_back({kActionAdded, strName});
    }

    void HandleRemoved(const std::string& strName, CChangeBatch& batch) {
        std::string strKey = FoldedName(strName);
        if (m_folders.count(strKey) > 0)
            ForgetFolder(strKey);
        else if (m_vanished.erase(strKey) == 0)
            batch.records.push_back({kActionRemoved, strName});
    }

    void HandleModified(const std::string& strName, CChangeBatch& batch) {
        if (!m_bReportModified || m_folders.count(FoldedName(strName)) > 0)
            return;
        DWORD nAttributes = AttributesOf(strName);
        // A folder's own time changes with its entries; an entry gone is told by its removal.
        if (nAttributes != INVALID_FILE_ATTRIBUTES && !IsFolderAttributes(nAttributes))
            batch.records.push_back({kActionModified, strName});
    }

    void HandleRenamedNewName(const std::string& strName, CChangeBatch& batch) {
        if (!m_bRenameOldPending) {
            HandleAdded(strName, batch);
            return;
        }
        m_bRenameOldPending = false;
        std::string strOldKey = FoldedName(m_strRenameOldName);
        if (m_folders.count(strOldKey) > 0) {
            RenameFolder(strOldKey, FoldedName(strName));
            return;
        }
        DWORD nAttributes = AttributesOf(strName);
        if (nAttributes != INVALID_FILE_ATTRIBUTES && IsFolderAttributes(nAttributes)) {
            AddFolderTree(strName, &batch.records);
            return;
        }
        m_vanished.erase(strOldKey);
        batch.records.push_back({kActionRenamedOldName, m_strRenameOldName});
        batch.records.push_back({kActionRenamedNewName, strName});
    }

    // An old name that no new name followed: the entry left the tree.
    void FlushRenameOldName(CChangeBatch& batch) {
        if (!m_bRenameOldPending)
            return;
        m_bRenameOldPending = false;
        HandleRemoved(m_strRenameOldName, batch);
    }

    void ForgetFolder(const std::string& strKey) {
        for (auto it = m_folders.lower_bound(strKey); it != m_folders.end() && IsBelow(*it, strKey);)
            it = m_folders.erase(it);
    }

    void RenameFolder(const std::string& strOldKey, const std::string& strNewKey) {
        std::vector<std::string> moved;
        for (auto it = m_folders.lower_bound(strOldKey); it != m_folders.end() && IsBelow(*it, strOldKey);) {
            moved.push_back(strNewKey + it->substr(strOldKey.size()));
            it = m_folders.erase(it);
        }
        m_folders.insert(moved.begin(), moved.end());
    }

    // Changes were dropped: folders may have come, gone or been renamed unseen.
    void RebuildFolderTable() {
        m_folders.clear();
        m_vanished.clear();
        AddFolderTree(std::string(), nullptr);
    }

    // Notes strFolder ("" for the root) and every folder below it in the folder table; with
    // pFiles, every other entry found is reported as added. Links are never entered. Ends early
    // at the stop.
    void AddFolderTree(const std::string& strFolder, std::vector<CChangeRecord>* pFiles) {
        std::vector<std::string> pending{strFolder};
        while (!pending.empty() && !IsStopPosted()) {
            std::string strRelative = std::move(pending.back());
            pending.pop_back();
            if (!strRelative.empty())
                m_folders.insert(FoldedName(strRelative));
            WIN32_FIND_DATAW found;
            std::wstring wstrPattern = FullPath(strRelative) + L"\\*";
            HANDLE hFind = ::FindFirstFileExW(wstrPattern.c_str(), FindExInfoBasic, &found,
                                              FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
            if (hFind == INVALID_HANDLE_VALUE)
                continue;
            do {
                std::wstring wstrName = found.cFileName;
                if (wstrName == L"." || wstrName == L"..")
                    continue;
                std::string strChild = JoinRelative(strRelative, Win32::FromWide(wstrName));
                if (IsFolderAttributes(found.dwFileAttributes))
                    pending.push_back(std::move(strChild));
                else if (pFiles != nullptr)
                    pFiles->push_back({kActionAdded, std::move(strChild)});
            } while (::FindNextFileW(hFind, &found));
            ::FindClose(hFind);
        }
    }

    std::shared_ptr<CChangeQueue> m_pQueue;
    std::wstring m_wstrRoot;
    BY_HANDLE_FILE_INFORMATION m_rootIdentity{};
    bool m_bReportModified = false;
    std::unique_ptr<CFolderRead> m_pTreeRead;
    std::unique_ptr<CFolderRead> m_pParentRead;
    // Folders below the root, relative and case-folded.
    std::set<std::string> m_folders;
    std::set<std::string> m_vanished;
    std::string m_strRenameOldName;
    bool m_bRenameOldPending = false;
    bool m_bFailed = false;
    DWORD m_nFailure = 0;

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<CRawChange> m_incoming;
    bool m_bStop = false;
    bool m_bOverflow = false;
    bool m_bCheckRoot = false;
    DWORD m_nReadError = 0;
};

class CDirectoryWatchers final : public IChangeWatcherFactory {
  public:
    std::unique_ptr<IChangeWatcher> CreateWatcher() override {
        auto pWatcher = std::make_unique<CDirectoryWatcher>();
        if (pWatcher->JoinQueue())
            return pWatcher;
        return nullptr;
    }
};

IChangeWatcherFactory& SystemChangeWatchers() {
    // Never destroyed: a watcher may still leave while the process ends.
    static IChangeWatcherFactory* pWatchers = new CDirectoryWatchers();
    return *pWatchers;
}

} // namespace Platform
