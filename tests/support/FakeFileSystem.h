#pragma once

#include "platform/FileAccess.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

// Real files in the test's folders, with the write-complete probe, writers and failures decided by
// the test: no write lease is ever taken and no other process's open files are searched. An entry
// counts as open by a writer while the test keeps it busy, or while another object of this file
// system holds the same path (as the kernel would see the agent's own hold). Settings are by an
// entry's name (its last part). Any thread.
class CFakeFileSystem : public Platform::IFileSystem {
  public:
    std::unique_ptr<Platform::IFileBeneath> NewFile() override;

    // Probes of the name find it Busy, as if another process had it open, until LetGo.
    void StayBusy(const std::string& strName);
    void LetGo(const std::string& strName);
    // The next opening of the name to hold it appends strText to the file first, as a writer that
    // came back right after the wait.
    void ChangeWhenHeld(const std::string& strName, const std::string& strText);
    // Probes that find a file free say they searched the open files: no write lease was granted,
    // for the reason nError.
    void RefuseWriteLeases(int nError);
    // Resolving the name fails with nError, as when no descriptor is left to open its folder.
    void FailResolve(const std::string& strName, int nError);
    // Runs action on the copying thread once the next copy of the name is made, before the copy
    // returns.
    void AfterCopy(const std::string& strName, std::function<void()> action);

  private:
    friend class CFakeFile;

    mutable std::mutex m_mutex;
    std::set<std::string> m_busy;
    std::map<std::string, std::string> m_changes;
    std::map<std::string, int> m_resolveErrors;
    std::map<std::string, std::function<void()>> m_afterCopy;
    // Full paths held open by objects of this file system, once per hold.
    std::multiset<std::string> m_held;
    int m_nLeaseError = 0;
    bool m_bRefuseLeases = false;
};
