#pragma once

#include "platform/FileAccess.h"

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

// The real file system with failures and writers on demand: every entry is a real CFileBeneath,
// except where the test said otherwise for an entry's name (its last part). Any thread.
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

  private:
    friend class CFakeFile;

    mutable std::mutex m_mutex;
    std::set<std::string> m_busy;
    std::map<std::string, std::string> m_changes;
    int m_nLeaseError = 0;
    bool m_bRefuseLeases = false;
};
