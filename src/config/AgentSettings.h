#pragma once

#include "config/HotFolderInfo.h"

#include <string>
#include <vector>

// KlendoHotFolderAgent.ini beside the executable; every getter reads the file afresh.
class CAgentSettings {
  public:
    CAgentSettings();
    virtual ~CAgentSettings();

    int GetHotFolderCount() const;
    std::string GetServerAddress() const;
    int GetServerPort() const;

    // Fills the array with one new record per hot folder section (owned by the caller, freed with
    // CServiceManager::CleanArray); 1 when the array holds a record afterwards, else 0.
    int GetHotFolders(std::vector<CHotFolderInfo*>& folders) const;

    // The settings file's path beside the executable, unless a test has moved it.
    static std::string DefaultSettingsPath();
    // Test seam, not reachable from the settings: read this file instead (empty restores the default).
    static void OverrideSettingsPathForTest(const std::string& strPath);

    // More hot folder sections than this are not read: a hostile count must not exhaust memory.
    static constexpr int kMaxHotFolders = 1000;

  private:
    std::string m_strSettingsPath;
};
