#include "Include/LogFile.h"
#include "config/AgentSettings.h"
#include "platform/RegistryStore.h"
#include "service/AgentService.h"
#include "support/TempFolder.h"

#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
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
        m_service.SetModulePathForTest(m_temp / "KlendoHotFolderAgent");
        m_service.SetRegistryPathForTest(m_temp / "registry");
        m_service.SetUnitFolderForTest(m_temp / "units");
        m_service.SetEventSinkForTest([this](const std::string& strText) {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_events.push_back(strText);
        });
        WriteWholeFile(m_temp / "KlendoHotFolderAgent.ini",
                       "[configuration]\nserveraddress=accounting.example\nserverport=8123\n");
        CAgentSettings::OverrideSettingsPathForTest(m_temp / "KlendoHotFolderAgent.ini");
        ASSERT_EQ(m_service.Main("KlendoHotFolderAgent -RegServer"), 0);
    }

    void TearDown() override {
        if (m_run.joinable()) {
            m_service.RequestStop();
            m_run.join();
        }
        CAgentSettings::OverrideSettingsPathForTest("");
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

    std::string LogPath() const { return m_temp / "KlendoHotFolderAgent.log"; }

    CTempFolder m_temp;
    CAgentService m_service;
    std::thread m_run;
    int m_nExitCode = -1;
    std::mutex m_mutex;
    std::vector<std::string> m_events;
};

TEST_F(AgentRunTest, StopRequestedBeforeRunWaitsIsNotLost) {
    m_service.RequestStop();
    Start();
    m_run.join();
    EXPECT_EQ(m_nExitCode, 0);
    EXPECT_EQ(m_service.GetCurrentState(), CAgentService::Stopped);
    EXPECT_EQ(m_service.GetModuleDirectory(), m_temp.Path());
    EXPECT_EQ(g_pLogFile.load(), nullptr);
    EXPECT_EQ(m_events, (std::vector<std::string>{"Service started", "Service stopped"}));
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
    CIOThreadPool& pool = m_service.GetServiceManager().GetThreadPool();
    pool.SetRequestProcessor([&, released](std::unique_ptr<CFileRequest>) {
        entered.set_value();
        released.wait();
        LogTrace("late line of a request thread");
    });
    m_service.SetRequestWaitForTest(std::chrono::milliseconds(50));
    Start();
    ASSERT_TRUE(WaitForLogLine("--I : monitor status = 1"));
    auto pRequest = new CFileRequest();
    pRequest->filename = "job.prn";
    pRequest->action = 1;
    ASSERT_EQ(pool.DispatchNewRequest(pRequest), 1);
    entered.get_future().wait();
    m_service.RequestStop();
    m_run.join();
    release.set_value();
    EXPECT_TRUE(pool.WaitForRequestThreads(std::chrono::seconds(30)));

    std::string strLog = ReadWholeFile(LogPath());
    EXPECT_NE(strLog.find("--F: 1 request threads still running at stop"), std::string::npos);
    EXPECT_EQ(strLog.find("late line"), std::string::npos);
    EXPECT_NE(SplitLines(strLog).back().find(kClosingLine), std::string::npos);
}

} // namespace
