#include "config/AgentSettings.h"

#include "Include/LogFile.h"
#include "config/IniFile.h"

#include <memory>

namespace {

const char* const kSettingsFileName = "KlendoHotFolderAgent.ini";
const char* const kConfigurationSection = "configuration";

} // namespace

CAgentSettings::CAgentSettings(std::string strPath) : m_strSettingsPath(std::move(strPath)) {}

CAgentSettings::~CAgentSettings() = default;

std::string CAgentSettings::SettingsPathIn(const std::string& strModuleFolder) {
    return JoinPath(strModuleFolder, kSettingsFileName);
}

int CAgentSettings::GetHotFolderCount() const {
    return CIniFile(m_strSettingsPath).GetInt(kConfigurationSection, "hotfoldercount", 0);
}

std::string CAgentSettings::GetServerAddress() const {
    return CIniFile(m_strSettingsPath).GetString(kConfigurationSection, "serveraddress", "localhost");
}

int CAgentSettings::GetServerPort() const {
    return CIniFile(m_strSettingsPath).GetInt(kConfigurationSection, "serverport", 80);
}

int CAgentSettings::GetHotFolders(std::vector<CHotFolderInfo*>& folders) const {
    folders.clear();
    CIniFile ini(m_strSettingsPath);
    int nCount = GetHotFolderCount();
    if (nCount > kMaxHotFolders) {
        LogTrace("--F: hotfoldercount=%d is more than %d, only the first %d hot folders are read", nCount,
                 kMaxHotFolders, kMaxHotFolders);
        nCount = kMaxHotFolders;
    }
    for (int nIndex = 1; nIndex <= nCount; ++nIndex) {
        std::string strSection = "hotfolder_" + std::to_string(nIndex);
        auto pFolder = std::make_unique<CHotFolderInfo>();
        pFolder->source = ini.GetString(strSection, "source", "");
        pFolder->destination = ini.GetString(strSection, "destination", "");
        pFolder->devicename = ini.GetString(strSection, "devicename", "");
        pFolder->type = ini.GetString(strSection, "type", "");
        pFolder->usernamefrom = ini.GetString(strSection, "usernamefrom", "");
        pFolder->halfsize = ini.GetInt(strSection, "halfsize", 0) == 1 ? 1 : 0;
        pFolder->copies = ini.GetInt(strSection, "copies", 1);
        folders.push_back(pFolder.get());
        pFolder.release();
    }
    return folders.empty() ? 0 : 1;
}
