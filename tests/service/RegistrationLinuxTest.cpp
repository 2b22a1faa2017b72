#include "Include/LogFile.h"
#include "platform/RegistryStore.h"
#include "platform/ServiceInstaller.h"
#include "service/AgentService.h"
#include "support/FakeChangeWatcher.h"
#include "support/FakeClock.h"
#include "support/FakeEventLog.h"
#include "support/FakeServiceHost.h"
#include "support/TempFolder.h"

#include <cerrno>
#include <filesystem>
#include <gtest/gtest.h>
#include <vector>

namespace {

using Platform::RegistryResult;

class RegistrationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directory(m_temp / "units");
        m_environment.pClock = &m_clock;
        m_environment.pWatchers = &m_watchers;
        m_environment.pEventLog = &m_eventLog;
        m_environment.pServiceHost = &m_serviceHost;
    }

    CAgentServiceOptions Options(const std::string& strModulePath) const {
        CAgentServiceOptions options;
        options.strModulePath = strModulePath;
        options.strRegistryPath = RegistryPath();
        options.strServiceFolder = m_temp / "units";
        return options;
    }

    // The agent's entry point, run from the install folder given.
    int Main(const std::string& strCommandLine, const CAgentServiceOptions& options) {
        return CAgentService(m_environment, options).Main(strCommandLine);
    }
    int Main(const std::string& strCommandLine) { return Main(strCommandLine, m_options); }

    CRegistration Registration() { return CRegistration(m_options, m_eventLog); }

    std::string RegistryPath() const { return m_temp / "registry"; }
    std::string UnitPath() const { return m_temp / "units/KlendoHotFolderAgent.service"; }

    RegistryResult Value(const std::string& strKey, const std::string& strName, std::string& strValue) {
        return Platform::CRegistryStore(RegistryPath()).GetValue(strKey, strName, strValue);
    }

    std::vector<std::string> Messages() const { return m_eventLog.GetMessages(); }
    bool NoEvents() const { return m_eventLog.GetEvents().empty() && m_eventLog.GetPrintedLines().empty(); }

    CTempFolder m_temp;
    CAgentServiceOptions m_options = Options(m_temp / "bin/KlendoHotFolderAgent");
    CFakeClock m_clock;
    CFakeChangeWatchers m_watchers;
    CFakeEventLog m_eventLog;
    CFakeServiceHost m_serviceHost;
    Platform::CEnvironment m_environment;
};

TEST_F(RegistrationTest, RegServerWritesAppIdEntriesWithoutService) {
    EXPECT_EQ(Main("KlendoHotFolderAgent -RegServer"), 0);
    std::string strValue;
    ASSERT_EQ(Value(CRegistration::kAgentAppIdKey, "", strValue), RegistryResult::Ok);
    EXPECT_EQ(strValue, "KlendoHotFolderAgent");
    ASSERT_EQ(Value(CRegistration::kExeAppIdKey, "AppID", strValue), RegistryResult::Ok);
    EXPECT_EQ(strValue, "{6A0E4C5B-2F19-4D8E-9B37-5C1D0E7F2A64}");
    EXPECT_EQ(Value(CRegistration::kAgentAppIdKey, "LocalService", strValue), RegistryResult::NotFound);
    EXPECT_FALSE(FileExists(UnitPath()));
    EXPECT_TRUE(Messages().empty());
    EXPECT_TRUE(NoEvents());
    EXPECT_FALSE(FileExists(m_temp / "bin/KlendoHotFolderAgent.log"));
}

TEST_F(RegistrationTest, ServiceWritesServiceValuesAndUnitAndDoesNotRun) {
    EXPECT_EQ(Main("KlendoHotFolderAgent /service"), 0);
    std::string strValue;
    ASSERT_EQ(Value(CRegistration::kAgentAppIdKey, "LocalService", strValue), RegistryResult::Ok);
    EXPECT_EQ(strValue, "KlendoHotFolderAgent");
    ASSERT_EQ(Value(CRegistration::kAgentAppIdKey, "ServiceParameters", strValue), RegistryResult::Ok);
    EXPECT_EQ(strValue, "-Service");
    std::string strUnit = ReadWholeFile(UnitPath());
    EXPECT_NE(strUnit.find("\nType=notify\n"), std::string::npos);
    EXPECT_NE(strUnit.find("\nExecStart=" + (m_temp / "bin/KlendoHotFolderAgent") + "\n"), std::string::npos);
    EXPECT_EQ(strUnit.find("WantedBy"), std::string::npos);
    EXPECT_TRUE(NoEvents());
    EXPECT_TRUE(Registration().IsServiceInstalled());
}

