#include "platform/Accounts.h"
#include "platform/EventLog.h"
#include "platform/RegistryStore.h"
#include "platform/ServiceHost.h"
#include "platform/ServiceInstaller.h"
#include "platform/Thread.h"
#include "support/TempFolder.h"
#include "support/Wine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>
#include <windows.h>

using Platform::CRegistryStore;
using Platform::RegistryResult;

namespace {

std::string NameOfThisProcess(const std::string& strStart) {
    return strStart + std::to_string(::GetCurrentProcessId());
}

// A store under HKEY_CURRENT_USER\Software of this test alone, removed with all it holds at the end.
class RegistryStoreWindows : public testing::Test {
  protected:
    void TearDown() override {
        std::wstring wstrKey = L"Software\\" + std::wstring(m_strPrefix.begin(), m_strPrefix.end());
        ::RegDeleteTreeW(HKEY_CURRENT_USER, wstrKey.c_str());
    }

    std::string m_strPrefix = NameOfThisProcess("KlendoSystemTest");
    CRegistryStore m_store{m_strPrefix};
};

} // namespace

// Only HKEY_CLASSES_ROOT itself lets a registration touch the machine's type library registrations.
TEST_F(RegistryStoreWindows, StoreMovedByArgumentOrEnvironmentIsNotTheSystems) {
    EXPECT_FALSE(m_store.IsSystemStore());
    ASSERT_EQ(::_putenv_s("KLENDO_REGISTRY", m_strPrefix.c_str()), 0);
    bool bMovedIsSystemStore = CRegistryStore().IsSystemStore();
    ASSERT_EQ(::_putenv_s("KLENDO_REGISTRY", ""), 0);
    EXPECT_FALSE(bMovedIsSystemStore);
    EXPECT_TRUE(CRegistryStore().IsSystemStore());
}

