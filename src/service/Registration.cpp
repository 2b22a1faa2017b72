#include "service/Registration.h"

#include "platform/ComModule.h"
#include "platform/FileSystem.h"
#include "platform/ServiceInstaller.h"
#include "platform/Thread.h"

#include <cstdio>

namespace {

std::string HexCode(int nCode) {
    char buffer[16];
    std::snprintf(buffer, sizeof(buffer), "0x%08x", static_cast<unsigned int>(nCode));
    return buffer;
}

} // namespace

CRegistration::CRegistration(CAgentServiceOptions options, Platform::IEventLog& eventLog)
    : m_options(std::move(options)), m_eventLog(eventLog) {}

// Nothing was changed; the code is the exit code.
int CRegistration::TellComFailure(int nResult) {
    m_eventLog.ShowMessage("Couldn't initialize COM (error " + HexCode(nResult) + ")");
    return nResult;
}

std::string CRegistration::GetModulePath() const {
    return m_options.strModulePath.empty() ? Platform::GetModuleFilePath() : m_options.strModulePath;
}

// The store's native error is the exit code, so it is taken before the message is shown.
int CRegistration::OpenAgentKeys(Platform::CRegistryStore& store, bool bForWrite) {
    Platform::RegistryResult result = store.OpenKey(kAppIdKey, bForWrite);
    if (result == Platform::RegistryResult::Ok)
        result = store.OpenKey(kAgentAppIdKey, bForWrite);
    if (result == Platform::RegistryResult::Ok)
        return 0;
    int nError = Platform::GetLastError();
    m_eventLog.ShowMessage(store.GetErrorText());
    return nError != 0 ? nError : 1;
}

// The type library's registration is the result: the registry and service changes made before it
// stay in place when it fails.
int CRegistration::RegisterAgent(bool bRegTypeLib, bool bService) {
    Platform::CComSession com(Platform::CComSession::Security::Default);
    if (com.GetResult() != 0)
        return TellComFailure(com.GetResult());
    UninstallService();
    ApplyRegistrationScript(true);
    Platform::CRegistryStore store(m_options.strRegistryPath);
    int nError = OpenAgentKeys(store, true);
    if (nError != 0)
        return nError;
    store.DeleteValue(kAgentAppIdKey, "LocalService");
    if (bService) {
        store.SetValue(kAgentAppIdKey, "LocalService", kServiceName);
        store.SetValue(kAgentAppIdKey, "ServiceParameters", "-Service");
        InstallService();
    }
    if (!bRegTypeLib || !store.IsSystemStore())
        return 0;
    int nResult = Platform::RegisterTypeLibrary(GetModulePath());
    if (nResult != 0)
        m_eventLog.ShowMessage("Couldn't register the type library (error " + HexCode(nResult) + ")");
    return nResult;
}

// The event source is removed also when its service is gone already (deleted by hand, say).
int CRegistration::UnregisterAgent() {
    Platform::CComSession com(Platform::CComSession::Security::Default);
    if (com.GetResult() != 0)
        return TellComFailure(com.GetResult());
    ApplyRegistrationScript(false);
    UninstallService();
    Platform::CServiceInstaller(kServiceName, m_options.strServiceFolder).RemoveEventSource();
    if (Platform::CRegistryStore(m_options.strRegistryPath).IsSystemStore())
        Platform::UnregisterTypeLibrary(GetModulePath());
    return 0;
}

// The agent does not run unregistered; the message tells the user why it ended at once.
int CRegistration::ReadRegistration(bool& bService) {
    Platform::CRegistryStore store(m_options.strRegistryPath);
    int nError = OpenAgentKeys(store, false);
    if (nError != 0)
        return nError;
    std::string strLocalService;
    bService =
        store.GetValue(kAgentAppIdKey, "LocalService", strLocalService) == Platform::RegistryResult::Ok;
    return 0;
}

Platform::RegistryResult CRegistration::ApplyRegistrationScript(bool bRegister) {
    using Platform::RegistryResult;
    Platform::CRegistryStore store(m_options.strRegistryPath);
    if (!bRegister) {
        RegistryResult result = store.DeleteKey(kAgentAppIdKey);
        RegistryResult exeResult = store.DeleteKey(kExeAppIdKey);
        return result != RegistryResult::Ok ? result : exeResult;
    }
    RegistryResult result = store.CreateKey(kAppIdKey);
    if (result == RegistryResult::Ok)
        result = store.SetValue(kAgentAppIdKey, "", kServiceName);
    if (result == RegistryResult::Ok)
        result = store.SetValue(kExeAppIdKey, "AppID", kAppId);
    return result;
}

bool CRegistration::IsServiceInstalled() {
    Platform::CServiceInstaller installer(kServiceName, m_options.strServiceFolder);
    return installer.OpenManager() && installer.IsInstalled();
}

bool CRegistration::InstallService() {
    if (IsServiceInstalled())
        return true;
    Platform::CServiceInstaller installer(kServiceName, m_options.strServiceFolder);
    if (!installer.OpenManager()) {
        m_eventLog.ShowMessage("Couldn't open service manager");
        return false;
    }
    if (!installer.Install(GetModulePath())) {
        m_eventLog.ShowMessage("Couldn't create service");
        return false;
    }
    return true;
}

// A running service is asked to stop and its entry removed; where the manager could not replace the
// entry of a service still stopping (Windows), the stop is awaited first.
bool CRegistration::UninstallService() {
    if (!IsServiceInstalled())
        return true;
    Platform::CServiceInstaller installer(kServiceName, m_options.strServiceFolder);
    if (!installer.OpenManager()) {
        m_eventLog.ShowMessage("Couldn't open service manager");
        return false;
    }
    if (!installer.OpenServiceEntry()) {
        m_eventLog.ShowMessage("Couldn't open service");
        return false;
    }
    installer.Stop();
    if (!installer.Uninstall()) {
        m_eventLog.ShowMessage("Service could not be deleted");
        return false;
    }
    return true;
}
