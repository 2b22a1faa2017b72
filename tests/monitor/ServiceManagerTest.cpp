#include "monitor/ServiceManager.h"
#include "config/AgentSettings.h"
#include "monitor/TicketLedger.h"
#include "platform/Environment.h"
#include "support/FakeChangeWatcher.h"
#include "support/FakeClock.h"
#include "support/RequestRecorder.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

class ServiceManagerTest : public ::testing::Test {
  protected:
    // Lines of the log in order, each checked to follow the one before.
    void ExpectInOrder(const std::vector<std::string>& lines) {
        std::string strLog = m_log.Content();
        size_t nPos = 0;
        for (const std::string& strLine : lines) {
            size_t nFound = strLog.find(strLine, nPos);
            EXPECT_NE(nFound, std::string::npos) << "missing or out of order: " << strLine;
            if (nFound != std::string::npos)
                nPos = nFound + strLine.size();
        }
    }

    CTempFolder m_folder;
    CScopedLog m_log{m_folder / "KlendoHotFolderAgent.log"};
    CFakeClock m_clock;
    CFakeChangeWatchers m_watchers;
    Platform::CEnvironment m_environment{&m_clock, &m_watchers};
};

} // namespace

TEST_F(ServiceManagerTest, StartsThreeFoldersOneMissingAndStopsInOrder) {
    std::string strA = m_folder / "a";
    std::string strC = m_folder / "c";
    fs::create_directory(strA);
    fs::create_directory(strC);
    WriteWholeFile(m_folder / "KlendoHotFolderAgent.ini",
                   "[configuration]\nhotfoldercount=3\nserveraddress=127.0.0.1\nserverport=8080\n"
                   "[hotfolder_1]\nsource=" +
                       strA +
                       "\ndestination=/dst/a\ndevicename=A\n"
                       "[hotfolder_3]\nsource=" +
                       strC + "\ndestination=/dst/c\ndevicename=C\ntype=ULS\n");
    CRequestRecorder recorder;
    CServiceManager manager(m_environment);
    manager.SetSettingsPath(m_folder / "KlendoHotFolderAgent.ini");
    manager.GetThreadPool().SetRequestProcessor(recorder.Processor());
    manager.SetStateFolder(m_folder.Path());
    EXPECT_EQ(manager.Initalize(), 1);
    EXPECT_EQ(manager.GetMonitorCount(), 2u);
    EXPECT_TRUE(fs::exists(m_folder / CTicketLedger::StateFileName(strC)))
        << "the ticket folder's state file";
    std::ofstream(strA + "/job.prn") << "x";
    std::ofstream(strC + "/ticket.dat") << "x";
    EXPECT_TRUE(m_watchers.PushRecord(strA, 1, "job.prn"));
    EXPECT_TRUE(m_watchers.PushRecord(strC, 1, "ticket.dat"));
    EXPECT_TRUE(m_watchers.ReportsModified(strC)) << "a ticket folder";
    EXPECT_TRUE(recorder.WaitForCount(2));
    EXPECT_FALSE(manager.HaveAllThreadsEnded());
    EXPECT_EQ(manager.uninit(), 1);
    // A scan may have handed on a file once more; its request thread still uses the recorder.
    EXPECT_TRUE(manager.GetThreadPool().WaitForRequestThreads(std::chrono::seconds(30)));
    EXPECT_EQ(manager.GetMonitorCount(), 0u);
    EXPECT_TRUE(manager.HaveAllThreadsEnded());
    ExpectInOrder({"numberof folders =3\r\n",
                   "srveraddress=127.0.0.1\r\n",
                   "serverport=8080\r\n",
                   "folder s=" + strA + " d=/dst/a dv=A\r\n",
                   "folder s= d= dv=\r\n",
                   "folder s=" + strC + " d=/dst/c dv=C\r\n",
                   "--I: thread pool created successfully\r\n",
                   "--I: IO threadpool status = 1\r\n",
                   "--I: monitor folder size = 3\r\n",
                   "--I: monitoring S=" + strA + " D=/dst/a DV=A\r\n",
                   "--I: successfully started folder monitor\r\n",
                   "--I: monitoring S= D= DV=\r\n",
                   "--F: Create file failed p= error =2\r\n",
                   "--I: monitoring S=" + strC + " D=/dst/c DV=C\r\n",
                   "--I: successfully started folder monitor\r\n",
                   "--I : monitor status = 1\r\n",
                   "-- I : Queue complete(null), exiting... \r\n",
                   "--I: MonitorFolderThreadMain end\r\n",
                   "-- I : Queue complete(null), exiting... \r\n",
                   "--I: MonitorFolderThreadMain end\r\n"});
}

