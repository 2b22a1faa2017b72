#pragma once

#include "platform/EventLog.h"
#include "platform/RegistryStore.h"

#include <chrono>
#include <string>

// What an agent process works with; each empty string stands for the platform's own.
struct CAgentServiceOptions {
    // The agent's executable: its folder holds the settings, the log and the archive.
    std::string strModulePath;
    // The registry store (KLENDO_REGISTRY or the system's).
    std::string strRegistryPath;
    // The service manager's folder of service definitions (KLENDO_SYSTEMD_DIR or the system's).
    std::string strServiceFolder;
    // How long a stop waits for request threads before the log is closed.
    std::chrono::milliseconds requestWait{30000};
};

// The agent's registration: the AppID entries in the registry store, and its entry in the service
// manager. Results that become the process's exit code are 0 or the registry store's native error;
// failures the user must learn about go to the event log's messages. One object per use.
class CRegistration {
  public:
    static constexpr const char* kServiceName = "KlendoHotFolderAgent";
    static constexpr const char* kAppId = "{6A0E4C5B-2F19-4D8E-9B37-5C1D0E7F2A64}";
    static constexpr const char* kAppIdKey = "AppID";
    static constexpr const char* kAgentAppIdKey = "AppID\\{6A0E4C5B-2F19-4D8E-9B37-5C1D0E7F2A64}";
    static constexpr const char* kExeAppIdKey = "AppID\\KlendoHotFolderAgent.EXE";

    CRegistration(CAgentServiceOptions options, Platform::IEventLog& eventLog);

    // The type library is registered only with the system's own registry store: a test's or a
    // staged install's registration leaves the machine's type library registrations alone.
    int RegisterAgent(bool bRegTypeLib, bool bService);
    int UnregisterAgent();
    // 0 when the agent is registered; bService then tells whether as a service. Otherwise the exit
    // code of a start that does not run.
    int ReadRegistration(bool& bService);

    // The AppID entries: bRegister writes them, otherwise removes both keys with all their values.
    Platform::RegistryResult ApplyRegistrationScript(bool bRegister);
    bool InstallService();
    bool UninstallService();
    bool IsServiceInstalled();

    // The executable the service runs.
    std::string GetModulePath() const;

  private:
    int OpenAgentKeys(Platform::CRegistryStore& store, bool bForWrite);
    int TellComFailure(int nResult);

    CAgentServiceOptions m_options;
    Platform::IEventLog& m_eventLog;
};
