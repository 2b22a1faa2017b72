#include "PipelineFixture.h"

#include "platform/Accounts.h"
#include "printparser/ParserChild.h"
#include "request/DocumentProperties.h"
#include "request/FileOwner.h"
#include "request/ParserWorkers.h"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <thread>
#include <unistd.h>
#include <utmp.h>

namespace fs = std::filesystem;

namespace {

// A stand-in for KlendoPrintInfo: a script that answers the agent's worker protocol its own way.
std::string WriteParser(const CTempFolder& folder, const std::string& strBody) {
    std::string strPath = folder / "fake-parser";
    WriteWholeFile(strPath, "#!/bin/sh\n" + strBody);
    fs::permissions(strPath, fs::perms::owner_all);
    return strPath;
}

void UseParser(CRequestProcessing& processing, const std::string& strPath,
               std::chrono::milliseconds limit = std::chrono::seconds(300)) {
    CRequestEnvironment environment = processing.GetEnvironment();
    environment.strParserPath = strPath;
    environment.parseLimit = limit;
    processing.SetEnvironment(environment);
}

// Login records holding one live session of strUser (or none when empty).
void WriteSessions(const std::string& strPath, const std::string& strUser) {
    std::string strRecords;
    if (!strUser.empty()) {
        struct utmp record;
        std::memset(&record, 0, sizeof(record));
        record.ut_type = USER_PROCESS;
        record.ut_pid = ::getpid();
        std::strncpy(record.ut_user, strUser.c_str(), sizeof(record.ut_user));
        strRecords.assign(reinterpret_cast<const char*>(&record), sizeof(record));
    }
    WriteWholeFile(strPath, strRecords);
}

class TicketTest : public PipelineTest {
  protected:
    void SetUp() override {
        PipelineTest::SetUp();
        StartServer();
        ResetLastUserForTest();
        WriteSessions(m_strSessions, "alice");
        Platform::SetSessionRecordsForTest(m_strSessions);
    }
    void TearDown() override {
        Platform::SetSessionRecordsForTest("");
        PipelineTest::TearDown();
    }

    const CActivity& Run(const std::string& strName, const std::string& strTicket) {
        Drop(strName, strTicket);
        m_pHandler = std::make_unique<CFileRequestHandler>(Request(strName, "uls"), m_processing);
        m_pHandler->HandleRequest();
        return m_pHandler->GetActivity();
    }

    std::string m_strSessions = m_folder / "utmp";
    std::unique_ptr<CFileRequestHandler> m_pHandler;
};

} // namespace

TEST_F(TicketTest, TicketBecomesATimeActivityAndStaysInTheHotFolder) {
    fs::create_directories(m_strHot + "/jobs2");
    fs::create_directories(m_strDestination + "/jobs2");
    const CActivity& activity =
        Run("jobs2/A17.dat",
            "[PRINTJOB]\nJobName=Banner\nCopies=3\nFieldHeight=20.5\nFieldWidth=12.5mm\nTimer=60000\n");
    EXPECT_EQ(activity.m_strType, "Time");
    EXPECT_EQ(activity.m_document.m_strName, "Banner");
    EXPECT_EQ(activity.m_document.m_nPages, 60);
    EXPECT_EQ(activity.m_document.m_nCopies, 1) << "the ticket's copies are only logged";
    EXPECT_FLOAT_EQ(activity.m_document.m_fWidth, 12.5f);
    EXPECT_FLOAT_EQ(activity.m_document.m_fLength, 20.5f);
    EXPECT_EQ(activity.m_document.m_strUserName, "alice");
    EXPECT_EQ(activity.m_strJobId, [&] {
        std::string strDigits;
        for (char c : m_strHot + "/jobs2/A17.dat")
            if (c >= '0' && c <= '9')
                strDigits += c;
        return strDigits;
    }());
    EXPECT_EQ(activity.m_document.m_strMachineName, Platform::GetComputerName(15));
    EXPECT_LE(activity.m_document.m_strMachineName.size(), 15u);
    EXPECT_TRUE(Exists(m_strHot + "/jobs2/A17.dat")) << "the ticket stays";
    EXPECT_FALSE(Exists(m_strDestination + "/jobs2/A17.dat")) << "its copy goes";
    EXPECT_EQ(StoredCount(), 1);
    EXPECT_NE(m_log.Content().find("--I: doc properties s=Banner L=12.500000 W=20.500000 pages=3, qty=60000"),
              std::string::npos);
}

