#include "Include/LogFile.h"
#include "platform/RegistryStore.h"
#include "platform/ServiceInstaller.h"
#include "service/AgentService.h"
#include "support/TempFolder.h"

#include <cerrno>
#include <filesystem>
#include <gtest/gtest.h>
#include <vector>

namespace {

class RegistrationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directory(m_temp / "units");
        Configure(m_service, m_temp / "bin/KlendoHotFolderAgent");
    }

    void Configure(CAgentService& service, const std::string& strModulePath) {
        service.SetModulePathForTest(strModulePath);
        service.SetRegistryPathForTest(RegistryPath());
        service.SetUnitFolderForTest(m_temp / "units");
        service.SetMessageSinkForTest([this](const std::string& strText) { m_messages.push_back(strText); });
        service.SetEventSinkForTest([this](const std::string& strText) { m_events.push_back(strText); });
    }

    std::string RegistryPath() const { return m_temp / "registry"; }
    std::string UnitPath() const { return m_temp / "units/KlendoHotFolderAgent.service"; }

    int Value(const std::string& strKey, const std::string& strName, std::string& strValue) {
        return Platform::CRegistryStore(RegistryPath()).GetValue(strKey, strName, strValue);
    }

    CTempFolder m_temp;
    CAgentService m_service;
    std::vector<std::string> m_messages;
    std::vector<std::string> m_events;
};

TEST_F(RegistrationTest, RegServerWritesAppIdEntriesWithoutService) {
    EXPECT_EQ(m_service.Main("KlendoHotFolderAgent -RegServer"), 0);
    std::string strValue;
    ASSERT_EQ(Value(CAgentService::kAgentAppIdKey, "", strValue), 0);
    EXPECT_EQ(strValue, "KlendoHotFolderAgent");
    ASSERT_EQ(Value(CAgentService::kExeAppIdKey, "AppID", strValue), 0);
    EXPECT_EQ(strValue, "{6A0E4C5B-2F19-4D8E-9B37-5C1D0E7F2A64}");
    EXPECT_EQ(Value(CAgentService::kAgentAppIdKey, "LocalService", strValue), ENOENT);
    EXPECT_FALSE(FileExists(UnitPath()));
    EXPECT_TRUE(m_messages.empty());
    EXPECT_TRUE(m_events.empty());
    EXPECT_FALSE(FileExists(m_temp / "bin/KlendoHotFolderAgent.log"));
}

TEST_F(RegistrationTest, ServiceWritesServiceValuesAndUnitAndDoesNotRun) {
    EXPECT_EQ(m_service.Main("KlendoHotFolderAgent /service"), 0);
    std::string strValue;
    ASSERT_EQ(Value(CAgentService::kAgentAppIdKey, "LocalService", strValue), 0);
    EXPECT_EQ(strValue, "KlendoHotFolderAgent");
    ASSERT_EQ(Value(CAgentService::kAgentAppIdKey, "ServiceParameters", strValue), 0);
    EXPECT_EQ(strValue, "-Service");
    std::string strUnit = ReadWholeFile(UnitPath());
    EXPECT_NE(strUnit.find("\nType=notify\n"), std::string::npos);
    EXPECT_NE(strUnit.find("\nExecStart=" + (m_temp / "bin/KlendoHotFolderAgent") + "\n"), std::string::npos);
    EXPECT_EQ(strUnit.find("WantedBy"), std::string::npos);
    EXPECT_TRUE(m_events.empty());
    EXPECT_TRUE(m_service.IsServiceInstalled());
}

TEST_F(RegistrationTest, ServiceTwiceRecreatesUnitForCurrentExecutable) {
    ASSERT_EQ(m_service.Main("a -Service"), 0);
    CAgentService moved;
    Configure(moved, m_temp / "new place/KlendoHotFolderAgent");
    ASSERT_EQ(moved.Main("a -Service"), 0);
    std::string strUnit = ReadWholeFile(UnitPath());
    EXPECT_NE(strUnit.find("ExecStart=\"" + (m_temp / "new place/KlendoHotFolderAgent") + "\"\n"),
              std::string::npos);
    EXPECT_EQ(strUnit.find(m_temp / "bin/"), std::string::npos);
    EXPECT_TRUE(m_messages.empty());
}

TEST_F(RegistrationTest, RegServerAfterServiceRemovesUnitAndLocalService) {
    ASSERT_EQ(m_service.Main("a -Service"), 0);
    ASSERT_TRUE(FileExists(UnitPath()));
    EXPECT_EQ(m_service.Main("a -RegServer"), 0);
    EXPECT_FALSE(FileExists(UnitPath()));
    std::string strValue;
    EXPECT_EQ(Value(CAgentService::kAgentAppIdKey, "LocalService", strValue), ENOENT);
    EXPECT_EQ(Value(CAgentService::kAgentAppIdKey, "", strValue), 0);
}

