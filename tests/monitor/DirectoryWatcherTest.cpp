#include "platform/DirectoryWatcher.h"
#include "monitor/WatchProbe.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

bool Has(const std::vector<Platform::CChangeRecord>& records, uint32_t nAction, const std::string& strName) {
    for (const Platform::CChangeRecord& record : records)
        if (record.nAction == nAction && record.strName == strName)
            return true;
    return false;
}

} // namespace

TEST(DirectoryWatcher, OverlappingWatchersShareWatchesAndOutliveEachOther) {
    CTempFolder folder;
    fs::create_directories(folder / "hot/sub");
    fs::create_directory_symlink(folder / "hot/sub", folder / "link-to-sub");
    auto pOuter = std::make_unique<CWatchProbe>(folder / "hot", false);
    auto pTwin = std::make_unique<CWatchProbe>(folder / "hot", false);
    CWatchProbe inner(folder / "hot/sub", false);
    CWatchProbe linked(folder / "link-to-sub", false);
    EXPECT_EQ(CountInotifyInstances(), 1) << "one kernel queue for every watcher";

    WriteWholeFile(folder / "hot/sub/first.prn", "x");
    for (CWatchProbe* pProbe : {pOuter.get(), pTwin.get()})
        EXPECT_TRUE(pProbe->WaitFor(Platform::kActionAdded, "sub/first.prn"));
    for (CWatchProbe* pProbe : {&inner, &linked})
        EXPECT_TRUE(pProbe->WaitFor(Platform::kActionAdded, "first.prn"));

    // The outer watchers leave; the folder they shared with the others stays watched for those.
    pOuter.reset();
    pTwin.reset();
    WriteWholeFile(folder / "hot/sub/second.prn", "x");
    EXPECT_TRUE(inner.WaitFor(Platform::kActionAdded, "second.prn"));
    EXPECT_TRUE(linked.WaitFor(Platform::kActionAdded, "second.prn"));
}

TEST(DirectoryWatcher, EachWatcherGetsOnlyTheChangesItAskedFor) {
    CTempFolder folder;
    fs::create_directories(folder / "hot");
    CWatchProbe ordinary(folder / "hot", false);
    CWatchProbe tickets(folder / "hot", true);
    WriteWholeFile(folder / "hot/a.dat", "x");
    WriteWholeFile(folder / "hot/marker", "x");
    ASSERT_TRUE(tickets.WaitFor(Platform::kActionModified, "marker"));
    ASSERT_TRUE(ordinary.WaitFor(Platform::kActionAdded, "marker"));
    EXPECT_TRUE(Has(tickets.Records(), Platform::kActionModified, "a.dat"));
    EXPECT_FALSE(Has(ordinary.Records(), Platform::kActionModified, "a.dat"))
        << "writes are watched for the ticket watcher only";
}

TEST(DirectoryWatcher, WatcherThatFallsBehindGetsAnOverflowInsteadOfAGrowingQueue) {
    CTempFolder folder;
    fs::create_directories(folder / "hot");
    Platform::CDirectoryWatcher watcher;
    std::vector<Platform::CWatchFailure> failures;
    ASSERT_TRUE(watcher.CreateQueue());
    ASSERT_TRUE(watcher.OpenFolder(folder / "hot"));
    ASSERT_TRUE(watcher.StartWatching(false, failures));
    watcher.SetPendingChangeLimitForTest(50);
    // Held, the reader hands the whole burst on in one read once it is let go.
    ASSERT_TRUE(Platform::CDirectoryWatcher::HoldChangeReadingForTest(true));
    for (int i = 0; i < 200; ++i)
        WriteWholeFile(folder / ("hot/f" + std::to_string(i)), "x");
    ASSERT_TRUE(Platform::CDirectoryWatcher::HoldChangeReadingForTest(false));
    Platform::CChangeBatch batch;
    ASSERT_EQ(watcher.Wait(batch), Platform::WaitResult::Changes);
    EXPECT_TRUE(batch.bOverflow);
    EXPECT_TRUE(batch.records.empty()) << batch.records.size() << " changes kept beyond the limit";
}
