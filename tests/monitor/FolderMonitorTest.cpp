#include "monitor/FolderMonitor.h"
#include "monitor/FileRequest.h"
#include "monitor/TicketLedger.h"
#include "monitor/WatchProbe.h"
#include "support/RequestRecorder.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using Seen = std::vector<CRequestRecorder::CSeen>;

bool Contains(const Seen& seen, uint32_t nAction, const std::string& strName) {
    for (const auto& request : seen)
        if (request.nAction == nAction && request.strFilename == strName)
            return true;
    return false;
}

class MonitorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directory(m_strHot);
        fs::create_directory(m_strState);
        m_pool.SetRequestProcessor(
            [this, record = m_recorder.Processor()](std::unique_ptr<CFileRequest> pRequest) {
                ActAsPipeline(*pRequest);
                record(std::move(pRequest));
            });
        m_pool.InitThreadPool(1);
    }

    // Records a ticket as processed, as the pipeline does once it is posted; tickets named
    // "dropped..." stand for requests dropped at a stop before they were processed.
    void ActAsPipeline(const CFileRequest& request) {
        struct stat info {};
        std::string strPath = m_strHot + "/" + request.filename;
        if (request.pTicketLedger && request.filename.rfind("dropped", 0) != 0 &&
            ::lstat(strPath.c_str(), &info) == 0) {
            Platform::CFileVersion version = VersionOfFile(strPath);
            request.pTicketLedger->MarkProcessed(request.filename, version);
            std::lock_guard<std::mutex> guard(m_processedMutex);
            m_processedSizes.insert({request.filename, version.nSize});
        }
    }

    // Whether a request processed strName when it had strContent's size.
    bool WaitForProcessedSize(const std::string& strName, size_t nSize) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            {
                std::lock_guard<std::mutex> guard(m_processedMutex);
                if (m_processedSizes.count({strName, nSize}) > 0)
                    return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    void TearDown() override {
        if (m_pMonitor) {
            m_pMonitor->PostStop();
            EXPECT_TRUE(m_pMonitor->WaitForEnd(std::chrono::seconds(10)));
        }
        m_pool.ShutdownThreadPool();
        m_pool.WaitForRequestThreads(std::chrono::seconds(10));
    }

    void Open(const std::string& strType = "") {
        CHotFolderInfo folder;
        folder.source = m_strHot;
        folder.destination = m_folder / "dst";
        folder.type = strType;
        m_pMonitor = std::make_unique<CFolderMonitor>(folder, &m_pool, m_strState);
        ASSERT_EQ(m_pMonitor->CreateQueue(), 1);
        ASSERT_EQ(m_pMonitor->OpenFolder(), 1);
        ASSERT_EQ(m_pMonitor->StartWatching(), 1);
    }

    void Start(const std::string& strType = "") {
        Open(strType);
        ASSERT_EQ(m_pMonitor->StartThread(), 1);
    }

    void Stop() {
        m_pMonitor->PostStop();
        ASSERT_TRUE(m_pMonitor->WaitForEnd(std::chrono::seconds(10)));
        m_pMonitor.reset();
    }

    void Touch(const std::string& strRelative, const std::string& strContent = "x") {
        std::ofstream(m_strHot + "/" + strRelative) << strContent;
    }

    // Written elsewhere and moved in whole, as a ticket writer that finishes before the pipeline
    // looks at it.
    void PlaceTicket(const std::string& strName) {
        WriteWholeFile(m_folder / "staging", strName);
        fs::rename(m_folder / "staging", m_strHot + "/" + strName);
    }

    void WaitForLog(const std::string& strText) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (m_log.Content().find(strText) == std::string::npos) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "waited for log text " << strText;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    bool WaitFor(uint32_t nAction, const std::string& strName) {
        return m_recorder.WaitUntil([&](const Seen& seen) { return Contains(seen, nAction, strName); });
    }

    CTempFolder m_folder;
    std::string m_strHot = m_folder / "hot";
    std::string m_strState = m_folder / "state";
    CScopedLog m_log{m_folder / "agent.log"};
    CRequestRecorder m_recorder;
    std::mutex m_processedMutex;
    std::set<std::pair<std::string, uint64_t>> m_processedSizes;
    CIOThreadPool m_pool;
    std::unique_ptr<CFolderMonitor> m_pMonitor;
};

} // namespace

