#pragma once

#include "config/AgentSettings.h"
#include "config/IniFile.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

// A settings file in a folder of its own, and the readers of it.
class SettingsFile : public ::testing::Test {
  protected:
    void Write(const std::string& strContent) {
        WriteWholeFile(m_folder / "KlendoHotFolderAgent.ini", strContent);
    }
    CIniFile Ini() const { return CIniFile(m_folder / "KlendoHotFolderAgent.ini"); }
    CAgentSettings Settings() const { return CAgentSettings(m_folder / "KlendoHotFolderAgent.ini"); }

    CTempFolder m_folder;
};
