#pragma once

#include "platform/ChangeWatcher.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Watchers whose changes the test pushes. A watcher opens only a folder that exists; once started,
// it is found by its root, the latest started one of a root first. Any thread.
class CFakeChangeWatchers final : public Platform::IChangeWatcherFactory {
  public:
    std::unique_ptr<Platform::IChangeWatcher> CreateWatcher() override;

    // The next watchers cannot be made, with this system error (0: they can again).
    void FailCreation(int nError);

    // Hands the watcher of strRoot one batch, or a failure of its watch; false when no watcher of
    // strRoot is started.
    bool Push(const std::string& strRoot, const Platform::CChangeBatch& batch);
    bool PushRecord(const std::string& strRoot, uint32_t nAction, const std::string& strName);
    bool PushOverflow(const std::string& strRoot);
    bool Fail(const std::string& strRoot, int nError);

    // The watchers started so far no longer see a posted stop, as a thread hung in a system call.
    void HangWatchersStarted();

    // True once the watcher of strRoot has been handed every batch pushed and waits again, so its
    // caller has done with them (false after a deadline that only bounds a failure).
    bool WaitUntilIdle(const std::string& strRoot);

    // Whether the started watcher of strRoot reports modified files; false when there is none.
    bool ReportsModified(const std::string& strRoot);

    struct CState;

  private:
    std::shared_ptr<CState> Find(const std::string& strRoot);

    std::mutex m_mutex;
    int m_nCreationError = 0;
    std::vector<std::weak_ptr<CState>> m_started;
};