TEST_F(ServiceManagerTest, NoHotFoldersStillRunsThePool) {
    CServiceManager manager(m_environment);
    manager.SetSettingsPath(m_folder / "KlendoHotFolderAgent.ini");
    EXPECT_EQ(manager.Initalize(), 1);
    EXPECT_EQ(manager.uninit(), 1);
    ExpectInOrder({"numberof folders =0\r\n", "srveraddress=localhost\r\n", "serverport=80\r\n",
                   "--I: IO threadpool status = 1\r\n", "--I: monitor folder size = 0\r\n",
                   "--I : monitor status = 1\r\n"});
    EXPECT_EQ(m_log.Content().find("folder s="), std::string::npos);
}

// A monitor thread hung in a system call cannot be ended: the replacement starts after the wait, and
// the stop reports that a thread may still log.
TEST_F(ServiceManagerTest, MonitorThatDoesNotEndInTimeIsLeftRunningAndTheStopSaysSo) {
    CHotFolderInfo folder;
    folder.source = m_folder / "hot";
    fs::create_directory(folder.source);
    CServiceManager manager(m_environment);
    manager.SetSettingsPath(m_folder / "KlendoHotFolderAgent.ini");
    ASSERT_EQ(manager.Initalize(), 1);
    ASSERT_EQ(manager.MonitorFolder(folder), 1);
    m_watchers.HangWatchersStarted();
    std::thread replacing([&] { EXPECT_EQ(manager.MonitorFolder(folder), 1); });
    ASSERT_TRUE(m_clock.WaitForWaiters(1));
    m_clock.Advance(10000);
    replacing.join();
    EXPECT_EQ(manager.GetMonitorCount(), 1u);
    EXPECT_TRUE(m_watchers.PushRecord(folder.source, 1, "job.prn")) << "the replacement watches";
    EXPECT_EQ(manager.uninit(), 1);
    EXPECT_TRUE(manager.GetThreadPool().WaitForRequestThreads(std::chrono::seconds(30)));
    EXPECT_FALSE(manager.HaveAllThreadsEnded());
    EXPECT_EQ(Occurrences(m_log.Content(), "--I: successfully started folder monitor"), 2u);
}

TEST_F(ServiceManagerTest, PartialCopiesOfAnInterruptedRunAreRemovedAtStart) {
    std::string strHot = m_folder / "hot";
    std::string strDestination = m_folder / "dst";
    fs::create_directories(strHot);
    fs::create_directories(strDestination + "/sub");
    WriteWholeFile(strDestination + "/sub/.job.prn.4d2.0.klendo-part", "half a copy");
    WriteWholeFile(strDestination + "/job.prn", "a whole copy");
    WriteWholeFile(m_folder / "KlendoHotFolderAgent.ini",
                   "[configuration]\nhotfoldercount=1\n[hotfolder_1]\nsource=" + strHot +
                       "\ndestination=" + strDestination + "\n");
    CRequestRecorder recorder;
    CServiceManager manager(m_environment);
    manager.SetSettingsPath(m_folder / "KlendoHotFolderAgent.ini");
    manager.GetThreadPool().SetRequestProcessor(recorder.Processor());
    manager.SetStateFolder(m_folder.Path());
    EXPECT_EQ(manager.Initalize(), 1);
    std::string strRemoved = "--I: partial copy of an interrupted run removed p=" + strDestination +
                             NativePath("/sub/.job.prn.4d2.0.klendo-part") + "\r\n";
    // The clean-up comes before the monitor waits for changes: once one is handed on, it is done.
    EXPECT_TRUE(m_watchers.PushRecord(strHot, 1, "marker.prn"));
    EXPECT_TRUE(recorder.WaitUntil([](const std::vector<CRequestRecorder::CSeen>& seen) {
        for (const auto& request : seen)
            if (request.strFilename == "marker.prn")
                return true;
        return false;
    }));
    EXPECT_EQ(manager.uninit(), 1);
    EXPECT_TRUE(manager.GetThreadPool().WaitForRequestThreads(std::chrono::seconds(30)));
    EXPECT_FALSE(fs::exists(strDestination + "/sub/.job.prn.4d2.0.klendo-part"));
    EXPECT_EQ(ReadWholeFile(strDestination + "/job.prn"), "a whole copy");
    ExpectInOrder({"--I: MonitorFolderThreadMain start s=" + strHot, strRemoved});
}
