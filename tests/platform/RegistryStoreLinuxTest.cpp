#include "Include/LogFile.h"
#include "platform/RegistryStore.h"
#include "platform/Thread.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

using Platform::CRegistryStore;
using Platform::RegistryResult;

TEST(RegistryStore, HostileNamesAndValuesRoundTrip) {
    CTempFolder temp;
    CRegistryStore store(temp / "registry");
    const std::string strKey = "AppID\\[odd]=key%41";
    const std::string strHostile = "line1\nline2\r\n[AppID]\nname=value %41 %\x01\x7f\xc3\xa9";
    ASSERT_EQ(store.SetValue(strKey, "", strHostile), RegistryResult::Ok);
    ASSERT_EQ(store.SetValue(strKey, "a=b[c]", "="), RegistryResult::Ok);
    ASSERT_EQ(store.SetValue(strKey, "empty", ""), RegistryResult::Ok);

    CRegistryStore reread(temp / "registry");
    std::string strValue;
    ASSERT_EQ(reread.GetValue(strKey, "", strValue), RegistryResult::Ok);
    EXPECT_EQ(strValue, strHostile);
    ASSERT_EQ(reread.GetValue(strKey, "a=b[c]", strValue), RegistryResult::Ok);
    EXPECT_EQ(strValue, "=");
    ASSERT_EQ(reread.GetValue(strKey, "empty", strValue), RegistryResult::Ok);
    EXPECT_EQ(strValue, "");
    // The hostile value must not have made a key of its own.
    EXPECT_EQ(reread.OpenKey("AppID", false), RegistryResult::Ok);
    EXPECT_EQ(reread.OpenKey(strKey, false), RegistryResult::Ok);
    EXPECT_EQ(reread.DeleteKey(strKey), RegistryResult::Ok);
    EXPECT_EQ(reread.OpenKey(strKey, false), RegistryResult::NotFound);
    EXPECT_EQ(reread.OpenKey("AppID", false), RegistryResult::Ok);
}

TEST(RegistryStore, NamesCompareWithoutCaseAndParentsAreCreated) {
    CTempFolder temp;
    CRegistryStore store(temp / "deeper/folder/registry");
    ASSERT_EQ(store.SetValue("AppID\\{ABC}", "LocalService", "Agent"), RegistryResult::Ok);
    std::string strValue;
    EXPECT_EQ(store.GetValue("appid\\{abc}", "LOCALSERVICE", strValue), RegistryResult::Ok);
    EXPECT_EQ(strValue, "Agent");
    EXPECT_EQ(store.OpenKey("APPID", false), RegistryResult::Ok);
    ASSERT_EQ(store.SetValue("APPID\\{abc}", "localservice", "Other"), RegistryResult::Ok);
    EXPECT_EQ(store.GetValue("AppID\\{ABC}", "LocalService", strValue), RegistryResult::Ok);
    EXPECT_EQ(strValue, "Other");
    EXPECT_EQ(store.DeleteValue("AppID\\{ABC}", "LocalService"), RegistryResult::Ok);
    EXPECT_EQ(store.DeleteValue("AppID\\{ABC}", "LocalService"), RegistryResult::NotFound);
    EXPECT_EQ(store.GetValue("AppID\\{ABC}", "LocalService", strValue), RegistryResult::NotFound);
}

TEST(RegistryStore, DeletingKeyRemovesItsValuesAndKeysBelowOnly) {
    CTempFolder temp;
    CRegistryStore store(temp / "registry");
    ASSERT_EQ(store.SetValue("AppID\\X", "v", "1"), RegistryResult::Ok);
    ASSERT_EQ(store.SetValue("AppID\\X\\Sub", "v", "2"), RegistryResult::Ok);
    ASSERT_EQ(store.SetValue("AppID\\XY", "v", "3"), RegistryResult::Ok);
    EXPECT_EQ(store.DeleteKey("appid\\x"), RegistryResult::Ok);
    EXPECT_EQ(store.OpenKey("AppID\\X\\Sub", false), RegistryResult::NotFound);
    std::string strValue;
    EXPECT_EQ(store.GetValue("AppID\\XY", "v", strValue), RegistryResult::Ok);
    EXPECT_EQ(store.DeleteKey("AppID\\X"), RegistryResult::NotFound);
}

