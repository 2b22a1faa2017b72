#include "platform/ServiceInstaller.h"

#include "platform/win32/WideText.h"

#include <windows.h>

// The service control manager of this machine keeps the entry. It has no store of definitions that
// could be moved to a folder: an installer given one opens no manager, so that a test or a staged
// install never touches the machine's services. The service's events go to the Application log
// under its name; the event source's key names the executable as the file of the events' message
// table, so that the event viewer shows their text.

namespace Platform {

namespace {

// Closes a service manager or service handle once.
class CServiceHandle {
  public:
    explicit CServiceHandle(SC_HANDLE hHandle) : m_hHandle(hHandle) {}
    ~CServiceHandle() {
        if (m_hHandle != nullptr)
            ::CloseServiceHandle(m_hHandle);
    }
    CServiceHandle(const CServiceHandle&) = delete;
    CServiceHandle& operator=(const CServiceHandle&) = delete;

    SC_HANDLE Get() const { return m_hHandle; }
    explicit operator bool() const { return m_hHandle != nullptr; }

  private:
    SC_HANDLE m_hHandle;
};

bool IsDriveLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// The manager splits an unquoted path at its first blank ("C:\Program Files\..." would run
// "C:\Program"), so the path is always quoted. It must be absolute, with a drive or a share, and hold
// no quote or control character that would end it or start arguments of its own.
std::wstring QuoteExecutable(const std::string& strPath) {
    bool bDrive = strPath.size() > 2 && IsDriveLetter(strPath[0]) && strPath[1] == ':' && strPath[2] == '\\';
    bool bShare = strPath.size() > 2 && strPath[0] == '\\' && strPath[1] == '\\';
    if (!bDrive && !bShare)
        return std::wstring();
    for (char c : strPath) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f || c == '"')
            return std::wstring();
    }
    return Win32::ToWide("\"" + strPath + "\"");
}

SC_HANDLE OpenManagerHandle(const std::string& strDefinitionFolder) {
    if (!strDefinitionFolder.empty()) {
        ::SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    return ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
}

// A name with a NUL would name another service at the manager.
SC_HANDLE OpenServiceHandle(const std::string& strDefinitionFolder, const std::string& strServiceName,
                            DWORD nAccess) {
    if (strServiceName.empty() || strServiceName.find('\0') != std::string::npos) {
        ::SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    CServiceHandle manager(OpenManagerHandle(strDefinitionFolder));
    if (!manager)
        return nullptr;
    return ::OpenServiceW(manager.Get(), Win32::ToWide(strServiceName).c_str(), nAccess);
}

const wchar_t* const kApplicationLogKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

// The source's name is one key name: a backslash would reach another key, a NUL cut the name, and
// an empty one name the Application log's own key.
std::wstring EventSourceKey(const std::string& strServiceName) {
    if (strServiceName.empty() || strServiceName.find_first_of(std::string("\\\0", 2)) != std::string::npos)
        return std::wstring();
    return kApplicationLogKey + Win32::ToWide(strServiceName);
}

bool WriteEventSource(const std::string& strServiceName, const std::wstring& wstrMessageFile) {
    std::wstring wstrKey = EventSourceKey(strServiceName);
    HKEY hKey = nullptr;
    if (wstrKey.empty() || ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, wstrKey.c_str(), 0, nullptr, 0,
                                             KEY_SET_VALUE, nullptr, &hKey, nullptr) != ERROR_SUCCESS)
        return false;
    DWORD nTypes = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    DWORD nFileBytes = static_cast<DWORD>((wstrMessageFile.size() + 1) * sizeof(wchar_t));
    bool bWritten = ::RegSetValueExW(hKey, L"EventMessageFile", 0, REG_EXPAND_SZ,
                                     reinterpret_cast<const BYTE*>(wstrMessageFile.c_str()),
                                     nFileBytes) == ERROR_SUCCESS &&
                    ::RegSetValueExW(hKey, L"TypesSupported", 0, REG_DWORD,
                                     reinterpret_cast<const BYTE*>(&nTypes), sizeof(nTypes)) == ERROR_SUCCESS;
    ::RegCloseKey(hKey);
    return bWritten;
}

// The agent's own stop is bounded (posts given a deadline, request threads a wait); this bound only
// ends the wait for a service that never reports its stop. A one-shot command may poll.
constexpr DWORD kStopWaitMs = 120000;
constexpr DWORD kStopPollMs = 100;

bool WaitUntilStopped(SC_HANDLE hService) {
    for (DWORD nWaited = 0;; nWaited += kStopPollMs) {
        SERVICE_STATUS status = {};
        if (!::QueryServiceStatus(hService, &status))
            return false;
        if (status.dwCurrentState == SERVICE_STOPPED)
            return true;
        if (nWaited >= kStopWaitMs) {
            ::SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
            return false;
        }
        ::Sleep(kStopPollMs);
    }
}

} // namespace

