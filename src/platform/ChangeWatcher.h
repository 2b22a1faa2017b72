#pragma once

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

// A folder below the watched one whose changes cannot be reported (a system limit, no permission):
// the records say nothing about it until a later look at the tree.
struct CWatchFailure {
    std::string strFolder;
    int nError = 0;
};

// What one wait delivered. bOverflow: changes were lost, so the records are incomplete and the
// caller must look at the tree itself.
struct CChangeBatch {
    std::vector<CChangeRecord> records;
    std::vector<CWatchFailure> failures;
    bool bOverflow = false;
};

enum class WaitResult { Changes, Stopped, Failed };

// Watches one folder and its whole subtree for file changes. A folder created or moved into the tree
// later is watched as it appears, and the files already in it are reported as added, so that no
// file created in it is missed. No link below the watched folder is ever followed. Watchers may
// overlap (the same folder twice, one inside another): each gets the changes it asked for. One
// thread waits; any thread may post the stop. Failures give the system error through GetLastError().
class IChangeWatcher {
  public:
    virtual ~IChangeWatcher() = default;

    // True when strRoot is a folder that can be watched.
    virtual bool OpenFolder(const std::string& strRoot) = 0;

    // Starts watching the opened folder and every folder below it; bReportModified adds "modified"
    // records for files whose content was written. False when the folder itself cannot be watched;
    // folders below it that cannot be are listed in failures.
    virtual bool StartWatching(bool bReportModified, std::vector<CWatchFailure>& failures) = 0;

    // Blocks until changes arrive, the stop is posted or the watch fails (the folder was removed or
    // moved away, or the system's change queue broke).
    virtual WaitResult Wait(CChangeBatch& batch) = 0;

    // Makes the current or next Wait return Stopped. Any thread.
    virtual void PostStop() = 0;

    // True once the stop was posted: long loops of the waiting thread look at it. Any thread.
    virtual bool IsStopPosted() const = 0;
};

// Makes watchers. All watchers of a process share the system's change queue, so that a thousand hot
// folders stay within the system's and the service's limits. Any thread.
class IChangeWatcherFactory {
  public:
    virtual ~IChangeWatcherFactory() = default;

    // A watcher joined to the change queue; null when the queue cannot be made.
    virtual std::unique_ptr<IChangeWatcher> CreateWatcher() = 0;
};

// The operating system's watchers; modules reach them through the environment they are given.
IChangeWatcherFactory& SystemChangeWatchers();

} // namespace Platform