TEST_F(RegistryStoreWindows, ValuesRoundTripWithoutCaseAndMissingOnesAreNotFound) {
    const std::string strKey = "AppID\\{ABC}";
    const std::string strHostile =
        std::string("line1\nline2 %s \xc3\xa9 \x01", 19) + std::string(1, '\0') + "end";
    ASSERT_EQ(m_store.SetValue(strKey, "", strHostile), RegistryResult::Ok);
    ASSERT_EQ(m_store.SetValue(strKey, "LocalService", "Agent"), RegistryResult::Ok);
    ASSERT_EQ(m_store.SetValue(strKey, "empty", ""), RegistryResult::Ok);

    CRegistryStore reread(m_strPrefix);
    std::string strValue;
    ASSERT_EQ(reread.GetValue("appid\\{abc}", "", strValue), RegistryResult::Ok);
    EXPECT_EQ(strValue, strHostile);
    ASSERT_EQ(reread.GetValue(strKey, "LOCALSERVICE", strValue), RegistryResult::Ok);
    EXPECT_EQ(strValue, "Agent");
    ASSERT_EQ(reread.GetValue(strKey, "empty", strValue), RegistryResult::Ok);
    EXPECT_EQ(strValue, "");
    EXPECT_EQ(reread.OpenKey("APPID", true), RegistryResult::Ok) << "the parent was created";

    EXPECT_EQ(reread.GetValue(strKey, "missing", strValue), RegistryResult::NotFound);
    EXPECT_EQ(Platform::GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_NE(reread.GetErrorText().find("HKEY_CURRENT_USER\\Software\\" + m_strPrefix), std::string::npos)
        << reread.GetErrorText();
    EXPECT_EQ(reread.OpenKey("AppID\\missing", false), RegistryResult::NotFound);
    EXPECT_EQ(reread.DeleteValue(strKey, "LocalService"), RegistryResult::Ok);
    EXPECT_EQ(reread.DeleteValue(strKey, "LocalService"), RegistryResult::NotFound);
    EXPECT_EQ(reread.GetValue(strKey, "LocalService", strValue), RegistryResult::NotFound);
}

TEST_F(RegistryStoreWindows, DeletingKeyRemovesItsValuesAndKeysBelowOnly) {
    ASSERT_EQ(m_store.SetValue("AppID\\X", "v", "1"), RegistryResult::Ok);
    ASSERT_EQ(m_store.SetValue("AppID\\X\\Sub", "v", "2"), RegistryResult::Ok);
    ASSERT_EQ(m_store.SetValue("AppID\\XY", "v", "3"), RegistryResult::Ok);
    EXPECT_EQ(m_store.DeleteKey("appid\\x"), RegistryResult::Ok);
    EXPECT_EQ(m_store.OpenKey("AppID\\X", false), RegistryResult::NotFound);
    EXPECT_EQ(m_store.OpenKey("AppID\\X\\Sub", false), RegistryResult::NotFound);
    std::string strValue;
    EXPECT_EQ(m_store.GetValue("AppID\\XY", "v", strValue), RegistryResult::Ok);
    EXPECT_EQ(strValue, "3");
    EXPECT_EQ(m_store.DeleteKey("AppID\\X"), RegistryResult::NotFound);
}

// The system reads a name up to its first NUL: such a name must not change the key it would cut to.
TEST_F(RegistryStoreWindows, NamesTheRegistryWouldCutOrSplitAreRefused) {
    const std::string strCut("AppID\0Evil", 10);
    EXPECT_EQ(m_store.SetValue(strCut, "v", "1"), RegistryResult::Failed);
    EXPECT_EQ(m_store.SetValue("AppID", std::string("v\0w", 3), "1"), RegistryResult::Failed);
    EXPECT_EQ(m_store.CreateKey("AppID\\\\Twice"), RegistryResult::Failed);
    EXPECT_EQ(m_store.CreateKey("\\AppID"), RegistryResult::Failed);
    EXPECT_EQ(m_store.OpenKey("AppID", false), RegistryResult::NotFound);
}

// Values another program wrote: another type, no closing NUL, an odd byte count, a size no agent writes.
TEST_F(RegistryStoreWindows, ValuesWrittenByOthersAreReadOnlyAsTheirText) {
    ASSERT_EQ(m_store.CreateKey("AppID"), RegistryResult::Ok);
    std::wstring wstrKey = L"Software\\" + std::wstring(m_strPrefix.begin(), m_strPrefix.end()) + L"\\AppID";
    auto write = [&wstrKey](const wchar_t* wszName, DWORD nType, const void* pData, size_t nBytes) {
        return ::RegSetKeyValueW(HKEY_CURRENT_USER, wstrKey.c_str(), wszName, nType, pData,
                                 static_cast<DWORD>(nBytes));
    };
    DWORD nNumber = 0x00410041;
    ASSERT_EQ(write(L"number", REG_DWORD, &nNumber, sizeof(nNumber)), ERROR_SUCCESS);
    ASSERT_EQ(write(L"unclosed", REG_SZ, L"abc", 3 * sizeof(wchar_t)), ERROR_SUCCESS);
    ASSERT_EQ(write(L"odd", REG_SZ, L"abc", 3 * sizeof(wchar_t) + 1), ERROR_SUCCESS);
    std::wstring wstrHuge(CRegistryStore::kMaxStoreSize, L'x');
    ASSERT_EQ(write(L"huge", REG_SZ, wstrHuge.c_str(), (wstrHuge.size() + 1) * sizeof(wchar_t)),
              ERROR_SUCCESS);

    std::string strValue = "unchanged";
    EXPECT_EQ(m_store.GetValue("AppID", "number", strValue), RegistryResult::Damaged);
    EXPECT_EQ(m_store.GetValue("AppID", "huge", strValue), RegistryResult::TooLarge);
    EXPECT_EQ(strValue, "unchanged");
    ASSERT_EQ(m_store.GetValue("AppID", "unclosed", strValue), RegistryResult::Ok);
    EXPECT_EQ(strValue, "abc");
    ASSERT_EQ(m_store.GetValue("AppID", "odd", strValue), RegistryResult::Ok);
    EXPECT_EQ(strValue, "abc");

    EXPECT_EQ(m_store.SetValue("AppID", "grown", std::string(CRegistryStore::kMaxStoreSize, 'y')),
              RegistryResult::TooLarge);
    EXPECT_EQ(m_store.GetValue("AppID", "grown", strValue), RegistryResult::NotFound);
}

// The message file of the event source strName in the Application log; empty when there is none.
std::wstring EventSourceMessageFile(const std::string& strName) {
    std::wstring wstrKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" +
                           std::wstring(strName.begin(), strName.end());
    wchar_t wszFile[MAX_PATH] = {};
    DWORD nBytes = sizeof(wszFile);
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, wstrKey.c_str(), L"EventMessageFile",
                       RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, wszFile, &nBytes) != ERROR_SUCCESS)
        return std::wstring();
    return wszFile;
}