TEST_F(TicketTest, TimerConversions) {
    EXPECT_EQ(Run("a.dat", "[PRINTJOB]\nTimer=1999\n").m_document.m_nPages, 1);
    EXPECT_EQ(Run("b.dat", "[PRINTJOB]\nTimer=999\n").m_document.m_nPages, 0);
    EXPECT_EQ(Run("c.dat", "[PRINTJOB]\nTimer=-1500\n").m_document.m_nPages, -1);
    EXPECT_EQ(Run("d.dat", "[PRINTJOB]\nTimer=99999999999999\n").m_document.m_nPages, 2147483)
        << "clamped, no overflow";
    EXPECT_EQ(StoredCount(), 4);
}

TEST_F(TicketTest, TicketWithoutTimerPostsNothing) {
    Run("zero.dat", "[PRINTJOB]\nTimer=0\n");
    Run("word.dat", "[PRINTJOB]\nTimer=abc\n");
    Run("none.dat", "[PRINTJOB]\nJobName=x\n");
    Run("nosection.dat", "Timer=5000\n");
    EXPECT_EQ(StoredCount(), 0);
    EXPECT_EQ(Archive(), "");
    for (const char* szName : {"zero.dat", "word.dat", "none.dat", "nosection.dat"}) {
        EXPECT_TRUE(Exists(m_strHot + "/" + szName));
        EXPECT_FALSE(Exists(m_strDestination + "/" + szName));
    }
    EXPECT_NE(m_log.Content().find("--E:status parsedoc failed ("), std::string::npos);
}

TEST_F(TicketTest, LoggedOnUserResultCodes) {
    std::string strUser;
    EXPECT_EQ(GetExplorerUserName(strUser), 1) << "first user seen";
    EXPECT_EQ(strUser, "alice");
    EXPECT_EQ(GetExplorerUserName(strUser), 0) << "same user";
    WriteSessions(m_strSessions, "bob");
    EXPECT_EQ(GetExplorerUserName(strUser), 3) << "another user";
    WriteSessions(m_strSessions, "");
    EXPECT_EQ(GetExplorerUserName(strUser), 0) << "nobody now, but one was seen";
    EXPECT_EQ(strUser, "");
    ResetLastUserForTest();
    EXPECT_EQ(GetExplorerUserName(strUser), -1);
    const CActivity& activity = Run("nobody.dat", "[PRINTJOB]\nTimer=5000\n");
    EXPECT_EQ(activity.m_document.m_strUserName, "Administrator")
        << "nobody logged on, whoever owns the ticket";
    EXPECT_NE(m_log.Content().find("Failed to Process UserName"), std::string::npos);
}

TEST_F(PipelineTest, HalfSizeHalvesWhatTheParserReports) {
    StartServer();
    UseParser(m_processing,
              WriteParser(m_folder,
                          "while read -r path; do\n"
                          "  echo 'pages=3 pages2=5 width=8.500000 length=11.000000 format=1'; echo end\n"
                          "done\n"));
    Drop("half.pdf");
    CFileRequest* pRequest = Request("half.pdf");
    pRequest->halfsize = 1;
    CFileRequestHandler handler(pRequest, m_processing);
    handler.HandleRequest();
    EXPECT_FLOAT_EQ(handler.GetActivity().m_document.m_fWidth, 4.25f);
    EXPECT_FLOAT_EQ(handler.GetActivity().m_document.m_fLength, 5.5f);
    EXPECT_EQ(handler.GetActivity().m_document.m_nPages, 5) << "the larger of the two counts";
    EXPECT_NE(m_log.Content().find("--I: before half size L=8.500000 W=11.000000"), std::string::npos);
}