TEST_F(RegistrationTest, ServiceTwiceRecreatesUnitForCurrentExecutable) {
    ASSERT_EQ(Main("a -Service"), 0);
    ASSERT_EQ(Main("a -Service", Options(m_temp / "new place/KlendoHotFolderAgent")), 0);
    std::string strUnit = ReadWholeFile(UnitPath());
    EXPECT_NE(strUnit.find("ExecStart=\"" + (m_temp / "new place/KlendoHotFolderAgent") + "\"\n"),
              std::string::npos);
    EXPECT_EQ(strUnit.find(m_temp / "bin/"), std::string::npos);
    EXPECT_TRUE(Messages().empty());
}

TEST_F(RegistrationTest, RegServerAfterServiceRemovesUnitAndLocalService) {
    ASSERT_EQ(Main("a -Service"), 0);
    ASSERT_TRUE(FileExists(UnitPath()));
    EXPECT_EQ(Main("a -RegServer"), 0);
    EXPECT_FALSE(FileExists(UnitPath()));
    std::string strValue;
    EXPECT_EQ(Value(CRegistration::kAgentAppIdKey, "LocalService", strValue), RegistryResult::NotFound);
    EXPECT_EQ(Value(CRegistration::kAgentAppIdKey, "", strValue), RegistryResult::Ok);
}

TEST_F(RegistrationTest, UnregServerKeepsAppIdAndRemovesBothSubkeysAndUnit) {
    Platform::CRegistryStore store(RegistryPath());
    ASSERT_EQ(store.SetValue("AppID\\{Other}", "", "someone else"), RegistryResult::Ok);
    ASSERT_EQ(Main("a -Service"), 0);
    EXPECT_EQ(Main("a -UnregServer"), 0);
    EXPECT_EQ(store.OpenKey("AppID", false), RegistryResult::Ok);
    EXPECT_EQ(store.OpenKey("AppID\\{Other}", false), RegistryResult::Ok);
    EXPECT_EQ(store.OpenKey(CRegistration::kAgentAppIdKey, false), RegistryResult::NotFound);
    EXPECT_EQ(store.OpenKey(CRegistration::kExeAppIdKey, false), RegistryResult::NotFound);
    EXPECT_FALSE(FileExists(UnitPath()));
    // Unregistering again, with nothing left to remove, still succeeds without a message.
    EXPECT_EQ(Main("a -UnregServer"), 0);
    EXPECT_TRUE(Messages().empty());
}

TEST_F(RegistrationTest, MissingUnitFolderReportsManagerButRegistrationSucceeds) {
    m_options.strServiceFolder = m_temp / "no such folder";
    EXPECT_EQ(Main("a -Service"), 0);
    EXPECT_EQ(Messages(), std::vector<std::string>{"Couldn't open service manager"});
    std::string strValue;
    EXPECT_EQ(Value(CRegistration::kAgentAppIdKey, "LocalService", strValue), RegistryResult::Ok);
}

TEST_F(RegistrationTest, ExecutablePathThatCannotBeAUnitLineReportsCreateFailure) {
    m_options.strModulePath = m_temp / "bad\nExecStartPre=/bin/evil";
    EXPECT_EQ(Main("a -Service"), 0);
    EXPECT_EQ(Messages(), std::vector<std::string>{"Couldn't create service"});
    EXPECT_FALSE(FileExists(UnitPath()));
}

TEST_F(RegistrationTest, UnitPathThatIsNoFileIsReportedAndLeftAlone) {
    std::filesystem::create_directory(UnitPath());
    CRegistration registration = Registration();
    EXPECT_TRUE(registration.IsServiceInstalled());
    EXPECT_TRUE(registration.InstallService());
    EXPECT_FALSE(registration.UninstallService());
    EXPECT_EQ(Messages(), std::vector<std::string>{"Couldn't open service"});
    EXPECT_TRUE(std::filesystem::is_directory(UnitPath()));
}

TEST_F(RegistrationTest, DamagedStoreEndsRegistrationWithItsErrorAndStaysUntouched) {
    WriteWholeFile(RegistryPath(), "garbage\n");
    EXPECT_EQ(Main("a -RegServer"), EBADMSG);
    ASSERT_EQ(Messages().size(), 1u);
    EXPECT_NE(Messages()[0].find(RegistryPath()), std::string::npos);
    EXPECT_EQ(ReadWholeFile(RegistryPath()), "garbage\n");
    m_eventLog.Clear();
    EXPECT_EQ(Main("a"), EBADMSG);
    EXPECT_EQ(Messages().size(), 1u);
    EXPECT_TRUE(NoEvents());
}

// The AppID key alone, as another program may leave it, is not a registration.
TEST_F(RegistrationTest, AppIdKeyWithoutAgentKeyIsNoRegistration) {
    ASSERT_EQ(Platform::CRegistryStore(RegistryPath()).CreateKey("AppID"), RegistryResult::Ok);
    EXPECT_EQ(Main("KlendoHotFolderAgent"), ENOENT);
    EXPECT_TRUE(NoEvents());
}

} // namespace