// The manager of this machine, with a service name of the test's own: no agent's entry is touched.
TEST(ServiceInstallerWindows, EntryIsCreatedQuotedStartedOnDemandAndRemoved) {
    const std::string strName = NameOfThisProcess("KlendoInstallerTest");
    Platform::CServiceInstaller installer(strName);
    if (!installer.OpenManager() && Platform::GetLastError() == ERROR_ACCESS_DENIED)
        GTEST_SKIP() << "changing the services of this machine needs an administrator";
    ASSERT_TRUE(installer.OpenManager()) << Platform::GetLastError();
    EXPECT_FALSE(installer.IsInstalled());
    EXPECT_FALSE(installer.OpenServiceEntry());
    ASSERT_TRUE(installer.Install("C:\\Program Files\\Klendo Test\\agent.exe")) << Platform::GetLastError();
    EXPECT_TRUE(installer.IsInstalled());
    EXPECT_TRUE(installer.OpenServiceEntry());

    SC_HANDLE hManager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE hService =
        ::OpenServiceW(hManager, std::wstring(strName.begin(), strName.end()).c_str(), SERVICE_QUERY_CONFIG);
    DWORD nSize = 0;
    ::QueryServiceConfigW(hService, nullptr, 0, &nSize);
    std::vector<BYTE> buffer(nSize > 0 ? nSize : 1);
    auto* pConfig = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    ASSERT_TRUE(::QueryServiceConfigW(hService, pConfig, nSize, &nSize));
    EXPECT_EQ(std::wstring(pConfig->lpBinaryPathName), L"\"C:\\Program Files\\Klendo Test\\agent.exe\"")
        << "an unquoted path with a blank would run C:\\Program";
    EXPECT_EQ(pConfig->dwStartType, static_cast<DWORD>(SERVICE_DEMAND_START));
    EXPECT_EQ(pConfig->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    ::CloseServiceHandle(hService);
    ::CloseServiceHandle(hManager);

    std::wstring wstrSource = EventSourceMessageFile(strName);
    EXPECT_EQ(wstrSource, L"C:\\Program Files\\Klendo Test\\agent.exe")
        << "the event viewer's texts come from it";

    EXPECT_TRUE(installer.Stop()) << "a service that does not run needs no stop";
    EXPECT_TRUE(installer.Uninstall());
    EXPECT_FALSE(installer.IsInstalled());
    EXPECT_EQ(EventSourceMessageFile(strName), L"") << "the event source goes with its service";
    EXPECT_FALSE(installer.Uninstall()) << "nothing left to remove";
    EXPECT_TRUE(installer.RemoveEventSource()) << "no source left is no failure";
}

TEST(ServiceInstallerWindows, PathTheManagerCannotTakeLeavesNoEntry) {
    Platform::CServiceInstaller installer(NameOfThisProcess("KlendoInstallerTest"));
    EXPECT_FALSE(installer.Install("relative\\agent.exe"));
    EXPECT_FALSE(installer.Install("/opt/KlendoHotFolderAgent/KlendoHotFolderAgent"));
    EXPECT_FALSE(installer.Install("C:\\agent.exe\" -evil \""));
    EXPECT_FALSE(installer.Install("C:\\agent.exe\r\nC:\\evil.exe"));
    EXPECT_FALSE(installer.IsInstalled());
    EXPECT_FALSE(Platform::CServiceInstaller(std::string("Klendo\0Cut", 10)).Install("C:\\agent.exe"));
}

// A folder of definitions is a Linux notion: given one, the installer must not reach the machine's manager.
TEST(ServiceInstallerWindows, DefinitionFolderOpensNoManager) {
    EXPECT_FALSE(Platform::CServiceInstaller("KlendoInstallerTest", "C:\\staged").OpenManager());
}

// Started from a console, the dispatcher cannot connect; the console's controls take its place.
TEST(ServiceHostWindows, ConsoleProcessIsNoServiceAndStillStops) {
    Platform::CServiceHost host;
    EXPECT_FALSE(host.IsStartedByServiceManager());
    EXPECT_EQ(Platform::GetLastError(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    EXPECT_FALSE(host.IsStartedByServiceManager()) << "the answer is kept";
    ASSERT_TRUE(host.Open());
    host.ReportState(Platform::ServiceState::Running);
    host.RequestStop();
    EXPECT_EQ(host.WaitForStop(), Platform::StopReason::Requested);
    EXPECT_EQ(host.GetStopCode(), 0);
}

namespace {

std::wstring WideOf(const std::string& strText) {
    return std::wstring(strText.begin(), strText.end());
}

// The probe service is built beside this test program.
std::wstring ProbePath() {
    wchar_t wszPath[MAX_PATH] = {};
    DWORD nLength = ::GetModuleFileNameW(nullptr, wszPath, MAX_PATH);
    std::wstring wstrPath(wszPath, nLength);
    return wstrPath.substr(0, wstrPath.find_last_of(L'\\') + 1) + L"ServiceHostProbe.exe";
}

// Polls the manager's status until the service is in nState; the deadline only bounds a failure.
bool WaitForServiceState(SC_HANDLE hService, DWORD nState) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    SERVICE_STATUS status = {};
    while (::QueryServiceStatus(hService, &status) && status.dwCurrentState != nState &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return status.dwCurrentState == nState;
}

} // namespace

// The whole path of a service: the manager starts the process, the dispatcher connects on a thread
// of its own, the status reports reach the manager, and its stop ends the wait as the manager's.
TEST(ServiceHostWindows, ManagerStartsReportsRunningAndStopsTheService) {
    CTempFolder temp;
    const std::string strResult = temp / "result.txt";
    const std::wstring wstrName = WideOf(NameOfThisProcess("KlendoHostTest"));
    const std::wstring wstrCommand = L"\"" + ProbePath() + L"\" \"" + WideOf(strResult) + L"\"";
    SC_HANDLE hManager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (hManager == nullptr && ::GetLastError() == ERROR_ACCESS_DENIED)
        GTEST_SKIP() << "changing the services of this machine needs an administrator";
    ASSERT_NE(hManager, nullptr) << ::GetLastError();
    SC_HANDLE hService =
        ::CreateServiceW(hManager, wstrName.c_str(), wstrName.c_str(), SERVICE_ALL_ACCESS,
                         SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                         wstrCommand.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(hService, nullptr) << ::GetLastError();
    EXPECT_TRUE(::StartServiceW(hService, 0, nullptr)) << ::GetLastError();
    EXPECT_TRUE(WaitForServiceState(hService, SERVICE_RUNNING));
    SERVICE_STATUS status = {};
    ASSERT_TRUE(::QueryServiceStatus(hService, &status));
    EXPECT_EQ(status.dwControlsAccepted,
              static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN | SERVICE_ACCEPT_SHUTDOWN))
        << "a shutdown must reach the agent as a stop, not end it in the middle of its posts";
    // Windows hands the sender the handler's ERROR_CALL_NOT_IMPLEMENTED, Wine success: only what the
    // service heard is checked.
    const DWORD nUserControl = 200;
    (void)::ControlService(hService, nUserControl, &status);
    EXPECT_TRUE(::ControlService(hService, SERVICE_CONTROL_STOP, &status)) << ::GetLastError();
    EXPECT_TRUE(WaitForServiceState(hService, SERVICE_STOPPED));
    ::DeleteService(hService);
    ::CloseServiceHandle(hService);
    ::CloseServiceHandle(hManager);
    EXPECT_EQ(ReadWholeFile(strResult),
              std::to_string(static_cast<int>(Platform::StopReason::ServiceManager)) + " " +
                  std::to_string(SERVICE_CONTROL_STOP) + " unknown 200")
        << "a control the service does not take is told to it, and the stop still comes";
}

TEST(SessionsWindows, DesktopShellNamesItsUser) {
    // Wine starts its desktop shell on the first use of the desktop.
    ::GetDesktopWindow();
    Platform::CSystemSessions sessions;
    std::string strUser = "stale";
    if (!sessions.GetFirstSessionUser(strUser)) {
        EXPECT_EQ(strUser, "");
        EXPECT_EQ(Platform::GetLastError(), 0) << "no desktop shell is no failure";
        GTEST_SKIP() << "no explorer.exe runs here";
    }
    wchar_t wszUser[256] = {};
    DWORD nLength = 256;
    ASSERT_TRUE(::GetUserNameW(wszUser, &nLength));
    EXPECT_EQ(strUser, std::string(wszUser, wszUser + nLength - 1));
}

// A headless machine has no desktop to show a box on: the message goes to standard error only, at
// once, rather than failing after a long wait.
TEST(EventLogWindows, MessageWithoutDesktopGoesToStandardErrorOnly) {
    if (!RunningUnderWine())
        GTEST_SKIP() << "a message box would wait for a click on this desktop";
    Platform::CSystemEventLog log;
    testing::internal::CaptureStderr();
    Platform::SetLastError(0);
    log.ShowMessage("Couldn't open service manager");
    EXPECT_NE(Platform::GetLastError(), ERROR_INVALID_WINDOW_HANDLE) << "a message box was tried";
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Couldn't open service manager\n");
}

// A console shows bytes in its code page: a UTF-8 line written as bytes would come out garbled.
TEST(EventLogWindows, ConsoleShowsLinesAsTheirCharacters) {
    if (RunningUnderWine())
        GTEST_SKIP() << "Wine's console of a program without a display has no screen to read back";
    HANDLE hOriginal = ::GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD nMode = 0;
    if (::GetConsoleMode(hOriginal, &nMode))
        GTEST_SKIP() << "a console of the test's own would take this one from the test's output";
    ::FreeConsole();
    ASSERT_TRUE(::AllocConsole()) << ::GetLastError();
    HANDLE hConsole = ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ::SetStdHandle(STD_OUTPUT_HANDLE, hConsole);
    Platform::CSystemEventLog().PrintLine("Dr\xc3\xbc"
                                          "cke \xe2\x82\xac");
    wchar_t wszScreen[8] = {};
    DWORD nRead = 0;
    EXPECT_TRUE(::ReadConsoleOutputCharacterW(hConsole, wszScreen, 8, COORD{0, 0}, &nRead));
    ::SetStdHandle(STD_OUTPUT_HANDLE, hOriginal);
    ::CloseHandle(hConsole);
    ::FreeConsole();
    EXPECT_EQ(std::wstring(wszScreen, nRead), L"Dr\u00fccke \u20ac");
}