TEST_F(MonitorTest, OrdinaryFolderReportsCreateDeleteAndRenameAsTheWindowsAgentDid) {
    Start();
    Touch("a.prn");
    ASSERT_TRUE(WaitFor(1, "a.prn"));
    fs::rename(m_strHot + "/a.prn", m_strHot + "/b.prn");
    ASSERT_TRUE(WaitFor(5, "b.prn"));
    fs::remove(m_strHot + "/b.prn");
    ASSERT_TRUE(WaitFor(2, "b.prn"));
    EXPECT_FALSE(Contains(m_recorder.Seen(), 4, "a.prn"))
        << "the old name of a rename is dropped by the pool";
    EXPECT_NE(m_log.Content().find("--I dispacth new request s=" + m_strHot + " file=a.prn"),
              std::string::npos)
        << "the old name still reaches the pool";
    fs::create_directory(m_strHot + "/folder-only");
    Touch("marker");
    ASSERT_TRUE(WaitFor(1, "marker"));
    for (const auto& request : m_recorder.Seen())
        EXPECT_NE(request.strFilename, "folder-only") << "folders are never reported";
    EXPECT_EQ(m_log.Content().find("--W: hot folder"), std::string::npos)
        << "a local folder is no network folder";
}

TEST_F(MonitorTest, FilesInNewSubfoldersAreNotMissed) {
    Start();
    // Files created at once after their folders, before any watch on them can exist.
    fs::create_directories(m_strHot + "/a/b/c");
    Touch("a/b/c/deep.prn");
    Touch("a/top.prn");
    ASSERT_TRUE(WaitFor(1, "a/b/c/deep.prn"));
    ASSERT_TRUE(WaitFor(1, "a/top.prn"));
    // A later file in a watched subfolder, and a folder moved in from outside the tree.
    Touch("a/b/later.prn");
    ASSERT_TRUE(WaitFor(1, "a/b/later.prn"));
    fs::create_directories(m_folder / "outside/inner");
    std::ofstream(m_folder / "outside/inner/moved.prn") << "x";
    fs::rename(m_folder / "outside", m_strHot + "/moved-in");
    ASSERT_TRUE(WaitFor(1, "moved-in/inner/moved.prn"));
    // A renamed subfolder reports under its new name.
    fs::rename(m_strHot + "/a", m_strHot + "/renamed");
    Touch("renamed/b/after-rename.prn");
    ASSERT_TRUE(WaitFor(1, "renamed/b/after-rename.prn"));
}

TEST_F(MonitorTest, FilesMovedAcrossTheTreeBoundaryAreAddedOrRemoved) {
    Start();
    std::ofstream(m_folder / "incoming.prn") << "x";
    fs::rename(m_folder / "incoming.prn", m_strHot + "/incoming.prn");
    ASSERT_TRUE(WaitFor(1, "incoming.prn"));
    fs::rename(m_strHot + "/incoming.prn", m_folder / "gone.prn");
    ASSERT_TRUE(WaitFor(2, "incoming.prn"));
}

TEST_F(MonitorTest, LongRelativeNamesAreDeliveredWhole) {
    Start();
    std::string strFolder(200, 'd');
    std::string strFile(100, 'f');
    fs::create_directory(m_strHot + "/" + strFolder);
    Touch(strFolder + "/" + strFile);
    ASSERT_TRUE(WaitFor(1, strFolder + "/" + strFile));
}

TEST_F(MonitorTest, FilesPresentAtStartAreHandedOn) {
    fs::create_directories(m_strHot + "/sub");
    Touch("waiting.prn");
    Touch("sub/nested.prn");
    Start();
    ASSERT_TRUE(WaitFor(1, "waiting.prn"));
    ASSERT_TRUE(WaitFor(1, "sub/nested.prn"));
}

TEST_F(MonitorTest, TicketFolderFiltersDatNamesAndLosesNoRewriteWithinTheDuplicateWindow) {
    Touch("old.dat");
    Start("uls");
    Touch("job.txt");
    Touch("JOB.DAT");
    ASSERT_TRUE(WaitFor(1, "JOB.DAT"));
    PlaceTicket("a.dat");
    ASSERT_TRUE(WaitFor(1, "a.dat"));
    // Rewritten at once, within the window (its first version may still be posting): the new version
    // must be handed on, not discarded as a repeat.
    const std::string strSecond = "a second, longer version";
    WriteWholeFile(m_folder / "staging", strSecond);
    fs::rename(m_folder / "staging", m_strHot + "/a.dat");
    EXPECT_TRUE(WaitForProcessedSize("a.dat", strSecond.size()));
    Touch("marker.dat");
    ASSERT_TRUE(WaitFor(1, "marker.dat"));
    EXPECT_EQ(m_recorder.CountFor("job.txt"), 0u);
    EXPECT_EQ(m_recorder.CountFor("old.dat"), 0u)
        << "a ticket present at the first watch counts as processed";
}

