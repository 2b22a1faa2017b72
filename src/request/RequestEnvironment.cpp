#include "request/RequestEnvironment.h"

#include "Include/LogFile.h"
#include "config/AgentSettings.h"
#include "platform/FileSystem.h"

CRequestEnvironment RequestEnvironmentIn(const std::string& strModuleFolder) {
    CRequestEnvironment environment;
    environment.strArchiveFolder = strModuleFolder;
    environment.strSettingsPath = CAgentSettings::SettingsPathIn(strModuleFolder);
    environment.strParserPath =
        JoinPath(strModuleFolder, std::string("KlendoPrintInfo") + Platform::kExecutableSuffix);
    return environment;
}

CRequestEnvironment CRequestProcessing::GetEnvironment() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_environment;
}

void CRequestProcessing::SetEnvironment(const CRequestEnvironment& environment) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_environment = environment;
}

bool CRequestProcessing::IsFirstWriteCompleteTestOf(const std::string& strFolder) {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_loggedTestFolders.insert(strFolder).second;
}
