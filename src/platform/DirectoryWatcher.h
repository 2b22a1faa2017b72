#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Platform {

// Action codes of a change record: the agent's own, shared with the Windows change records.
enum : uint32_t {
    kActionAdded = 1,
    kActionRemoved = 2,
    kActionModified = 3,
    kActionRenamedOldName = 4,
    kActionRenamedNewName = 5,
};

// One change of a file below the watched folder; strName is relative to it, with kPathSeparator
// between folder names. Folders themselves are never reported.
struct CChangeRecord {
    uint32_t nAction = 0;
    std::string strName;
};

// A folder of the tree that could not be watched (the per-user watch limit, no permission).
struct CWatchFailure {
    std::string strFolder;
    int nError = 0;
};

// What one wait delivered. bOverflow: changes were dropped (by the kernel, or because this watcher
// fell too far behind), so the records are incomplete and the caller must look at the tree itself.
struct CChangeBatch {
    std::vector<CChangeRecord> records;
    std::vector<CWatchFailure> failures;
    bool bOverflow = false;
};

enum class WaitResult { Changes, Stopped, Failed };

// Watches one folder and its whole subtree for file changes. A folder created or moved into the
// tree later is watched as it appears, and the files already in it are reported as added, so that a
// file created before its folder's watch existed is not missed. No link below the watched folder is
// ever followed. One thread waits; any thread may post the stop.
//
// Every watcher of the process shares one kernel change queue and one reader thread that hands each
// change to the watchers it concerns, so that a watcher costs no descriptor of its own and a
// thousand hot folders stay within the kernel's and the service's limits. The queue is made by the
// first watcher and ends with the last one. Watchers may overlap (the same folder twice, one inside
// another, a root that is a link into another tree): each gets the changes it asked for. Costs
// nothing while the trees are quiet: the reader sleeps in the kernel, each waiter on its own queue.
class CDirectoryWatcher {
  public:
    CDirectoryWatcher();
    ~CDirectoryWatcher();
    CDirectoryWatcher(const CDirectoryWatcher&) = delete;
    CDirectoryWatcher& operator=(const CDirectoryWatcher&) = delete;

    // Joins the process's change queue, making it when none runs. False on failure, with
    // GetLastError().
    bool CreateQueue();

    // True when strRoot is a folder that can be watched; false with GetLastError() otherwise.
    bool OpenFolder(const std::string& strRoot);

    // Starts watching the opened folder and every folder below it; bWatchWrites adds "modified"
    // records for files closed after writing. False (with GetLastError()) when the folder itself
    // cannot be watched; subfolders that cannot be watched are listed in failures.
    bool StartWatching(bool bWatchWrites, std::vector<CWatchFailure>& failures);

    // Blocks until changes arrive, the stop is posted or the watch fails (the folder was removed or
    // moved away, or the queue broke; GetLastError() tells why).
    WaitResult Wait(CChangeBatch& batch);

    // Makes the current or next Wait return Stopped. Safe from any thread.
    void PostStop();

    // True once the stop was posted: long loops of the waiting thread look at it. Any thread.
    bool IsStopPosted() const;

    // Test seam, not reachable from the settings: the number of changes waiting for this watcher's
    // thread beyond which they are dropped and an overflow is reported instead.
    void SetPendingChangeLimitForTest(size_t nLimit);

    // Test seam, not reachable from the settings: with bHold the reader thread stops reading the
    // kernel's queue (returning once it has stopped), so that changes pile up there until the
    // kernel reports an overflow; without, it reads again. False when no queue runs.
    static bool HoldChangeReadingForTest(bool bHold);

  private:
    class CImpl;
    std::unique_ptr<CImpl> m_pImpl;
};

} // namespace Platform
