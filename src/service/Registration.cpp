#include "service/AgentService.h"

#include "platform/RegistryStore.h"
#include "platform/ServiceInstaller.h"

// COM, the security descriptor and the type library have no counterpart here: the steps that
// remain keep their order, and the type library's result, which ends RegisterAgent, is success.
int CAgentService::RegisterAgent(bool /*bRegTypeLib*/, bool bService) {
    UninstallService();
    ApplyRegistrationScript(true);
    Platform::CRegistryStore store(m_strRegistryPath);
    int nError = store.OpenKey(kAppIdKey, true);
    if (nError == 0)
        nError = store.OpenKey(kAgentAppIdKey, true);
    if (nError != 0) {
        ShowMessage(store.GetErrorText());
        return nError;
    }
    store.DeleteValue(kAgentAppIdKey, "LocalService");
    if (bService) {
        store.SetValue(kAgentAppIdKey, "LocalService", kServiceName);
        store.SetValue(kAgentAppIdKey, "ServiceParameters", "-Service");
        InstallService();
    }
    return 0;
}

int CAgentService::UnregisterAgent() {
    ApplyRegistrationScript(false);
    UninstallService();
    return 0;
}

int CAgentService::ApplyRegistrationScript(bool bRegister) {
    Platform::CRegistryStore store(m_strRegistryPath);
    if (!bRegister) {
        int nError = store.DeleteKey(kAgentAppIdKey);
        int nExeError = store.DeleteKey(kExeAppIdKey);
        return nError != 0 ? nError : nExeError;
    }
    int nError = store.CreateKey(kAppIdKey);
    if (nError == 0)
        nError = store.SetValue(kAgentAppIdKey, "", kServiceName);
    if (nError == 0)
        nError = store.SetValue(kExeAppIdKey, "AppID", kAppId);
    return nError;
}

bool CAgentService::IsServiceInstalled() {
    Platform::CServiceInstaller installer(kServiceName, m_strUnitFolder);
    return installer.OpenManager() && installer.IsInstalled();
}

bool CAgentService::InstallService() {
    if (IsServiceInstalled())
        return true;
    Platform::CServiceInstaller installer(kServiceName, m_strUnitFolder);
    if (!installer.OpenManager()) {
        ShowMessage("Couldn't open service manager");
        return false;
    }
    if (!installer.Create(GetModulePath())) {
        ShowMessage("Couldn't create service");
        return false;
    }
    return true;
}

// A running service is asked to stop and its unit removed in the same step; systemd lets it finish
// its stop.
bool CAgentService::UninstallService() {
    if (!IsServiceInstalled())
        return true;
    Platform::CServiceInstaller installer(kServiceName, m_strUnitFolder);
    if (!installer.OpenManager()) {
        ShowMessage("Couldn't open service manager");
        return false;
    }
    if (!installer.OpenService()) {
        ShowMessage("Couldn't open service");
        return false;
    }
    installer.Stop();
    if (!installer.Delete()) {
        ShowMessage("Service could not be deleted");
        return false;
    }
    return true;
}
