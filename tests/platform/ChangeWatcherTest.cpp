#include "platform/ChangeWatcher.h"
#include "WatchProbe.h"
#include "support/TempFolder.h"
#include "support/Wine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;

using Platform::kActionAdded;
using Platform::kActionModified;
using Platform::kActionRemoved;
using Platform::kActionRenamedNewName;
using Platform::kActionRenamedOldName;

namespace {

bool Has(const std::vector<Platform::CChangeRecord>& records, uint32_t nAction, const std::string& strName) {
    for (const Platform::CChangeRecord& record : records)
        if (record.nAction == nAction && record.strName == NativeName(strName))
            return true;
    return false;
}

bool Names(const std::vector<Platform::CChangeRecord>& records, const std::string& strName) {
    for (const Platform::CChangeRecord& record : records)
        if (record.strName == NativeName(strName))
            return true;
    return false;
}

void Touch(const std::string& strPath) {
    std::ofstream(strPath) << "x";
}

// Removes a folder the watcher may be listing at that moment: Windows marks it for deletion, Wine
// refuses while the listing lasts, so the removal is tried again for a while.
void RemoveFolderBeingListed(const std::string& strPath) {
    auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::error_code error;
    while (!fs::remove(strPath, error) && error && std::chrono::steady_clock::now() < bound)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_FALSE(fs::exists(strPath)) << error.message();
}

} // namespace

TEST(ChangeWatcher, FilesAreReportedAddedModifiedRenamedAndRemovedAndFoldersNever) {
    CTempFolder folder;
    std::string strHot = folder / "hot";
    fs::create_directories(strHot + "/sub");
    CWatchProbe probe(strHot, true);
    Touch(strHot + "/a.prn");
    ASSERT_TRUE(probe.WaitFor(kActionAdded, "a.prn"));
    ASSERT_TRUE(probe.WaitFor(kActionModified, "a.prn"));
    fs::rename(strHot + "/a.prn", strHot + "/sub/b.prn");
    ASSERT_TRUE(probe.WaitFor(kActionRenamedNewName, "sub/b.prn"));
    EXPECT_TRUE(Has(probe.Records(), kActionRenamedOldName, "a.prn"));
    fs::remove(strHot + "/sub/b.prn");
    ASSERT_TRUE(probe.WaitFor(kActionRemoved, "sub/b.prn"));
    fs::create_directory(strHot + "/folder-only");
    RemoveFolderBeingListed(strHot + "/folder-only");
    Touch(strHot + "/marker");
    ASSERT_TRUE(probe.WaitFor(kActionAdded, "marker"));
    EXPECT_FALSE(Names(probe.Records(), "folder-only")) << "folders are never reported";
    EXPECT_FALSE(Names(probe.Records(), "sub"));
}

TEST(MonitorTest, FilesInNewSubfoldersAreNotMissed) {
    CTempFolder folder;
    std::string strHot = folder / "hot";
    fs::create_directory(strHot);
    CWatchProbe probe(strHot, false);
    // Files created at once after their folders, before any watch on them can exist.
    fs::create_directories(strHot + "/a/b/c");
    Touch(strHot + "/a/b/c/deep.prn");
    Touch(strHot + "/a/top.prn");
    ASSERT_TRUE(probe.WaitFor(kActionAdded, "a/b/c/deep.prn"));
    ASSERT_TRUE(probe.WaitFor(kActionAdded, "a/top.prn"));
    // A later file in a watched subfolder, and a folder moved in from outside the tree.
    Touch(strHot + "/a/b/later.prn");
    ASSERT_TRUE(probe.WaitFor(kActionAdded, "a/b/later.prn"));
    fs::create_directories(folder / "outside/inner");
    Touch(folder / "outside/inner/moved.prn");
    fs::rename(folder / "outside", strHot + "/moved-in");
    ASSERT_TRUE(probe.WaitFor(kActionAdded, "moved-in/inner/moved.prn"));
    // A renamed subfolder reports under its new name.
    fs::rename(strHot + "/a", strHot + "/renamed");
    Touch(strHot + "/renamed/b/after-rename.prn");
    ASSERT_TRUE(probe.WaitFor(kActionAdded, "renamed/b/after-rename.prn"));
}

TEST(MonitorTest, FilesMovedAcrossTheTreeBoundaryAreAddedOrRemoved) {
    CTempFolder folder;
    std::string strHot = folder / "hot";
    fs::create_directory(strHot);
    CWatchProbe probe(strHot, false);
    Touch(folder / "incoming.prn");
    fs::rename(folder / "incoming.prn", strHot + "/incoming.prn");
    ASSERT_TRUE(probe.WaitFor(kActionAdded, "incoming.prn"));
    fs::rename(strHot + "/incoming.prn", folder / "gone.prn");
    ASSERT_TRUE(probe.WaitFor(kActionRemoved, "incoming.prn"));
}

