// What the Windows watcher adds to the system's reports: the system names folders and reports
// changes it saw before the watcher looked; the watcher's records must not.
#include "WatchProbe.h"
#include "platform/ChangeWatcher.h"
#include "support/TempFolder.h"
#include "support/Wine.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

namespace fs = std::filesystem;

TEST(ChangeWatcherWindows, FolderTreesRenamedOrRemovedAreNeverNamed) {
    if (RunningUnderWine())
        GTEST_SKIP() << "Wine names the changes below a renamed folder by the folder's old name";
    CTempFolder folder;
    std::string strHot = folder / "hot";
    fs::create_directories(strHot + "/Known/inner");
    WriteWholeFile(strHot + "/Known/inner/a.prn", "x");
    CWatchProbe probe(strHot, true);
    fs::rename(strHot + "/Known", strHot + "/renamed");
    // Told apart from a file by the folder table, whatever case the name is given in.
    fs::rename(strHot + "/renamed/inner", strHot + "/RENAMED/moved");
    fs::remove_all(strHot + "/renamed");
    WriteWholeFile(strHot + "/marker", "x");
    ASSERT_TRUE(probe.WaitFor(Platform::kActionAdded, "marker"));
    for (const Platform::CChangeRecord& record : probe.Records()) {
        EXPECT_NE(record.strName, "Known");
        EXPECT_NE(record.strName, "renamed");
        EXPECT_NE(record.strName, NativeName("renamed/moved"));
        EXPECT_NE(record.strName, NativeName("RENAMED/moved"));
    }
    EXPECT_TRUE(probe.WaitFor(Platform::kActionRemoved, "renamed/moved/a.prn"))
        << "a file removed with its folder is reported under the folder's present name";
}

// A file that came and went before the watcher looked is reported not at all, or both ways.
TEST(ChangeWatcherWindows, NoRemovalIsReportedOfAFileNeverReportedAdded) {
    CTempFolder folder;
    std::string strHot = folder / "hot";
    fs::create_directories(strHot);
    CWatchProbe probe(strHot, false);
    for (int nFile = 0; nFile < 200; ++nFile) {
        std::string strName = strHot + "/brief-" + std::to_string(nFile);
        WriteWholeFile(strName, "x");
        fs::remove(strName);
    }
    WriteWholeFile(strHot + "/marker", "x");
    ASSERT_TRUE(probe.WaitFor(Platform::kActionAdded, "marker"));
    std::set<std::string> added;
    for (const Platform::CChangeRecord& record : probe.Records()) {
        if (record.nAction == Platform::kActionAdded)
            added.insert(record.strName);
        else if (record.nAction == Platform::kActionRemoved) {
            EXPECT_TRUE(added.count(record.strName) > 0) << record.strName;
        }
    }
}