TEST_F(MonitorTest, RemovedHotFolderEndsTheMonitorWithALine) {
    Start();
    fs::remove_all(m_strHot);
    EXPECT_TRUE(m_pMonitor->WaitForEnd(std::chrono::seconds(10)));
    std::string strLog = m_log.Content();
    EXPECT_NE(strLog.find("--F: monitor folder failed s=" + m_strHot), std::string::npos);
    EXPECT_NE(strLog.find("--I: MonitorFolderThreadMain end"), std::string::npos);
}

TEST_F(MonitorTest, StopPacketEndsTheThreadWithItsLines) {
    Start();
    m_pMonitor->PostStop();
    ASSERT_TRUE(m_pMonitor->WaitForEnd(std::chrono::seconds(10)));
    std::string strLog = m_log.Content();
    size_t nQueue = strLog.find("-- I : Queue complete(null), exiting... \r\n");
    ASSERT_NE(nQueue, std::string::npos);
    EXPECT_NE(strLog.find("--I: MonitorFolderThreadMain end", nQueue), std::string::npos);
}

TEST_F(MonitorTest, ChangeQueueThatCannotBeMadeLogsItsSystemError) {
    // Every descriptor number from the lowest free one on is beyond the limit.
    int nLowestFree = ::dup(0);
    ASSERT_GE(nLowestFree, 0);
    ::close(nLowestFree);
    struct rlimit limit {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    struct rlimit lowered = limit;
    lowered.rlim_cur = static_cast<rlim_t>(nLowestFree);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    CHotFolderInfo folder;
    folder.source = m_strHot;
    CFolderMonitor monitor(folder, &m_pool);
    int nCreated = monitor.CreateQueue();
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    EXPECT_EQ(nCreated, 0);
    EXPECT_NE(m_log.Content().find(" -- F : Failed to CreateIOPort Error( 24)"), std::string::npos);
}

TEST_F(MonitorTest, StopPostedBeforeTheStartUpScanEndsItAtOnce) {
    for (int nFolder = 0; nFolder < 20; ++nFolder) {
        std::string strFolder = "tree" + std::to_string(nFolder);
        fs::create_directory(m_strHot + "/" + strFolder);
        for (int nFile = 0; nFile < 100; ++nFile)
            Touch(strFolder + "/f" + std::to_string(nFile));
    }
    Open();
    m_pMonitor->PostStop();
    ASSERT_EQ(m_pMonitor->StartThread(), 1);
    ASSERT_TRUE(m_pMonitor->WaitForEnd(std::chrono::seconds(10)));
    std::string strLog = m_log.Content();
    EXPECT_EQ(Occurrences(strLog, "--I dispacth new request"), 0u)
        << "the tree is not handed on after the stop";
    EXPECT_NE(strLog.find("--I: start-up scan s=" + m_strHot + " ended by the stop"), std::string::npos);
    EXPECT_NE(strLog.find("--I: MonitorFolderThreadMain end"), std::string::npos);
}

TEST_F(MonitorTest, TicketFolderRestartHandsOnExactlyTheVersionsNotProcessed) {
    Touch("before.dat");
    Touch("rewritten.dat");
    Start("ULS");
    WaitForLog("--I: ticket scan s=" + m_strHot + " tickets=2 unprocessed=0");
    EXPECT_NE(m_log.Content().find("--I: ticket folder s=" + m_strHot +
                                   " watched for the first time, tickets=2 taken as processed"),
              std::string::npos);
    PlaceTicket("posted.dat");
    PlaceTicket("dropped.dat");
    ASSERT_TRUE(WaitFor(1, "posted.dat"));
    ASSERT_TRUE(WaitFor(1, "dropped.dat"));
    Stop();

    Touch("rewritten.dat", "a new version");
    Touch("while-stopped.dat");
    Start("ULS");
    WaitForLog("--I: ticket scan s=" + m_strHot + " tickets=5 unprocessed=3");
    ASSERT_TRUE(m_recorder.WaitUntil([&](const Seen& seen) {
        size_t nDropped = 0;
        for (const auto& request : seen)
            nDropped += request.strFilename == "dropped.dat" ? 1 : 0;
        return nDropped == 2 && Contains(seen, 1, "rewritten.dat") && Contains(seen, 1, "while-stopped.dat");
    }));
    EXPECT_EQ(m_recorder.CountFor("before.dat"), 0u) << "there before the first watch";
    EXPECT_EQ(m_recorder.CountFor("posted.dat"), 1u) << "processed before the stop";
}

// Overflows the kernel's change queue without touching its limit: the reader is held while more
// changes than the queue holds happen in the folder of another watcher, then whileLost runs, whose
// changes the kernel can only drop.
class OverflowTest : public MonitorTest {
  protected:
    void OverflowTheKernelQueue(const std::function<void()>& whileLost) {
        std::string strLimit = ReadWholeFile("/proc/sys/fs/inotify/max_queued_events");
        size_t nLimit = strLimit.empty() ? 16384 : std::stoul(strLimit);
        ASSERT_LT(nLimit, 1u << 22) << "the kernel's change queue is too long to fill in a test";
        std::string strNoise = m_folder / "noise";
        fs::create_directory(strNoise);
        Platform::CDirectoryWatcher noise;
        std::vector<Platform::CWatchFailure> failures;
        ASSERT_TRUE(noise.CreateQueue() && noise.OpenFolder(strNoise) &&
                    noise.StartWatching(false, failures));
        ASSERT_TRUE(Platform::CDirectoryWatcher::HoldChangeReadingForTest(true));
        // Created and removed: two changes each, never merged by the kernel.
        for (size_t i = 0; i < nLimit / 2 + 64; ++i) {
            WriteWholeFile(strNoise + "/n", "");
            fs::remove(strNoise + "/n");
        }
        whileLost();
        ASSERT_TRUE(Platform::CDirectoryWatcher::HoldChangeReadingForTest(false));
    }

    bool WaitForAll(const std::string& strPrefix, size_t nCount) {
        return m_recorder.WaitUntil(
            [&](const Seen& seen) {
                std::set<std::string> names;
                for (const auto& request : seen)
                    if (request.strFilename.rfind(strPrefix, 0) == 0)
                        names.insert(request.strFilename);
                return names.size() == nCount;
            },
            std::chrono::seconds(60));
    }
};

TEST_F(OverflowTest, OrdinaryFolderRescansAfterAKernelOverflowAndLosesNoFile) {
    Touch("early.prn");
    Start();
    // Handed on by the start-up scan, which has listed the folder by then.
    ASSERT_TRUE(WaitFor(1, "early.prn"));
    OverflowTheKernelQueue([&] {
        for (int i = 0; i < 50; ++i)
            Touch("lost" + std::to_string(i) + ".prn");
    });
    EXPECT_TRUE(WaitForAll("lost", 50)) << "every file of the lost changes is handed on";
    EXPECT_NE(m_log.Content().find("--F: change queue overflow s=" + m_strHot), std::string::npos);
}

TEST_F(OverflowTest, HotFolderRemovedWhileItsChangesAreLostEndsTheMonitor) {
    Start();
    OverflowTheKernelQueue([&] { fs::remove_all(m_strHot); });
    EXPECT_TRUE(m_pMonitor->WaitForEnd(std::chrono::seconds(20))) << "the end of the folder was dropped too";
    EXPECT_NE(m_log.Content().find("--F: monitor folder failed s=" + m_strHot), std::string::npos);
}

TEST_F(OverflowTest, TicketFolderRescanAfterAKernelOverflowPostsNoKnownTicketAgain) {
    for (int i = 0; i < 5; ++i)
        Touch("known" + std::to_string(i) + ".dat");
    Start("ULS");
    WaitForLog("--I: ticket scan s=" + m_strHot);
    OverflowTheKernelQueue([&] {
        for (int i = 0; i < 50; ++i)
            Touch("new" + std::to_string(i) + ".dat");
    });
    EXPECT_TRUE(WaitForAll("new", 50)) << "every new ticket is handed on";
    EXPECT_NE(m_log.Content().find("--F: change queue overflow s=" + m_strHot), std::string::npos);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(m_recorder.CountFor("known" + std::to_string(i) + ".dat"), 0u);
}
