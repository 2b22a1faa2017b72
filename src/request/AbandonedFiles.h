#pragma once

#include "platform/FileVersion.h"

#include <map>
#include <mutex>
#include <string>

// The print files this agent renamed after their parse was abandoned ("FATAL-0042.klendo"), kept
// for an operator to look at. They are remembered across restarts in "KlendoAbandoned.dat" beside
// the archive, so that exactly those files are left alone when a start-up scan finds them again,
// while a user's file that merely has such a name is billed as usual. A file counts by its full path
// and its version: one put in its place later is a new job. Entries whose file is gone or changed
// are forgotten when the list is first read. Any thread.
class CAbandonedFiles {
  public:
    // The list kept in strFolder (the module directory), shared by every request of the process.
    static CAbandonedFiles& In(const std::string& strFolder);
    // A list read afresh from strFolder, as the next start reads it.
    explicit CAbandonedFiles(std::string strFolder);

    bool Contains(const std::string& strPath, const Platform::CFileVersion& version);
    void Add(const std::string& strPath, const Platform::CFileVersion& version);

    static constexpr const char* kFileName = "KlendoAbandoned.dat";

  private:
    void LoadOnce();
    void Rewrite();

    std::mutex m_mutex;
    std::string m_strFilePath;
    bool m_bLoaded = false;
    std::map<std::string, Platform::CFileVersion> m_files;
};
