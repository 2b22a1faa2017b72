#include "monitor/FolderMonitor.h"
#include "monitor/FileVersionOf.h"
#include "monitor/TicketLedger.h"
#include "platform/Environment.h"
#include "pool/FileRequest.h"
#include "pool/IOThreadPool.h"
#include "support/FakeChangeWatcher.h"
#include "support/FakeClock.h"
#include "support/RequestRecorder.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;

using Platform::kActionAdded;

namespace {

using Seen = std::vector<CRequestRecorder::CSeen>;

bool Contains(const Seen& seen, uint32_t nAction, const std::string& strName) {
    for (const auto& request : seen)
        if (request.nAction == nAction && request.strFilename == strName)
            return true;
    return false;
}

// A monitor on the fake watcher and clock, in front of a pool that records what reaches it. The
// monitor thread handles pushed changes in order, so a marker pushed last and seen by the pool
// means everything before it was handled.
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

    void TearDown() override {
        if (m_pMonitor) {
            m_pMonitor->PostStop();
            EXPECT_TRUE(m_pMonitor->WaitForEnd(std::chrono::seconds(10)));
        }
        m_pool.ShutdownThreadPool();
        m_pool.WaitForRequestThreads(std::chrono::seconds(10));
    }

    // Records a ticket as processed, as the pipeline does once it is posted; tickets named
    // "dropped..." stand for requests dropped at a stop before they were processed.
    void ActAsPipeline(const CFileRequest& request) {
        std::string strPath = m_strHot + "/" + request.filename;
        if (request.pTicketLedger && request.filename.rfind("dropped", 0) != 0 && fs::exists(strPath)) {
            Platform::CFileVersion version = VersionOfFile(strPath);
            request.pTicketLedger->MarkProcessed(request.filename, version);
        }
    }

    void Open(const std::string& strType = "") {
        CHotFolderInfo folder;
        folder.source = m_strHot;
        folder.destination = m_folder / "dst";
        folder.type = strType;
        m_pMonitor = std::make_unique<CFolderMonitor>(m_environment, folder, &m_pool, m_strState);
        ASSERT_EQ(m_pMonitor->CreateQueue(), 1);
        ASSERT_EQ(m_pMonitor->OpenFolder(), 1);
        ASSERT_EQ(m_pMonitor->StartWatching(), 1);
    }

    // Returns once the start-up scan is done.
    void Start(const std::string& strType = "") {
        Open(strType);
        ASSERT_EQ(m_pMonitor->StartThread(), 1);
        Settle();
    }

    void Stop() {
        m_pMonitor->PostStop();
        ASSERT_TRUE(m_pMonitor->WaitForEnd(std::chrono::seconds(10)));
        m_pMonitor.reset();
    }

    void Touch(const std::string& strRelative, const std::string& strContent = "x") {
        std::ofstream(m_strHot + "/" + strRelative) << strContent;
    }

    // A file that appears in the hot folder and is reported as added.
    void Arrive(const std::string& strName, const std::string& strContent = "x") {
        Touch(strName, strContent);
        ASSERT_TRUE(m_watchers.PushRecord(m_strHot, kActionAdded, strName));
    }

    // Returns once the monitor thread has handled every change pushed so far, and the requests it
    // made have been through the pool: the pool starts them in order, so once the marker's request is
    // seen, every earlier one has a thread. The marker names no file, so it changes nothing a scan finds.
    void Settle() {
        std::string strMarker = "marker" + std::to_string(++m_nMarkers) + ".dat";
        ASSERT_TRUE(m_watchers.PushRecord(m_strHot, kActionAdded, strMarker));
        ASSERT_TRUE(WaitFor(kActionAdded, strMarker));
        ASSERT_TRUE(m_pool.WaitForRequestThreads(std::chrono::seconds(10)));
    }

    bool WaitFor(uint32_t nAction, const std::string& strName) {
        return m_recorder.WaitUntil([&](const Seen& seen) { return Contains(seen, nAction, strName); });
    }

    CTempFolder m_folder;
    std::string m_strHot = m_folder / "hot";
    std::string m_strState = m_folder / "state";
    CScopedLog m_log{m_folder / "agent.log"};
    CFakeClock m_clock;
    CFakeChangeWatchers m_watchers;
    Platform::CEnvironment m_environment{&m_clock, &m_watchers};
    CRequestRecorder m_recorder;
    CIOThreadPool m_pool{m_environment};
    std::unique_ptr<CFolderMonitor> m_pMonitor;
    int m_nMarkers = 0;
};

} // namespace

