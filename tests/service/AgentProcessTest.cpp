#include "AgentProcess.h"
#include "Include/LogFile.h"
#include "support/TempFolder.h"

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <thread>

namespace {

using namespace std::chrono_literals;

const char* const kClosingLine = "CLogFile::Close - INFORMATION- Closing the LOG file ..";

// The built executable copied into a temporary install folder beside its settings file; the
// registry store and the unit folder are temporary too, so nothing of the machine is touched.
class AgentProcessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::copy_file(KLENDO_AGENT_PATH, ExecutablePath());
        std::filesystem::create_directory(m_temp / "units");
        WriteWholeFile(m_temp / "KlendoHotFolderAgent.ini",
                       "[configuration]\r\nhotfoldercount=1\r\nserveraddress=10.1.2.3\r\nserverport=8088\r\n"
                       "[hotfolder_1]\r\nsource=" +
                           (m_temp / "hot") + "\r\ndestination=" + (m_temp / "out") +
                           "\r\ndevicename=Printer 7\r\n");
        std::filesystem::create_directory(m_temp / "hot");
    }

    std::string ExecutablePath() const { return m_temp / "KlendoHotFolderAgent"; }
    std::string LogPath() const { return m_temp / "KlendoHotFolderAgent.log"; }

    std::vector<std::string> Environment(const std::string& strNotifySocket = std::string()) const {
        std::vector<std::string> environment{"KLENDO_REGISTRY=" + (m_temp / "registry"),
                                             "KLENDO_SYSTEMD_DIR=" + (m_temp / "units")};
        if (!strNotifySocket.empty())
            environment.push_back("NOTIFY_SOCKET=" + strNotifySocket);
        return environment;
    }

    int RunToEnd(const std::string& strSwitch) {
        CAgentProcess process;
        if (!process.Start(ExecutablePath(), {strSwitch}, Environment()))
            return -1;
        return process.WaitForExit(60s);
    }

    std::vector<std::string> LogLines() const {
        std::vector<std::string> lines;
        std::string strText = ReadWholeFile(LogPath());
        size_t nStart = 0;
        for (size_t nEnd = strText.find('\n'); nEnd != std::string::npos; nEnd = strText.find('\n', nStart)) {
            lines.push_back(strText.substr(nStart, nEnd - nStart));
            nStart = nEnd + 1;
        }
        return lines;
    }

    void ExpectWholeRunLogged() const {
        std::vector<std::string> lines = LogLines();
        ASSERT_GE(lines.size(), 6u);
        EXPECT_NE(lines.front().find(" Application Started................................................."),
                  std::string::npos);
        EXPECT_NE(lines[1].find(" numberof folders =1"), std::string::npos);
        EXPECT_NE(lines[2].find(" srveraddress=10.1.2.3"), std::string::npos);
        EXPECT_NE(lines[3].find(" serverport=8088"), std::string::npos);
        EXPECT_NE(lines[4].find(" folder s=" + (m_temp / "hot") + " d=" + (m_temp / "out") + " dv=Printer 7"),
                  std::string::npos);
        EXPECT_NE(lines.back().find(kClosingLine), std::string::npos);
    }

    bool WaitForLogText(const std::string& strText) const {
        for (auto deadline = std::chrono::steady_clock::now() + 60s;
             std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(10ms))
            if (ReadWholeFile(LogPath()).find(strText) != std::string::npos)
                return true;
        return false;
    }

    std::set<std::string> FolderEntries() const {
        std::set<std::string> entries;
        for (const auto& entry : std::filesystem::directory_iterator(m_temp.Path()))
            entries.insert(entry.path().filename().string());
        return entries;
    }

    CTempFolder m_temp;
};

TEST_F(AgentProcessTest, UnregisteredStartExitsNonZeroAndWritesNoLog) {
    CAgentProcess process;
    ASSERT_TRUE(process.Start(ExecutablePath(), {}, Environment()));
    EXPECT_EQ(process.WaitForExit(60s), 2);
    EXPECT_FALSE(FileExists(LogPath()));
    EXPECT_EQ(process.Output().find("Service started"), std::string::npos);
}