TEST(RegistryStore, MissingStoreIsEmptyAndInvalidKeysAreRefused) {
    CTempFolder temp;
    CRegistryStore store(temp / "registry");
    EXPECT_EQ(store.OpenKey("AppID", false), RegistryResult::NotFound);
    EXPECT_NE(store.GetErrorText().find("AppID"), std::string::npos);
    EXPECT_EQ(store.SetValue("AppID\\\\X", "v", "1"), RegistryResult::Failed);
    EXPECT_EQ(store.CreateKey("AppID\\"), RegistryResult::Failed);
    EXPECT_EQ(store.CreateKey(""), RegistryResult::Failed);
    EXPECT_FALSE(FileExists(temp / "registry"));
}

TEST(RegistryStore, DamagedStoreIsAnErrorAndIsNeverOverwritten) {
    CTempFolder temp;
    const std::string strPath = temp / "registry";
    const char* damaged[] = {
        "not a store\n[AppID]\n",
        "KlendoHotFolderAgent registry 1\nvalue=before any key\n",
        "KlendoHotFolderAgent registry 1\n[AppID\n",
        "KlendoHotFolderAgent registry 1\n[AppID]\nno equals sign\n",
        "KlendoHotFolderAgent registry 1\n[AppID]\nv=%4\n",
        "KlendoHotFolderAgent registry 1\n[AppID]\nv=%zz\n",
        "KlendoHotFolderAgent registry 1\n[AppID]\nv=a\rb\n",
        "KlendoHotFolderAgent registry 1\n[AppID\\\\X]\n",
    };
    for (const char* szContent : damaged) {
        SCOPED_TRACE(szContent);
        WriteWholeFile(strPath, szContent);
        CRegistryStore store(strPath);
        EXPECT_EQ(store.OpenKey("AppID", false), RegistryResult::Damaged);
        EXPECT_NE(Platform::GetLastError(), 0) << "the native error the agent ends with";
        EXPECT_NE(store.GetErrorText().find(strPath), std::string::npos);
        EXPECT_EQ(store.SetValue("AppID\\X", "v", "1"), RegistryResult::Damaged);
        EXPECT_EQ(ReadWholeFile(strPath), szContent);
    }
}

TEST(RegistryStore, OversizedOrUnreadableStoreIsAnError) {
    CTempFolder temp;
    WriteWholeFile(temp / "big", std::string(CRegistryStore::kMaxStoreSize + 1, 'x'));
    EXPECT_EQ(CRegistryStore(temp / "big").OpenKey("AppID", false), RegistryResult::TooLarge);

    CRegistryStore folderStore(temp.Path());
    EXPECT_EQ(folderStore.OpenKey("AppID", false), RegistryResult::Failed);

    WriteWholeFile(temp / "file", "x");
    CRegistryStore belowFile(temp / "file/registry");
    EXPECT_EQ(belowFile.OpenKey("AppID", false), RegistryResult::Failed);
    EXPECT_EQ(belowFile.SetValue("AppID", "v", "1"), RegistryResult::Failed);
}

TEST(RegistryStore, WriteLeavesNoTemporaryFileAndDefaultPathFollowsEnvironment) {
    CTempFolder temp;
    CRegistryStore store(temp / "registry");
    ASSERT_EQ(store.CreateKey("AppID"), RegistryResult::Ok);
    EXPECT_FALSE(FileExists(temp / "registry.tmp"));
    EXPECT_EQ(ReadWholeFile(temp / "registry"), "KlendoHotFolderAgent registry 1\n[AppID]\n");

    ASSERT_EQ(::setenv("KLENDO_REGISTRY", (temp / "moved").c_str(), 1), 0);
    RegistryResult result = CRegistryStore().CreateKey("Moved");
    bool bMovedIsSystemStore = CRegistryStore().IsSystemStore();
    ::unsetenv("KLENDO_REGISTRY");
    EXPECT_EQ(result, RegistryResult::Ok);
    EXPECT_FALSE(bMovedIsSystemStore) << "a moved store must not let a registration touch the machine";
    EXPECT_FALSE(store.IsSystemStore());
    EXPECT_TRUE(CRegistryStore().IsSystemStore());
    EXPECT_EQ(ReadWholeFile(temp / "moved"), "KlendoHotFolderAgent registry 1\n[Moved]\n");
}