TEST_F(PipelineTest, HungParseIsAbandonedRenamedAndStillPosted) {
    StartServer();
    UseParser(m_processing,
              WriteParser(m_folder,
                          "read -r path\necho 'pages=2 pages2=0 width=8.270000 length=11.690000 format=1'\n"
                          "exec sleep 60\n"),
              std::chrono::milliseconds(300));
    Drop("ppr0042.tmp");
    CFileRequestHandler handler(Request("ppr0042.tmp"), m_processing);
    handler.HandleRequest();
    EXPECT_TRUE(Exists(m_strHot + "/FATAL-0042.klendo"));
    EXPECT_FALSE(Exists(m_strHot + "/ppr0042.tmp"));
    EXPECT_EQ(handler.GetActivity().m_document.m_nPages, 2) << "the values read before the limit";
    EXPECT_EQ(StoredCount(), 1);
    // The rename is seen as a new name in the hot folder: that request must not bill the job again.
    CFileRequestHandler(Request("FATAL-0042.klendo"), m_processing).HandleRequest();
    EXPECT_TRUE(Exists(m_strHot + "/FATAL-0042.klendo"));
    EXPECT_EQ(StoredCount(), 1);
    EXPECT_EQ(AbandonedParseName("/var/ppr.tmp/ppr0042.tmp.tmp"),
              "/var/FATAL-.klendo/FATAL-0042.klendo.klendo");
}

TEST_F(PipelineTest, CrashingOrMissingParserGivesZerosAndTheJobGoesOn) {
    StartServer();
    UseParser(m_processing,
              WriteParser(m_folder, "read -r path\necho 'pages=9 pages2=0 width=1e999 length=-4 format=1'\n"
                                    "echo garbage\nkill -SEGV $$\n"));
    Drop("crash.pcl");
    CFileRequestHandler crashed(Request("crash.pcl"), m_processing);
    crashed.HandleRequest();
    EXPECT_EQ(crashed.GetActivity().m_document.m_nPages, 0) << "a hostile progress line is not believed";
    UseParser(m_processing, m_folder / "no-such-parser");
    Drop("missing.pcl");
    CFileRequestHandler missing(Request("missing.pcl"), m_processing);
    missing.HandleRequest();
    EXPECT_EQ(missing.GetActivity().m_document.m_nPages, 0);
    EXPECT_EQ(StoredCount(), 2);
    EXPECT_NE(m_log.Content().find("--F: failed to start the print file parser"), std::string::npos);
}

TEST_F(PipelineTest, WorkerThatDiesWithoutAResultIsRetriedOnceInAFreshWorker) {
    StartServer();
    // The first worker dies as a crash or a stray kill would end it; its successor answers.
    std::string strMarker = m_folder / "first-worker-died";
    UseParser(
        m_processing,
        WriteParser(m_folder, "while read -r path; do\n"
                              "  if [ ! -e '" +
                                  strMarker +
                                  "' ]; then\n"
                                  "    : > '" +
                                  strMarker +
                                  "'\n"
                                  "    echo 'pages=9 pages2=0 width=1 length=1 format=1'; kill -KILL $$\n"
                                  "  fi\n"
                                  "  echo 'pages=4 pages2=0 width=8.5 length=11 format=1'; echo end\n"
                                  "done\n"));
    Drop("retried.pdf");
    CFileRequestHandler handler(Request("retried.pdf"), m_processing);
    handler.HandleRequest();
    EXPECT_EQ(handler.GetActivity().m_document.m_nPages, 4);
    EXPECT_FLOAT_EQ(handler.GetActivity().m_document.m_fWidth, 8.5f);
    std::string strLog = m_log.Content();
    EXPECT_NE(strLog.find("--F: print file parser ended without a result p=" + m_strHot +
                          "/retried.pdf, trying a new worker"),
              std::string::npos);
    EXPECT_EQ(strLog.find("without a result again"), std::string::npos);
    EXPECT_EQ(StoredCount(), 1);
}

