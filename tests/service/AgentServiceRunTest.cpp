#include "Include/LogFile.h"
#include "platform/RegistryStore.h"
#include "service/AgentService.h"
#include "support/FakeChangeWatcher.h"
#include "support/FakeClock.h"
#include "support/FakeEventLog.h"
#include "support/FakeServiceHost.h"
#include "support/TempFolder.h"

#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace {

const char* const kClosingLine = "CLogFile::Close - INFORMATION- Closing the LOG file ..";

std::vector<std::string> SplitLines(const std::string& strText) {
    std::vector<std::string> lines;
    size_t nStart = 0;
    for (size_t nEnd = strText.find('\n'); nEnd != std::string::npos; nEnd = strText.find('\n', nStart)) {
        std::string strLine = strText.substr(nStart, nEnd - nStart);
        while (!strLine.empty() && strLine.back() == '\r')
            strLine.pop_back();
        lines.push_back(strLine);
        nStart = nEnd + 1;
    }
    return lines;
}

// One registered agent run in this process, on a thread of its own, with its executable, settings
// and log in a temporary folder.
class AgentRunTest : public ::testing::Test {
  protected:
    void SetUp() override {
        WriteWholeFile(m_temp / "KlendoHotFolderAgent.ini",
                       "[configuration]\nserveraddress=accounting.example\nserverport=8123\n");
        Register("KlendoHotFolderAgent -RegServer");
    }

    void TearDown() override {
        if (m_run.joinable()) {
            m_service.RequestStop();
            m_run.join();
        }
    }

    static CAgentServiceOptions Options(const CTempFolder& temp) {
        CAgentServiceOptions options;
        options.strModulePath = temp / "KlendoHotFolderAgent";
        options.strRegistryPath = temp / "registry";
        options.strServiceFolder = temp.Path();
        return options;
    }

    Platform::CEnvironment& Environment() {
        m_environment.pClock = &m_clock;
        m_environment.pWatchers = &m_watchers;
        m_environment.pEventLog = &m_eventLog;
        m_environment.pServiceHost = &m_serviceHost;
        return m_environment;
    }

    // Installing the service goes to the machine's service control manager on Windows, which the
    // installer never touches from a test: those cases run where the manager is a folder of units, and
    // the whole-system tests under Wine install the real service.
    bool CanInstallService() const {
#ifdef _WIN32
        return false;
#else
        return true;
#endif
    }

    void Register(const std::string& strCommandLine) {
        ASSERT_EQ(CAgentService(Environment(), Options(m_temp)).Main(strCommandLine), 0);
        std::vector<std::string> messages = m_eventLog.GetMessages();
        ASSERT_TRUE(messages.empty()) << messages.front();
    }

    void Start() {
        m_run = std::thread([this] { m_nExitCode = m_service.Main("KlendoHotFolderAgent"); });
    }