CServiceInstaller::CServiceInstaller(std::string strServiceName, std::string strDefinitionFolder)
    : m_strServiceName(std::move(strServiceName)), m_strDefinitionFolder(std::move(strDefinitionFolder)) {}

bool CServiceInstaller::OpenManager() const {
    return static_cast<bool>(CServiceHandle(OpenManagerHandle(m_strDefinitionFolder)));
}

bool CServiceInstaller::IsInstalled() const {
    return static_cast<bool>(
        CServiceHandle(OpenServiceHandle(m_strDefinitionFolder, m_strServiceName, SERVICE_QUERY_CONFIG)));
}

bool CServiceInstaller::OpenServiceEntry() const {
    return static_cast<bool>(
        CServiceHandle(OpenServiceHandle(m_strDefinitionFolder, m_strServiceName, SERVICE_STOP | DELETE)));
}

// Started on demand, as the local system account, after the RPC service the agent's COM objects
// need.
bool CServiceInstaller::Install(const std::string& strExecutablePath) {
    std::wstring wstrCommand = QuoteExecutable(strExecutablePath);
    if (wstrCommand.empty() || m_strServiceName.empty() || m_strServiceName.find('\0') != std::string::npos) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    CServiceHandle manager(OpenManagerHandle(m_strDefinitionFolder));
    if (!manager)
        return false;
    std::wstring wstrName = Win32::ToWide(m_strServiceName);
    CServiceHandle service(::CreateServiceW(manager.Get(), wstrName.c_str(), wstrName.c_str(),
                                            SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                            SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, wstrCommand.c_str(),
                                            nullptr, nullptr, L"RPCSS\0", nullptr, nullptr));
    if (!service)
        return false;
    // Without the source the service runs all the same; its events show without their text.
    (void)WriteEventSource(m_strServiceName, Win32::ToWide(strExecutablePath));
    return true;
}

// A service that does not run needs no stop. The manager keeps the entry of a service marked for
// deletion until the service has stopped, and refuses a new one of that name meanwhile: a registration
// that replaces a running service would otherwise leave none once the old one stops.
bool CServiceInstaller::Stop() {
    CServiceHandle service(
        OpenServiceHandle(m_strDefinitionFolder, m_strServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!service)
        return false;
    SERVICE_STATUS status = {};
    if (!::ControlService(service.Get(), SERVICE_CONTROL_STOP, &status))
        return ::GetLastError() == ERROR_SERVICE_NOT_ACTIVE;
    return WaitUntilStopped(service.Get());
}

// An entry already marked for deletion goes when its service stops: nothing more to do.
bool CServiceInstaller::Uninstall() {
    CServiceHandle service(OpenServiceHandle(m_strDefinitionFolder, m_strServiceName, DELETE));
    if (!service)
        return false;
    if (!::DeleteService(service.Get()) && ::GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
        return false;
    (void)RemoveEventSource();
    return true;
}

bool CServiceInstaller::RemoveEventSource() {
    if (!m_strDefinitionFolder.empty())
        return true;
    std::wstring wstrKey = EventSourceKey(m_strServiceName);
    if (wstrKey.empty()) {
        ::SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    LONG nError = ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, wstrKey.c_str());
    return nError == ERROR_SUCCESS || nError == ERROR_FILE_NOT_FOUND;
}

} // namespace Platform
