// The inotify watcher's own limits: one kernel queue for the whole process, overflows of the
// kernel's queue and of a watcher that falls behind, the descriptor limit of a service.
#include "WatchProbe.h"
#include "platform/ChangeWatcher.h"
#include "platform/Thread.h"
#include "platform/posix/ChangeWatcherTesting.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sys/resource.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Kernel change queues (inotify instances) open in this process.
int CountInotifyInstances() {
    int nCount = 0;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd", error)) {
        std::error_code linkError;
        if (fs::read_symlink(entry.path(), linkError).string() == "anon_inode:inotify")
            ++nCount;
    }
    return nCount;
}

std::unique_ptr<Platform::IChangeWatcher> StartWatcher(const std::string& strRoot) {
    std::unique_ptr<Platform::IChangeWatcher> pWatcher = Platform::SystemChangeWatchers().CreateWatcher();
    std::vector<Platform::CWatchFailure> failures;
    EXPECT_TRUE(pWatcher && pWatcher->OpenFolder(strRoot) && pWatcher->StartWatching(false, failures))
        << strRoot;
    return pWatcher;
}

// Lowers the soft descriptor limit of this process for the life of the object.
class CDescriptorLimit {
  public:
    explicit CDescriptorLimit(rlim_t nLimit) {
        EXPECT_EQ(::getrlimit(RLIMIT_NOFILE, &m_saved), 0);
        struct rlimit lowered = m_saved;
        lowered.rlim_cur = std::min(nLimit, m_saved.rlim_max);
        EXPECT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    }
    ~CDescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &m_saved); }

  private:
    struct rlimit m_saved {};
};

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

TEST(DirectoryWatcher, WatcherThatFallsBehindGetsAnOverflowInsteadOfAGrowingQueue) {
    CTempFolder folder;
    fs::create_directories(folder / "hot");
    std::unique_ptr<Platform::IChangeWatcher> pWatcher = StartWatcher(folder / "hot");
    ASSERT_TRUE(pWatcher);
    Platform::Posix::SetPendingChangeLimitForTest(*pWatcher, 50);
    // Held, the reader hands the whole burst on in one read once it is let go.
    ASSERT_TRUE(Platform::Posix::HoldChangeReadingForTest(true));
    for (int i = 0; i < 200; ++i)
        WriteWholeFile(folder / ("hot/f" + std::to_string(i)), "x");
    ASSERT_TRUE(Platform::Posix::HoldChangeReadingForTest(false));
    Platform::CChangeBatch batch;
    ASSERT_EQ(pWatcher->Wait(batch), Platform::WaitResult::Changes);
    EXPECT_TRUE(batch.bOverflow);
    EXPECT_TRUE(batch.records.empty()) << batch.records.size() << " changes kept beyond the limit";
}

// A systemd service starts with a soft limit of 1024 descriptors, and the kernel allows 128 change
// queues per user by default; the settings accept 1000 hot folders.
TEST(DirectoryWatcher, ThousandHotFoldersAreWatchedWithinTheDescriptorLimitOfAService) {
    constexpr size_t kFolders = 1000;
    CTempFolder folder;
    CDescriptorLimit limit(1024);
    std::vector<std::unique_ptr<Platform::IChangeWatcher>> watchers;
    for (size_t i = 0; i < kFolders; ++i) {
        std::string strHot = folder / ("hot" + std::to_string(i));
        fs::create_directory(strHot);
        watchers.push_back(StartWatcher(strHot));
        ASSERT_TRUE(watchers.back()) << strHot;
    }
    EXPECT_EQ(CountInotifyInstances(), 1);
    for (size_t i = 0; i < kFolders; ++i)
        WriteWholeFile(folder / ("hot" + std::to_string(i) + "/job.prn"), "x");
    for (size_t i = 0; i < kFolders; ++i) {
        Platform::CChangeBatch batch;
        ASSERT_EQ(watchers[i]->Wait(batch), Platform::WaitResult::Changes) << i;
        ASSERT_FALSE(batch.records.empty()) << i;
        EXPECT_EQ(batch.records.front().strName, "job.prn") << i;
    }
    watchers.clear();
    EXPECT_EQ(CountInotifyInstances(), 0) << "the queue ends with its last watcher";
}

TEST(DirectoryWatcher, QueueThatCannotBeMadeGivesItsSystemError) {
    // Every descriptor number from the lowest free one on is beyond the limit.
    int nLowestFree = ::dup(0);
    ASSERT_GE(nLowestFree, 0);
    ::close(nLowestFree);
    std::unique_ptr<Platform::IChangeWatcher> pWatcher;
    int nError = 0;
    {
        CDescriptorLimit limit(static_cast<rlim_t>(nLowestFree));
        pWatcher = Platform::SystemChangeWatchers().CreateWatcher();
        nError = Platform::GetLastError();
    }
    EXPECT_FALSE(pWatcher);
    EXPECT_EQ(nError, EMFILE);
}

// Overflows the kernel's change queue without touching its limit: the reader is held while more
// changes than the queue holds happen in the folder of another watcher, then whileLost runs, whose
// changes the kernel can only drop.
class OverflowTest : public ::testing::Test {
  protected:
    void OverflowTheKernelQueue(const std::function<void()>& whileLost) {
        std::string strLimit = ReadWholeFile("/proc/sys/fs/inotify/max_queued_events");
        size_t nLimit = strLimit.empty() ? 16384 : std::stoul(strLimit);
        ASSERT_LT(nLimit, 1u << 22) << "the kernel's change queue is too long to fill in a test";
        std::string strNoise = m_folder / "noise";
        fs::create_directory(strNoise);
        std::unique_ptr<Platform::IChangeWatcher> pNoise = StartWatcher(strNoise);
        ASSERT_TRUE(pNoise);
        ASSERT_TRUE(Platform::Posix::HoldChangeReadingForTest(true));
        // Created and removed: two changes each, never merged by the kernel.
        for (size_t i = 0; i < nLimit / 2 + 64; ++i) {
            WriteWholeFile(strNoise + "/n", "");
            fs::remove(strNoise + "/n");
        }
        whileLost();
        ASSERT_TRUE(Platform::Posix::HoldChangeReadingForTest(false));
    }

    CTempFolder m_folder;
    std::string m_strHot = m_folder / "hot";
};

TEST_F(OverflowTest, KernelOverflowIsReportedAndFoldersMadeMeanwhileAreWatched) {
    fs::create_directory(m_strHot);
    CWatchProbe probe(m_strHot, false);
    OverflowTheKernelQueue([&] { fs::create_directories(m_strHot + "/unseen"); });
    // Until the overflow is read, the kernel's queue is full and drops whatever else happens.
    ASSERT_TRUE(probe.WaitForOverflow());
    WriteWholeFile(m_strHot + "/unseen/later.prn", "x");
    EXPECT_TRUE(probe.WaitFor(Platform::kActionAdded, "unseen/later.prn"))
        << "a folder whose creation was lost is watched once the tree is looked at again";
}

TEST_F(OverflowTest, HotFolderRemovedWhileItsChangesAreLostEndsTheMonitor) {
    fs::create_directory(m_strHot);
    CWatchProbe probe(m_strHot, false);
    OverflowTheKernelQueue([&] { fs::remove_all(m_strHot); });
    EXPECT_TRUE(probe.WaitForEnd(Platform::WaitResult::Failed)) << "the end of the folder was dropped too";
}