TEST_F(MonitorTest, OrdinaryFolderReportsCreateDeleteAndRenameAsTheWindowsAgentDid) {
    Start();
    EXPECT_FALSE(m_watchers.ReportsModified(m_strHot)) << "writes are watched in ticket folders only";
    Platform::CChangeBatch batch;
    batch.records = {{1, "a.prn"}, {4, "a.prn"}, {5, "b.prn"}, {2, "b.prn"}, {3, "c.prn"}};
    ASSERT_TRUE(m_watchers.Push(m_strHot, batch));
    Settle();
    Seen seen = m_recorder.Seen();
    for (const auto& record : batch.records)
        EXPECT_EQ(Contains(seen, record.nAction, record.strName), record.nAction != 4) << record.strName;
    EXPECT_NE(m_log.Content().find("--I dispacth new request s=" + m_strHot + " file=a.prn"),
              std::string::npos)
        << "the old name still reaches the pool";
    EXPECT_EQ(Occurrences(m_log.Content(), "--I dispacth new request s=" + m_strHot + " file=a.prn"), 2u);
    EXPECT_EQ(m_log.Content().find("--W: hot folder"), std::string::npos)
        << "a local folder is no network folder";
}

TEST_F(MonitorTest, FoldersThatCannotBeWatchedAreLoggedAndTheRestStaysWatched) {
    Start();
    Platform::CChangeBatch batch;
    batch.failures = {{m_strHot + "/deep", 28}};
    batch.records = {{1, "deep-sibling.prn"}};
    ASSERT_TRUE(m_watchers.Push(m_strHot, batch));
    Settle();
    EXPECT_TRUE(Contains(m_recorder.Seen(), 1, "deep-sibling.prn"));
    EXPECT_NE(m_log.Content().find("--F: cannot watch folder p=" + m_strHot + "/deep error =28\r\n"),
              std::string::npos);
}

TEST_F(MonitorTest, FilesPresentAtStartAreHandedOn) {
    fs::create_directories(m_strHot + "/sub");
    Touch("waiting.prn");
    Touch("sub/nested.prn");
    Start();
    ASSERT_TRUE(WaitFor(kActionAdded, "waiting.prn"));
    ASSERT_TRUE(WaitFor(kActionAdded, NativePath("sub/nested.prn")));
    EXPECT_NE(m_log.Content().find("--I: start-up scan s=" + m_strHot + " files=2"), std::string::npos);
}

TEST_F(MonitorTest, TicketFolderFiltersDatNamesAndLosesNoRewriteWithinTheDuplicateWindow) {
    Touch("old.dat");
    Start("uls");
    EXPECT_TRUE(m_watchers.ReportsModified(m_strHot));
    Arrive("job.txt");
    Arrive("a.dat");
    ASSERT_TRUE(WaitFor(kActionAdded, "a.dat"));
    ASSERT_TRUE(m_pool.WaitForRequestThreads(std::chrono::seconds(10)));
    // The same version again within the window (a rename's and a write's record of one ticket) is a
    // repeat; a new version within the window must be handed on, not discarded.
    m_clock.Advance(1000);
    ASSERT_TRUE(m_watchers.PushRecord(m_strHot, 3, "A.DAT"));
    ASSERT_TRUE(m_watchers.PushRecord(m_strHot, 3, "a.dat"));
    ASSERT_TRUE(m_watchers.WaitUntilIdle(m_strHot));
    m_clock.Advance(1000);
    Arrive("a.dat", "a second, longer version");
    Settle();
    EXPECT_EQ(Occurrences(m_log.Content(), "discard dup notification"), 2u);
    EXPECT_EQ(m_recorder.CountFor("a.dat"), 2u) << "the first version and the rewrite";
    EXPECT_EQ(m_recorder.CountFor("job.txt"), 0u);
    EXPECT_EQ(m_recorder.CountFor("old.dat"), 0u)
        << "a ticket present at the first watch counts as processed";
}

TEST_F(MonitorTest, TicketRepeatedAfterTheDuplicateWindowIsHandedOnAgain) {
    Start("ULS");
    Arrive("a.dat");
    ASSERT_TRUE(WaitFor(kActionAdded, "a.dat"));
    m_clock.Advance(5000);
    ASSERT_TRUE(m_watchers.PushRecord(m_strHot, 3, "a.dat"));
    ASSERT_TRUE(WaitFor(3, "a.dat")) << "the window has passed";
}