    bool WaitForLogLine(const std::string& strText) {
        for (int i = 0; i < 3000; ++i) {
            if (ReadWholeFile(LogPath()).find(strText) != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    std::string LogPath() const {
        return m_temp / "KlendoHotFolderAgent.log";
    }

    CTempFolder m_temp;
    CFakeClock m_clock;
    CFakeChangeWatchers m_watchers;
    CFakeEventLog m_eventLog;
    CFakeServiceHost m_serviceHost;
    // Fakes only: the run neither waits on real time nor watches real folders.
    Platform::CEnvironment m_environment;
    CAgentService m_service{Environment(), Options(m_temp)};
    std::thread m_run;
    int m_nExitCode = -1;
};

TEST_F(AgentRunTest, StopRequestedBeforeRunWaitsIsNotLost) {
    m_service.RequestStop();
    Start();
    m_run.join();
    EXPECT_EQ(m_nExitCode, 0);
    EXPECT_EQ(m_service.GetCurrentState(), Platform::ServiceState::Stopped);
    EXPECT_EQ(m_service.GetModuleDirectory(), m_temp.Path());
    EXPECT_EQ(g_pLogFile.load(), nullptr);
    EXPECT_EQ(m_eventLog.GetPrintedLines(), (std::vector<std::string>{"Service started", "Service stopped"}));
    EXPECT_TRUE(m_eventLog.GetEvents().empty());
    EXPECT_TRUE(m_serviceHost.GetStates().empty()) << "a plain process reports no status";
    std::vector<std::string> lines = SplitLines(ReadWholeFile(LogPath()));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_NE(ReadWholeFile(LogPath()).find("--I : monitor status = 1"), std::string::npos);
    EXPECT_NE(lines.back().find(kClosingLine), std::string::npos);
}

// A request thread that outlives the stop's wait must not write into a closed or freed log.
TEST_F(AgentRunTest, RequestStillRunningAtStopIsReportedAndCannotWriteAfterClose) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::promise<void> entered;
    CAgentServiceOptions options = Options(m_temp);
    // The stop gives up on the request at once: the fake clock never lets a wait pass.
    options.requestWait = std::chrono::milliseconds(0);
    CAgentService service(Environment(), options);
    CIOThreadPool& pool = service.GetServiceManager().GetThreadPool();
    pool.SetRequestProcessor([&, released](std::unique_ptr<CFileRequest>) {
        entered.set_value();
        released.wait();
        LogTrace("late line of a request thread");
    });
    m_run = std::thread([&] { m_nExitCode = service.Main("KlendoHotFolderAgent"); });
    ASSERT_TRUE(WaitForLogLine("--I : monitor status = 1"));
    auto pRequest = new CFileRequest();
    pRequest->filename = "job.prn";
    pRequest->action = 1;
    ASSERT_EQ(pool.DispatchNewRequest(pRequest), 1);
    entered.get_future().wait();
    service.RequestStop();
    m_run.join();
    release.set_value();
    EXPECT_TRUE(pool.WaitForRequestThreads(std::chrono::seconds(30)));

    std::string strLog = ReadWholeFile(LogPath());
    EXPECT_NE(strLog.find("--F: 1 request threads still running at stop"), std::string::npos);
    EXPECT_EQ(strLog.find("late line"), std::string::npos);
    EXPECT_NE(SplitLines(strLog).back().find(kClosingLine), std::string::npos);
}

// Under the service manager every state is reported, the events go to the system's event log, and
// the log names the stop the manager sent.
TEST_F(AgentRunTest, UnderServiceManagerEachStateIsReportedAndTheStopLogged) {
    if (!CanInstallService())
        GTEST_SKIP() << "installing the service needs the machine's service control manager "
                        "(e2e_windows_WineServiceTest installs it in Wine's)";
    Register("KlendoHotFolderAgent -Service");
    m_serviceHost.SetStartedByServiceManager(true);
    m_serviceHost.Stop(Platform::StopReason::ServiceManager, 15);
    Start();
    m_run.join();
    EXPECT_EQ(m_nExitCode, 0);
    using Platform::ServiceState;
    EXPECT_EQ(m_serviceHost.GetStates(),
              (std::vector<ServiceState>{ServiceState::StartPending, ServiceState::Running,
                                         ServiceState::StopPending, ServiceState::Stopped}));
    EXPECT_EQ(m_eventLog.GetEvents(), (std::vector<std::string>{"KlendoHotFolderAgent: Service started",
                                                                "KlendoHotFolderAgent: Service stopped"}));
    EXPECT_TRUE(m_eventLog.GetPrintedLines().empty());
    EXPECT_NE(ReadWholeFile(LogPath()).find("--I: stop signal 15 received"), std::string::npos);
}

// Registered as a service but started by hand: a plain process, whatever the registration says.
TEST_F(AgentRunTest, ServiceRegistrationStartedByHandRunsAsPlainProcess) {
    if (!CanInstallService())
        GTEST_SKIP() << "installing the service needs the machine's service control manager "
                        "(e2e_windows_WineServiceTest installs it in Wine's)";
    Register("KlendoHotFolderAgent -Service");
    m_serviceHost.Stop(Platform::StopReason::Console, 2);
    Start();
    m_run.join();
    EXPECT_FALSE(m_service.IsRunAsService());
    EXPECT_TRUE(m_serviceHost.GetStates().empty());
    EXPECT_EQ(m_eventLog.GetPrintedLines(), (std::vector<std::string>{"Service started", "Service stopped"}));
    EXPECT_NE(ReadWholeFile(LogPath()).find("--I: stop signal 2 received"), std::string::npos);
}

// A control the agent does not take is told as an event and leaves the run as it was.
TEST_F(AgentRunTest, UnknownControlIsReportedAndTheRunGoesOn) {
    Start();
    ASSERT_TRUE(WaitForLogLine("--I : monitor status = "));
    m_serviceHost.SendUnknownControl(200);
    EXPECT_EQ(ReadWholeFile(LogPath()).find(kClosingLine), std::string::npos);
    m_serviceHost.Stop(Platform::StopReason::Console, 2);
    m_run.join();
    EXPECT_EQ(m_nExitCode, 0);
    EXPECT_EQ(m_eventLog.GetPrintedLines(),
              (std::vector<std::string>{"Service started", "Bad service request", "Service stopped"}));
}

// A second agent of one install ends before it opens the log. Registered as a service, whose standard
// error nobody reads, it says why in the event log too.
TEST_F(AgentRunTest, SecondAgentOfOneInstallEndsAndSaysWhyWhereItIsRead) {
    Platform::CInstanceLock first;
    ASSERT_EQ(first.Take(m_temp.Path()), Platform::CInstanceLock::Result::Taken);
    const std::string strText =
        "Another KlendoHotFolderAgent is already running from " + m_temp.Path() + "; this one ends.";
    EXPECT_NE(m_service.Main("KlendoHotFolderAgent"), 0);
    EXPECT_EQ(m_eventLog.GetMessages(), std::vector<std::string>{strText});
    EXPECT_TRUE(m_eventLog.GetEvents().empty()) << "a plain process has its console";
    EXPECT_FALSE(FileExists(LogPath()));
    if (!CanInstallService())
        return;
    m_eventLog.Clear();
    Register("KlendoHotFolderAgent -Service");
    CAgentService second(Environment(), Options(m_temp));
    EXPECT_NE(second.Main("KlendoHotFolderAgent"), 0);
    EXPECT_EQ(m_eventLog.GetEvents(), std::vector<std::string>{"KlendoHotFolderAgent: " + strText});
    EXPECT_FALSE(FileExists(LogPath()));
}

TEST_F(AgentRunTest, StopControlThatCannotBeHadEndsWithItsErrorBeforeTheLog) {
    m_serviceHost.FailOpen(38);
    Start();
    m_run.join();
    EXPECT_EQ(m_nExitCode, 38);
    EXPECT_EQ(m_eventLog.GetPrintedLines(), std::vector<std::string>{"Handler not installed"});
    EXPECT_FALSE(FileExists(LogPath()));
}

} // namespace
