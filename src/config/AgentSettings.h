#pragma once

#include "config/HotFolderInfo.h"

#include <string>
#include <vector>

// The agent's settings file (KlendoHotFolderAgent.ini in the module folder); every getter reads the
// file afresh.
class CAgentSettings {
  public:
    explicit CAgentSettings(std::string strPath);
    virtual ~CAgentSettings();

    int GetHotFolderCount() const;
    std::string GetServerAddress() const;
    int GetServerPort() const;

    // Fills the array with one new record per hot folder section (owned by the caller, freed with
    // CServiceManager::CleanArray); 1 when the array holds a record afterwards, else 0.
    int GetHotFolders(std::vector<CHotFolderInfo*>& folders) const;

    // The settings file of an agent installed in strModuleFolder.
    static std::string SettingsPathIn(const std::string& strModuleFolder);

    // More hot folder sections than this are not read: a hostile count must not exhaust memory.
    static constexpr int kMaxHotFolders = 1000;

  private:
    std::string m_strSettingsPath;
};