TEST_F(AgentProcessTest, RegisteredPlainProcessRunsUntilSigtermAndClosesLog) {
    ASSERT_EQ(RunToEnd("-RegServer"), 0);
    EXPECT_FALSE(FileExists(LogPath()));
    CAgentProcess process;
    ASSERT_TRUE(process.Start(ExecutablePath(), {}, Environment()));
    ASSERT_TRUE(process.WaitForLine("Service started", 60s)) << process.Output();
    ASSERT_TRUE(process.SendSignal(SIGTERM));
    EXPECT_EQ(process.WaitForExit(60s), 0);
    EXPECT_EQ(process.Output(), "Service started\nService stopped\n");
    ExpectWholeRunLogged();
}

TEST_F(AgentProcessTest, ServiceRegistrationStartedFromShellIsPlainProcessStoppedBySigint) {
    ASSERT_EQ(RunToEnd("/SERVICE"), 0);
    EXPECT_NE(
        ReadWholeFile(m_temp / "units/KlendoHotFolderAgent.service").find("ExecStart=" + ExecutablePath()),
        std::string::npos);
    CAgentProcess process;
    ASSERT_TRUE(process.Start(ExecutablePath(), {}, Environment()));
    ASSERT_TRUE(process.WaitForLine("Service started", 60s)) << process.Output();
    ASSERT_TRUE(process.SendSignal(SIGINT));
    EXPECT_EQ(process.WaitForExit(60s), 0);
    ExpectWholeRunLogged();
}

TEST_F(AgentProcessTest, ServiceStartedBySystemdReportsReadyAndStopping) {
    ASSERT_EQ(RunToEnd("-Service"), 0);
    CNotifySocket notify(m_temp / "notify");
    ASSERT_TRUE(notify.IsOpen());
    CAgentProcess process;
    ASSERT_TRUE(process.Start(ExecutablePath(), {}, Environment(m_temp / "notify")));
    EXPECT_EQ(notify.ReceiveState(60s), "READY=1");
    ASSERT_TRUE(process.SendSignal(SIGTERM));
    EXPECT_EQ(notify.ReceiveState(60s), "STOPPING=1");
    EXPECT_EQ(process.WaitForExit(60s), 0);
    // Under systemd the event texts go to the system log, not to standard output.
    EXPECT_EQ(process.Output().find("Service started"), std::string::npos);
    ExpectWholeRunLogged();
}

TEST_F(AgentProcessTest, SecondAgentOfOneInstallEndsAtOnceAndTouchesNothing) {
    ASSERT_EQ(RunToEnd("-RegServer"), 0);
    CAgentProcess first;
    ASSERT_TRUE(first.Start(ExecutablePath(), {}, Environment()));
    ASSERT_TRUE(first.WaitForLine("Service started", 60s)) << first.Output();
    ASSERT_TRUE(WaitForLogText(" numberof folders ="));
    std::set<std::string> entries = FolderEntries();

    CAgentProcess second;
    ASSERT_TRUE(second.Start(ExecutablePath(), {}, Environment()));
    EXPECT_EQ(second.WaitForExit(60s), EWOULDBLOCK);
    EXPECT_EQ(second.Output(),
              "Another KlendoHotFolderAgent is already running from " + m_temp.Path() + "; this one ends.\n");
    EXPECT_EQ(FolderEntries(), entries) << "no archive, no other file";
    std::string strLog = ReadWholeFile(LogPath());
    EXPECT_EQ(Occurrences(strLog, " Application Started"), 1u) << "the second opened no log";
    EXPECT_EQ(Occurrences(strLog, " numberof folders ="), 1u);

    EXPECT_EQ(RunToEnd("-RegServer"), 0) << "registration works while an agent runs";
    // The lock goes with its process, however that ends.
    ASSERT_TRUE(first.SendSignal(SIGKILL));
    EXPECT_EQ(first.WaitForExit(60s), 128 + SIGKILL);
    CAgentProcess third;
    ASSERT_TRUE(third.Start(ExecutablePath(), {}, Environment()));
    ASSERT_TRUE(third.WaitForLine("Service started", 60s)) << third.Output();
    ASSERT_TRUE(third.SendSignal(SIGTERM));
    EXPECT_EQ(third.WaitForExit(60s), 0);
    EXPECT_EQ(Occurrences(ReadWholeFile(LogPath()), " Application Started"), 2u);
}

} // namespace
