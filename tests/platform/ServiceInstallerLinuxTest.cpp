#include "platform/ServiceInstaller.h"
#include "support/TempFolder.h"

#include <filesystem>
#include <gtest/gtest.h>

using Platform::CServiceInstaller;

TEST(ServiceInstaller, InstalledEntryCanBeStoppedAndRemoved) {
    CTempFolder temp;
    CServiceInstaller installer("KlendoContractTest", temp.Path());
    ASSERT_TRUE(installer.OpenManager());
    EXPECT_FALSE(installer.IsInstalled());
    EXPECT_FALSE(installer.OpenServiceEntry());
    ASSERT_TRUE(installer.Install("/opt/KlendoHotFolderAgent/KlendoHotFolderAgent"));
    EXPECT_TRUE(installer.IsInstalled());
    EXPECT_TRUE(installer.OpenServiceEntry());
    EXPECT_TRUE(installer.Stop());
    EXPECT_TRUE(installer.Uninstall());
    EXPECT_FALSE(installer.IsInstalled());
    EXPECT_FALSE(installer.Uninstall()) << "nothing left to remove";
}

TEST(ServiceInstaller, PathTheManagerCannotTakeLeavesNoEntry) {
    CTempFolder temp;
    CServiceInstaller installer("KlendoContractTest", temp.Path());
    EXPECT_FALSE(installer.Install("relative/agent"));
    EXPECT_FALSE(installer.Install("/opt/agent\nExecStartPre=/bin/evil"));
    EXPECT_FALSE(installer.IsInstalled());
    EXPECT_TRUE(std::filesystem::is_empty(temp.Path()));
}

TEST(ServiceInstaller, MissingManagerCannotBeOpened) {
    CTempFolder temp;
    EXPECT_FALSE(CServiceInstaller("KlendoContractTest", temp / "missing").OpenManager());
}
