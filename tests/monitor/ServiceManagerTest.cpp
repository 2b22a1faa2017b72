#include "monitor/ServiceManager.h"
#include "config/AgentSettings.h"
#include "monitor/TicketLedger.h"
#include "monitor/WatchProbe.h"
#include "support/RequestRecorder.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sys/resource.h>
#include <thread>

namespace fs = std::filesystem;

namespace {

class ServiceManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CAgentSettings::OverrideSettingsPathForTest(m_folder / "KlendoHotFolderAgent.ini");
    }
    void TearDown() override { CAgentSettings::OverrideSettingsPathForTest(""); }

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
    CServiceManager manager;
    manager.GetThreadPool().SetRequestProcessor(recorder.Processor());
    manager.SetStateFolder(m_folder.Path());
    EXPECT_EQ(manager.Initalize(), 1);
    EXPECT_EQ(manager.GetMonitorCount(), 2u);
    EXPECT_TRUE(fs::exists(m_folder / CTicketLedger::StateFileName(strC)))
        << "the ticket folder's state file";
    std::ofstream(strA + "/job.prn") << "x";
    std::ofstream(strC + "/ticket.dat") << "x";
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
    CServiceManager manager;
    EXPECT_EQ(manager.Initalize(), 1);
    EXPECT_EQ(manager.uninit(), 1);
    ExpectInOrder({"numberof folders =0\r\n", "srveraddress=localhost\r\n", "serverport=80\r\n",
                   "--I: IO threadpool status = 1\r\n", "--I: monitor folder size = 0\r\n",
                   "--I : monitor status = 1\r\n"});
    EXPECT_EQ(m_log.Content().find("folder s="), std::string::npos);
}

// A systemd service starts with a soft limit of 1024 descriptors, and the kernel allows 128 change
// queues per user by default; the settings accept 1000 hot folders.
TEST_F(ServiceManagerTest, ThousandHotFoldersAreWatchedWithinTheDescriptorLimitOfAService) {
    struct rlimit limit {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    limit.rlim_cur = std::min<rlim_t>(1024, limit.rlim_max);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    constexpr size_t kFolders = 1000;
    CRequestRecorder recorder;
    CServiceManager manager;
    manager.GetThreadPool().SetRequestProcessor(recorder.Processor());
    ASSERT_EQ(manager.Initalize(), 1);
    for (size_t i = 0; i < kFolders; ++i) {
        CHotFolderInfo folder;
        folder.source = m_folder / ("hot" + std::to_string(i));
        fs::create_directory(folder.source);
        EXPECT_EQ(manager.MonitorFolder(folder), 1) << folder.source;
    }
    EXPECT_EQ(manager.GetMonitorCount(), kFolders);
    EXPECT_EQ(CountInotifyInstances(), 1);
    for (size_t i = 0; i < kFolders; ++i)
        std::ofstream(m_folder / ("hot" + std::to_string(i) + "/job.prn")) << "x";
    EXPECT_TRUE(recorder.WaitUntil(
        [&](const std::vector<CRequestRecorder::CSeen>& seen) {
            std::set<std::string> sources;
            for (const auto& request : seen)
                if (request.strFilename == "job.prn")
                    sources.insert(request.strSource);
            return sources.size() == kFolders;
        },
        std::chrono::seconds(120)))
        << "a file dropped into every hot folder reaches the pool";
    EXPECT_EQ(manager.uninit(), 1);
    EXPECT_TRUE(manager.GetThreadPool().WaitForRequestThreads(std::chrono::seconds(30)));
    EXPECT_EQ(CountInotifyInstances(), 0) << "the queue ends with its last watcher";
    EXPECT_EQ(m_log.Content().find("Failed to CreateIOPort"), std::string::npos);
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
    CServiceManager manager;
    manager.GetThreadPool().SetRequestProcessor(recorder.Processor());
    manager.SetStateFolder(m_folder.Path());
    EXPECT_EQ(manager.Initalize(), 1);
    std::string strRemoved = "--I: partial copy of an interrupted run removed p=" + strDestination +
                             "/sub/.job.prn.4d2.0.klendo-part\r\n";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (m_log.Content().find(strRemoved) == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(manager.uninit(), 1);
    EXPECT_FALSE(fs::exists(strDestination + "/sub/.job.prn.4d2.0.klendo-part"));
    EXPECT_EQ(ReadWholeFile(strDestination + "/job.prn"), "a whole copy");
    ExpectInOrder({"--I: MonitorFolderThreadMain start s=" + strHot, strRemoved});
}