TEST_F(MonitorTest, RemovedHotFolderEndsTheMonitorWithALine) {
    Start();
    ASSERT_TRUE(m_watchers.Fail(m_strHot, 2));
    EXPECT_TRUE(m_pMonitor->WaitForEnd(std::chrono::seconds(10)));
    std::string strLog = m_log.Content();
    EXPECT_NE(strLog.find("--F: monitor folder failed s=" + m_strHot + " error =2\r\n"), std::string::npos);
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
    m_watchers.FailCreation(24);
    CHotFolderInfo folder;
    folder.source = m_strHot;
    CFolderMonitor monitor(m_environment, folder, &m_pool);
    EXPECT_EQ(monitor.CreateQueue(), 0);
    monitor.PostStop();
    EXPECT_NE(m_log.Content().find(" -- F : Failed to CreateIOPort Error( 24)"), std::string::npos);
}

// The monitor's wait for its thread is bounded by the clock: a thread that does not end is left.
TEST_F(MonitorTest, WaitForTheEndGivesUpAtItsDeadline) {
    Open();
    std::thread waiter([&] { EXPECT_FALSE(m_pMonitor->WaitForEnd(std::chrono::seconds(10))); });
    ASSERT_TRUE(m_clock.WaitForWaiters(1));
    m_clock.Advance(10000);
    waiter.join();
    ASSERT_EQ(m_pMonitor->StartThread(), 1);
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
    Arrive("posted.dat");
    Arrive("dropped.dat");
    Settle();
    std::string strLog = m_log.Content();
    EXPECT_NE(strLog.find("--I: ticket folder s=" + m_strHot +
                          " watched for the first time, tickets=2 taken as processed"),
              std::string::npos);
    EXPECT_NE(strLog.find("--I: ticket scan s=" + m_strHot + " tickets=2 unprocessed=0"), std::string::npos);
    Stop();

    Touch("rewritten.dat", "a new version");
    Touch("while-stopped.dat");
    Start("ULS");
    Settle();
    EXPECT_NE(m_log.Content().find("--I: ticket scan s=" + m_strHot + " tickets=5 unprocessed=3"),
              std::string::npos);
    EXPECT_EQ(m_recorder.CountFor("dropped.dat"), 2u);
    EXPECT_EQ(m_recorder.CountFor("rewritten.dat"), 1u);
    EXPECT_EQ(m_recorder.CountFor("while-stopped.dat"), 1u);
    EXPECT_EQ(m_recorder.CountFor("before.dat"), 0u) << "there before the first watch";
    EXPECT_EQ(m_recorder.CountFor("posted.dat"), 1u) << "processed before the stop";
}

// The watcher lost changes: the monitor looks at the tree itself.
class OverflowTest : public MonitorTest {};

TEST_F(OverflowTest, OrdinaryFolderRescansAfterAKernelOverflowAndLosesNoFile) {
    Touch("early.prn");
    Start();
    for (int i = 0; i < 50; ++i)
        Touch("lost" + std::to_string(i) + ".prn");
    ASSERT_TRUE(m_watchers.PushOverflow(m_strHot));
    Settle();
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(m_recorder.CountFor("lost" + std::to_string(i) + ".prn"), 1u) << i;
    EXPECT_NE(m_log.Content().find("--F: change queue overflow s=" + m_strHot + ", rescanning the folder"),
              std::string::npos);
}

TEST_F(OverflowTest, TicketFolderRescanAfterAKernelOverflowPostsNoKnownTicketAgain) {
    for (int i = 0; i < 5; ++i)
        Touch("known" + std::to_string(i) + ".dat");
    Start("ULS");
    for (int i = 0; i < 50; ++i)
        Touch("new" + std::to_string(i) + ".dat");
    ASSERT_TRUE(m_watchers.PushOverflow(m_strHot));
    Settle();
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(m_recorder.CountFor("new" + std::to_string(i) + ".dat"), 1u) << i;
    EXPECT_NE(m_log.Content().find("--F: change queue overflow s=" + m_strHot), std::string::npos);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(m_recorder.CountFor("known" + std::to_string(i) + ".dat"), 0u);
}