TEST_F(RegistrationTest, UnregServerKeepsAppIdAndRemovesBothSubkeysAndUnit) {
    Platform::CRegistryStore store(RegistryPath());
    ASSERT_EQ(store.SetValue("AppID\\{Other}", "", "someone else"), 0);
    ASSERT_EQ(m_service.Main("a -Service"), 0);
    EXPECT_EQ(m_service.Main("a -UnregServer"), 0);
    EXPECT_EQ(store.OpenKey("AppID", false), 0);
    EXPECT_EQ(store.OpenKey("AppID\\{Other}", false), 0);
    EXPECT_EQ(store.OpenKey(CAgentService::kAgentAppIdKey, false), ENOENT);
    EXPECT_EQ(store.OpenKey(CAgentService::kExeAppIdKey, false), ENOENT);
    EXPECT_FALSE(FileExists(UnitPath()));
    // Unregistering again, with nothing left to remove, still succeeds without a message.
    EXPECT_EQ(m_service.Main("a -UnregServer"), 0);
    EXPECT_TRUE(m_messages.empty());
}

TEST_F(RegistrationTest, MissingUnitFolderReportsManagerButRegistrationSucceeds) {
    m_service.SetUnitFolderForTest(m_temp / "no such folder");
    EXPECT_EQ(m_service.Main("a -Service"), 0);
    EXPECT_EQ(m_messages, std::vector<std::string>{"Couldn't open service manager"});
    std::string strValue;
    EXPECT_EQ(Value(CAgentService::kAgentAppIdKey, "LocalService", strValue), 0);
}

TEST_F(RegistrationTest, ExecutablePathThatCannotBeAUnitLineReportsCreateFailure) {
    m_service.SetModulePathForTest(m_temp / "bad\nExecStartPre=/bin/evil");
    EXPECT_EQ(m_service.Main("a -Service"), 0);
    EXPECT_EQ(m_messages, std::vector<std::string>{"Couldn't create service"});
    EXPECT_FALSE(FileExists(UnitPath()));
}

TEST_F(RegistrationTest, UnitPathThatIsNoFileIsReportedAndLeftAlone) {
    std::filesystem::create_directory(UnitPath());
    EXPECT_TRUE(m_service.IsServiceInstalled());
    EXPECT_TRUE(m_service.InstallService());
    EXPECT_FALSE(m_service.UninstallService());
    EXPECT_EQ(m_messages, std::vector<std::string>{"Couldn't open service"});
    EXPECT_TRUE(std::filesystem::is_directory(UnitPath()));
}

TEST_F(RegistrationTest, DamagedStoreEndsRegistrationWithItsErrorAndStaysUntouched) {
    WriteWholeFile(RegistryPath(), "garbage\n");
    EXPECT_EQ(m_service.Main("a -RegServer"), EBADMSG);
    ASSERT_EQ(m_messages.size(), 1u);
    EXPECT_NE(m_messages[0].find(RegistryPath()), std::string::npos);
    EXPECT_EQ(ReadWholeFile(RegistryPath()), "garbage\n");
    m_messages.clear();
    EXPECT_EQ(m_service.Main("a"), EBADMSG);
    EXPECT_EQ(m_messages.size(), 1u);
    EXPECT_TRUE(m_events.empty());
}

// The AppID key alone, as another program may leave it, is not a registration.
TEST_F(RegistrationTest, AppIdKeyWithoutAgentKeyIsNoRegistration) {
    ASSERT_EQ(Platform::CRegistryStore(RegistryPath()).CreateKey("AppID"), 0);
    EXPECT_EQ(m_service.Main("KlendoHotFolderAgent"), ENOENT);
    EXPECT_TRUE(m_events.empty());
}

TEST(ServiceUnit, ExecutablePathIsWrittenSoSystemdReadsItBack) {
    using Platform::CServiceInstaller;
    EXPECT_NE(CServiceInstaller::BuildUnitText("S", "/opt/KlendoHotFolderAgent/KlendoHotFolderAgent")
                  .find("\nExecStart=/opt/KlendoHotFolderAgent/KlendoHotFolderAgent\n"),
              std::string::npos);
    EXPECT_NE(CServiceInstaller::BuildUnitText("S", "/opt/a b/x\"y\\z")
                  .find("\nExecStart=\"/opt/a b/x\\\"y\\\\z\"\n"),
              std::string::npos);
    EXPECT_NE(CServiceInstaller::BuildUnitText("S", "/opt/100%/agent").find("\nExecStart=/opt/100%%/agent\n"),
              std::string::npos);
    EXPECT_EQ(CServiceInstaller::BuildUnitText("S", "relative/agent"), "");
    EXPECT_EQ(CServiceInstaller::BuildUnitText("S", "/opt/$HOME/agent"), "");
    EXPECT_EQ(CServiceInstaller::BuildUnitText("S", "/opt/a\tb"), "");
    EXPECT_EQ(CServiceInstaller::BuildUnitText("S", ""), "");
}

} // namespace
