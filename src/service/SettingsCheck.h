#pragma once

#include "config/HotFolderInfo.h"

#include <functional>
#include <string>
#include <vector>

// What "KlendoHotFolderAgent -Check" does: reads the settings as the agent reads them, prints them
// resolved, then one line per problem that would keep a hot folder or the server from working, and
// what waits in the archive and the rejected file. It starts nothing, changes nothing and takes no
// lock, so it runs beside a running agent. Folder rights are those of the user who runs the check.
class CSettingsCheck {
  public:
    using LineSink = std::function<void(const std::string&)>;

    // Reads the agent's settings file; strInstallFolder holds the archive and the rejected file;
    // lines go to sink.
    CSettingsCheck(std::string strInstallFolder, LineSink sink);

    // Prints everything; returns the number of problem lines printed.
    int Run();

    // How long the server is given to accept a connection.
    static constexpr long kConnectTimeoutMs = 5000;

  private:
    void RunChecks();
    void PrintSettings(const std::vector<CHotFolderInfo>& folders, int nCount);
    void CheckSections(int nCount);
    void CheckFolder(int nNumber, const CHotFolderInfo& folder);
    void CheckFolderRelations(const std::vector<CHotFolderInfo>& folders);
    // A number the agent would read wrapped around, not as written.
    void CheckNumbers();
    void CheckServer();
    void PrintArchive();
    void Problem(const std::string& strText);

    std::string m_strSettingsPath;
    std::string m_strInstallFolder;
    LineSink m_sink;
    int m_nProblems = 0;
};

// The activities of the archive in strFolder that still wait for the server: its records less those
// already acknowledged since it was last rewritten. Reads without taking the archive's lock.
size_t CountPendingActivities(const std::string& strFolder);

// The records of an archive or rejected file at strPath; 0 when it is missing.
size_t CountArchiveRecords(const std::string& strPath);