TEST(MonitorTest, LongRelativeNamesAreDeliveredWhole) {
    CTempFolder folder;
    std::string strHot = folder / "hot";
    fs::create_directory(strHot);
    CWatchProbe probe(strHot, false);
    std::string strFolder(200, 'd');
    std::string strFile(100, 'f');
    fs::create_directory(strHot + "/" + strFolder);
    Touch(strHot + "/" + strFolder + "/" + strFile);
    ASSERT_TRUE(probe.WaitFor(kActionAdded, strFolder + "/" + strFile));
}

TEST(DirectoryWatcher, EachWatcherGetsOnlyTheChangesItAskedFor) {
    CTempFolder folder;
    fs::create_directories(folder / "hot");
    CWatchProbe ordinary(folder / "hot", false);
    CWatchProbe tickets(folder / "hot", true);
    WriteWholeFile(folder / "hot/a.dat", "x");
    WriteWholeFile(folder / "hot/marker", "x");
    ASSERT_TRUE(tickets.WaitFor(kActionModified, "marker"));
    ASSERT_TRUE(ordinary.WaitFor(kActionAdded, "marker"));
    EXPECT_TRUE(Has(tickets.Records(), kActionModified, "a.dat"));
    EXPECT_FALSE(Has(ordinary.Records(), kActionModified, "a.dat"))
        << "writes are watched for the ticket watcher only";
}

TEST(ChangeWatcher, LinksBelowTheRootAreReportedButNeverFollowed) {
    CTempFolder folder;
    std::string strHot = folder / "hot";
    fs::create_directories(strHot);
    fs::create_directories(folder / "outside");
    if (RunningUnderWine())
        GTEST_SKIP() << "Wine makes no link of its own and follows those made beside it";
    std::error_code error;
    fs::create_directory_symlink(folder / "outside", strHot + "/old-link", error);
    if (error)
        GTEST_SKIP() << "this process cannot make links: " << error.message();
    CWatchProbe probe(strHot, false);
    fs::create_directory_symlink(folder / "outside", strHot + "/new-link");
    ASSERT_TRUE(probe.WaitFor(kActionAdded, "new-link")) << "a link is an entry like a file";
    Touch(folder / "outside/secret");
    Touch(strHot + "/marker");
    ASSERT_TRUE(probe.WaitFor(kActionAdded, "marker"));
    for (const Platform::CChangeRecord& record : probe.Records())
        EXPECT_EQ(record.strName.find("secret"), std::string::npos) << record.strName;
}

TEST(ChangeWatcher, StopPostedFromAnotherThreadEndsTheWaitAtOnceOrBeforeItBegins) {
    CTempFolder folder;
    fs::create_directories(folder / "hot");
    std::unique_ptr<Platform::IChangeWatcher> pWatcher = Platform::SystemChangeWatchers().CreateWatcher();
    ASSERT_TRUE(pWatcher);
    std::vector<Platform::CWatchFailure> failures;
    ASSERT_TRUE(pWatcher->OpenFolder(folder / "hot") && pWatcher->StartWatching(false, failures));
    std::thread stopper([&] { pWatcher->PostStop(); });
    Platform::CChangeBatch batch;
    EXPECT_EQ(pWatcher->Wait(batch), Platform::WaitResult::Stopped);
    stopper.join();
    EXPECT_TRUE(pWatcher->IsStopPosted());
    EXPECT_EQ(pWatcher->Wait(batch), Platform::WaitResult::Stopped) << "the stop stays posted";

    CWatchProbe probe(folder / "hot", false);
    probe.Watcher().PostStop();
    EXPECT_TRUE(probe.WaitForEnd(Platform::WaitResult::Stopped));
}

TEST(ChangeWatcher, RootRemovedOrMovedAwayFailsTheWatch) {
    CTempFolder folder;
    fs::create_directories(folder / "removed/sub");
    fs::create_directories(folder / "moved");
    CWatchProbe removed(folder / "removed", false);
    CWatchProbe moved(folder / "moved", false);
    fs::rename(folder / "moved", folder / "elsewhere");
    EXPECT_TRUE(moved.WaitForEnd(Platform::WaitResult::Failed));
    if (RunningUnderWine())
        GTEST_SKIP() << "Wine leaves a folder in place while a watcher has it open";
    fs::remove_all(folder / "removed");
    EXPECT_TRUE(removed.WaitForEnd(Platform::WaitResult::Failed));
}

TEST(ChangeWatcher, OnlyAFolderThatExistsCanBeOpened) {
    CTempFolder folder;
    WriteWholeFile(folder / "file", "x");
    std::unique_ptr<Platform::IChangeWatcher> pWatcher = Platform::SystemChangeWatchers().CreateWatcher();
    ASSERT_TRUE(pWatcher);
    EXPECT_FALSE(pWatcher->OpenFolder(folder / "missing"));
    EXPECT_FALSE(pWatcher->OpenFolder(folder / "file"));
    EXPECT_FALSE(pWatcher->OpenFolder(""));
    EXPECT_TRUE(pWatcher->OpenFolder(folder.Path()));
}