TEST_F(PipelineTest, WorkerThatAlwaysDiesGivesZerosAfterOneRetry) {
    StartServer();
    std::string strStarts = m_folder / "worker-starts";
    // Each worker reports a value, then dies before its answer is complete: the value is not believed.
    UseParser(
        m_processing,
        WriteParser(m_folder, "echo $$ >> '" + strStarts +
                                  "'\nread -r path\n"
                                  "echo 'pages=9 pages2=0 width=8.5 length=11 format=1'\nkill -KILL $$\n"));
    Drop("doomed.pdf");
    CFileRequestHandler handler(Request("doomed.pdf"), m_processing);
    handler.HandleRequest();
    EXPECT_EQ(handler.GetActivity().m_document.m_nPages, 0);
    EXPECT_EQ(handler.GetActivity().m_document.m_fWidth, 0.0f);
    std::string strPath = m_strHot + "/doomed.pdf";
    std::string strLog = m_log.Content();
    EXPECT_NE(
        strLog.find("--F: print file parser ended without a result p=" + strPath + ", trying a new worker"),
        std::string::npos);
    EXPECT_NE(strLog.find("--F: print file parser ended without a result again p=" + strPath +
                          ", the job goes on with zeros"),
              std::string::npos);
    EXPECT_EQ(Occurrences(ReadWholeFile(strStarts), "\n"), 2u) << "one retry, no more";
    EXPECT_EQ(StoredCount(), 1) << "the job goes on";
}

TEST_F(PipelineTest, BurstOfFilesReusesABoundedNumberOfWorkers) {
    StartServer();
    // Each worker notes its start, then answers file after file slowly enough that the files overlap.
    std::string strStarts = m_folder / "worker-starts";
    UseParser(m_processing,
              WriteParser(m_folder,
                          "echo $$ >> '" + strStarts +
                              "'\n"
                              "while read -r path; do\n"
                              "  sleep 0.05; echo 'pages=1 pages2=0 width=8.5 length=11 format=2'; echo end\n"
                              "done\n"));
    const size_t nFiles = 3 * CParserWorkers::GetMaxWorkers();
    std::vector<std::thread> requests;
    for (size_t i = 0; i < nFiles; ++i) {
        std::string strName = "burst" + std::to_string(i) + ".ps";
        Drop(strName);
        requests.emplace_back(
            [this, strName] { CFileRequestHandler(Request(strName), m_processing).HandleRequest(); });
    }
    for (std::thread& request : requests)
        request.join();
    EXPECT_EQ(StoredCount(), static_cast<long>(nFiles));
    size_t nStarts = Occurrences(ReadWholeFile(strStarts), "\n");
    EXPECT_GE(nStarts, 1u);
    EXPECT_LE(nStarts, CParserWorkers::GetMaxWorkers())
        << "files wait for a worker instead of starting one each";
}

TEST_F(PipelineTest, RealParserWorkersCountPagesFileAfterFile) {
    StartServer();
    // Odd names travel to the worker as one escaped line each; the same worker serves file after file.
    const std::string strNames[] = {"three.ps", "new\nline 100%0A.ps", "three again.ps"};
    for (const std::string& strName : strNames) {
        Drop(strName, "%!PS-Adobe-3.0\n%%Pages: 3\n%%PageBoundingBox: 0 0 595 842\n%%Page: 1 1\nshowpage\n"
                      "%%Page: 2 2\nshowpage\n%%Page: 3 3\nshowpage\n%%EOF\n");
        CFileRequestHandler handler(Request(strName), m_processing);
        handler.HandleRequest();
        EXPECT_EQ(handler.GetActivity().m_document.m_nPages, 3) << strName;
        EXPECT_NEAR(handler.GetActivity().m_document.m_fWidth, 8.26, 0.05);
        EXPECT_NEAR(handler.GetActivity().m_document.m_fLength, 11.69, 0.05);
    }
    EXPECT_EQ(UnescapePathLine(EscapePathLine("a%0A\n\r%")), "a%0A\n\r%");
    EXPECT_EQ(EscapePathLine("x\ny").find('\n'), std::string::npos);
}

TEST(ParserWorkers, WorkersStartedBeyondTheMaximumAreNotKeptIdle) {
    CTempFolder folder;
    // Every worker answers each line with its own process id.
    std::string strParser = WriteParser(folder, "while read -r line; do echo $$; done\n");
    CParserWorkers workers;
    const size_t nMax = CParserWorkers::GetMaxWorkers();
    // A deadline already passed lets Take start a worker beyond the maximum instead of waiting.
    auto passed = std::chrono::steady_clock::now() - std::chrono::seconds(1);
    auto takeAndGiveBack = [&] {
        std::vector<std::unique_ptr<CParserWorkers::CWorker>> taken;
        std::set<std::string> ids;
        for (size_t i = 0; i < nMax + 2; ++i) {
            taken.push_back(workers.Take(strParser, passed));
            std::string strId;
            EXPECT_TRUE(taken.back() && taken.back()->process.WriteLine("id") &&
                        taken.back()->process.ReadLine(strId, std::chrono::steady_clock::now() +
                                                                  std::chrono::seconds(60)) ==
                            Platform::CChildProcess::ReadResult::Line);
            ids.insert(strId);
        }
        for (auto& pWorker : taken)
            workers.GiveBack(std::move(pWorker), true);
        return ids;
    };
    std::set<std::string> first = takeAndGiveBack();
    std::set<std::string> second = takeAndGiveBack();
    ASSERT_EQ(first.size(), nMax + 2);
    size_t nReused = 0;
    for (const std::string& strId : second)
        nReused += first.count(strId);
    EXPECT_EQ(nReused, nMax) << "only the maximum stayed idle; the others were ended";
}

// A worker lives for many files: a descriptor it inherited, such as a file a request was still
// writing when the worker started, would stay open and keep that file busy all that time.
TEST(ParserWorkers, WorkerInheritsNoDescriptorOpenWithoutCloseOnExec) {
    CTempFolder folder;
    std::string strOpen = folder / "open-in-the-agent";
    int nHandle = ::open(strOpen.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(nHandle, 0);
    std::string strParser =
        WriteParser(folder, "read -r line\n"
                            "if ls -l /proc/$$/fd | grep -q open-in-the-agent; then echo inherited;"
                            " else echo clean; fi\n");
    CParserWorkers workers;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::unique_ptr<CParserWorkers::CWorker> pWorker = workers.Take(strParser, deadline);
    ::close(nHandle);
    ASSERT_TRUE(pWorker);
    std::string strAnswer;
    ASSERT_TRUE(pWorker->process.WriteLine("x"));
    ASSERT_EQ(pWorker->process.ReadLine(strAnswer, deadline), Platform::CChildProcess::ReadResult::Line);
    EXPECT_EQ(strAnswer, "clean");
    workers.GiveBack(std::move(pWorker), false);
}

// The agent ignores SIGXFSZ so that its own writes fail as errors; a worker must not inherit that,
// or a runaway parse would write on instead of dying of its limit.
TEST(ParserWorkers, WorkerDiesOfItsOwnLimitsWhateverTheAgentIgnores) {
    CTempFolder folder;
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous = {};
    ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &previous), 0);
    std::string strParser = WriteParser(folder, "read -r line\nulimit -f 1\nhead -c 100000 /dev/zero > '" +
                                                    (folder / "big") + "'\necho $?\n");
    CParserWorkers workers;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::unique_ptr<CParserWorkers::CWorker> pWorker = workers.Take(strParser, deadline);
    ::sigaction(SIGXFSZ, &previous, nullptr);
    ASSERT_TRUE(pWorker);
    std::string strExitCode;
    ASSERT_TRUE(pWorker->process.WriteLine("x"));
    ASSERT_EQ(pWorker->process.ReadLine(strExitCode, deadline), Platform::CChildProcess::ReadResult::Line);
    EXPECT_EQ(strExitCode, std::to_string(128 + SIGXFSZ)) << "the writer ended by the signal";
    workers.GiveBack(std::move(pWorker), false);
}
