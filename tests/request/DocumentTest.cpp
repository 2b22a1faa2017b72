#include "PipelineFixture.h"

#include "platform/Accounts.h"
#include "printparser/ParserChild.h"
#include "request/DocumentProperties.h"
#include "request/FileOwner.h"
#include "request/ParserWorkers.h"
#include "support/FakeProcessLauncher.h"
#include "support/FakeSessions.h"

#include <cstring>
#include <set>
#include <thread>

namespace fs = std::filesystem;

namespace {

using CReply = CFakeProcessLauncher::CReply;

// Every worker answers every file with these lines.
void AnswerEveryFile(CFakeProcessLauncher& launcher, const CReply& reply) {
    launcher.SetScript([reply](size_t, const std::string&) { return reply; });
}

const std::string kLetterAnswer = "pages=4 pages2=0 width=8.5 length=11 format=1";

class TicketTest : public PipelineTest {
  protected:
    void SetUp() override {
        PipelineTest::SetUp();
        StartServer();
        m_sessions.SetUser("alice");
        CRequestEnvironment environment = m_processing.GetEnvironment();
        environment.pSessions = &m_sessions;
        m_processing.SetEnvironment(environment);
    }

    const CActivity& Run(const std::string& strName, const std::string& strTicket) {
        Drop(strName, strTicket);
        m_pHandler = std::make_unique<CFileRequestHandler>(Request(strName, "uls"), m_processing);
        m_pHandler->HandleRequest();
        return m_pHandler->GetActivity();
    }

    CFakeSessions m_sessions;
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
    EXPECT_EQ(activity.m_document.m_strMachineName, Platform::GetHostComputerName(15));
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
    CLoggedOnUser& loggedOnUser = m_processing.GetLoggedOnUser();
    EXPECT_EQ(loggedOnUser.GetExplorerUserName(&m_sessions, strUser), 1) << "first user seen";
    EXPECT_EQ(strUser, "alice");
    EXPECT_EQ(loggedOnUser.GetExplorerUserName(&m_sessions, strUser), 0) << "same user";
    m_sessions.SetUser("bob");
    EXPECT_EQ(loggedOnUser.GetExplorerUserName(&m_sessions, strUser), 3) << "another user";
    m_sessions.SetNone(0);
    EXPECT_EQ(loggedOnUser.GetExplorerUserName(&m_sessions, strUser), 0) << "nobody now, but one was seen";
    EXPECT_EQ(strUser, "");
    EXPECT_EQ(CLoggedOnUser().GetExplorerUserName(&m_sessions, strUser), -1) << "none seen by a new agent";
    const CActivity& activity = Run("nobody.dat", "[PRINTJOB]\nTimer=5000\n");
    EXPECT_EQ(activity.m_document.m_strUserName, "Administrator")
        << "nobody logged on, whoever owns the ticket";
    EXPECT_NE(m_log.Content().find("Failed to Process UserName"), std::string::npos);
}

TEST_F(PipelineTest, HalfSizeHalvesWhatTheParserReports) {
    StartServer();
    AnswerEveryFile(m_launcher, {{"pages=3 pages2=5 width=8.500000 length=11.000000 format=1", "end"}});
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

// The worker's limits come from the agent, and it parses the file the request holds.
TEST_F(PipelineTest, WorkerIsStartedWithTheParserLimitsAndGivenTheHeldFile) {
    StartServer();
    AnswerEveryFile(m_launcher, {{kLetterAnswer, "end"}});
    // A line break in the name must not end the path line; Windows names cannot hold one.
#ifdef _WIN32
    const std::string strName = "odd name 100%0A.pdf";
#else
    const std::string strName = "odd\nname.pdf";
#endif
    Drop(strName);
    CFileRequestHandler(Request(strName), m_processing).HandleRequest();
    std::vector<CFakeProcessLauncher::CStart> starts = m_launcher.GetStarts();
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].strExecutable, kParserPath);
    EXPECT_EQ(starts[0].arguments, std::vector<std::string>{kParserWorkerSwitch});
    EXPECT_TRUE(starts[0].bWithInput);
    EXPECT_EQ(starts[0].limits.nMemoryBytes, kParserMemoryBytes);
    EXPECT_EQ(m_launcher.GetCpuAllowances(), std::vector<uint64_t>{kParserCpuSecondsPerFile});
    std::vector<CFakeProcessLauncher::CWritten> written = m_launcher.GetWritten();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(UnescapePathLine(written[0].strLine), NativePath(m_strHot + "/" + strName));
    EXPECT_TRUE(written[0].bWithFile);
    EXPECT_EQ(StoredCount(), 1);
}

TEST_F(PipelineTest, HungParseIsAbandonedRenamedAndStillPosted) {
    StartServer();
    AnswerEveryFile(m_launcher, {{"pages=2 pages2=0 width=8.270000 length=11.690000 format=1"}});
    Drop("ppr0042.tmp");
    CFileRequestHandler handler(Request("ppr0042.tmp"), m_processing);
    handler.HandleRequest();
    EXPECT_EQ(m_launcher.GetKillCount(), 1u);
    EXPECT_TRUE(Exists(m_strHot + "/FATAL-0042.klendo"));
    EXPECT_FALSE(Exists(m_strHot + "/ppr0042.tmp"));
    EXPECT_EQ(handler.GetActivity().m_document.m_nPages, 2) << "the values read before the limit";
    EXPECT_EQ(StoredCount(), 1);
    // The rename is seen as a new name in the hot folder: that request must not bill the job again.
    CFileRequestHandler(Request("FATAL-0042.klendo"), m_processing).HandleRequest();
    EXPECT_TRUE(Exists(m_strHot + "/FATAL-0042.klendo"));
    EXPECT_EQ(StoredCount(), 1);
    EXPECT_EQ(m_launcher.GetStarts().size(), 1u) << "a hung parse is not tried again";
    EXPECT_EQ(AbandonedParseName("/var/ppr.tmp/ppr0042.tmp.tmp"),
              "/var/FATAL-.klendo/FATAL-0042.klendo.klendo");
}

TEST_F(PipelineTest, CrashingOrMissingParserGivesZerosAndTheJobGoesOn) {
    StartServer();
    AnswerEveryFile(m_launcher, {{"pages=9 pages2=0 width=1e999 length=-4 format=1", "garbage"}, true});
    Drop("crash.pcl");
    CFileRequestHandler crashed(Request("crash.pcl"), m_processing);
    crashed.HandleRequest();
    EXPECT_EQ(crashed.GetActivity().m_document.m_nPages, 0) << "a hostile progress line is not believed";
    m_launcher.FailStarts(2);
    Drop("missing.pcl");
    CFileRequestHandler missing(Request("missing.pcl"), m_processing);
    missing.HandleRequest();
    EXPECT_EQ(missing.GetActivity().m_document.m_nPages, 0);
    EXPECT_EQ(StoredCount(), 2);
    EXPECT_NE(m_log.Content().find(
                  "--F: failed to start the print file parser p=" + std::string(kParserPath) + " error =2"),
              std::string::npos);
}

TEST_F(PipelineTest, WorkerThatDiesWithoutAResultIsRetriedOnceInAFreshWorker) {
    StartServer();
    // The first worker dies as a crash or a stray kill would end it; its successor answers.
    m_launcher.SetScript([](size_t nChild, const std::string&) {
        return nChild == 0 ? CReply{{"pages=9 pages2=0 width=1 length=1 format=1"}, true}
                           : CReply{{kLetterAnswer, "end"}};
    });
    Drop("retried.pdf");
    CFileRequestHandler handler(Request("retried.pdf"), m_processing);
    handler.HandleRequest();
    EXPECT_EQ(handler.GetActivity().m_document.m_nPages, 4);
    EXPECT_FLOAT_EQ(handler.GetActivity().m_document.m_fWidth, 8.5f);
    std::string strLog = m_log.Content();
    EXPECT_NE(strLog.find("--F: print file parser ended without a result p=" +
                          JoinPath(m_strHot, "retried.pdf") + ", trying a new worker"),
              std::string::npos);
    EXPECT_EQ(strLog.find("without a result again"), std::string::npos);
    EXPECT_EQ(m_launcher.GetStarts().size(), 2u);
    EXPECT_EQ(StoredCount(), 1);
}

TEST_F(PipelineTest, WorkerThatAlwaysDiesGivesZerosAfterOneRetry) {
    StartServer();
    // Each worker reports a value, then dies before its answer is complete: the value is not believed.
    AnswerEveryFile(m_launcher, {{"pages=9 pages2=0 width=8.5 length=11 format=1"}, true});
    Drop("doomed.pdf");
    CFileRequestHandler handler(Request("doomed.pdf"), m_processing);
    handler.HandleRequest();
    EXPECT_EQ(handler.GetActivity().m_document.m_nPages, 0);
    EXPECT_EQ(handler.GetActivity().m_document.m_fWidth, 0.0f);
    std::string strPath = JoinPath(m_strHot, "doomed.pdf");
    std::string strLog = m_log.Content();
    EXPECT_NE(
        strLog.find("--F: print file parser ended without a result p=" + strPath + ", trying a new worker"),
        std::string::npos);
    EXPECT_NE(strLog.find("--F: print file parser ended without a result again p=" + strPath +
                          ", the job goes on with zeros"),
              std::string::npos);
    EXPECT_EQ(m_launcher.GetStarts().size(), 2u) << "one retry, no more";
    EXPECT_EQ(StoredCount(), 1) << "the job goes on";
}

// A worker that ended while it waited idle (the system's memory killer, an operator) is no fault of
// the next file: a fresh worker parses it at once, without the crash retry.
TEST_F(PipelineTest, IdleWorkerThatEndedMeanwhileIsReplacedWithoutBlame) {
    StartServer();
    m_launcher.SetScript([](size_t nChild, const std::string&) {
        return CReply{{kLetterAnswer, "end"}, nChild == 0};
    });
    for (const char* szName : {"first.pdf", "second.pdf"}) {
        Drop(szName);
        CFileRequestHandler handler(Request(szName), m_processing);
        handler.HandleRequest();
        EXPECT_EQ(handler.GetActivity().m_document.m_nPages, 4) << szName;
    }
    EXPECT_EQ(m_launcher.GetStarts().size(), 2u);
    EXPECT_EQ(m_log.Content().find("without a result"), std::string::npos);
    EXPECT_EQ(StoredCount(), 2);
}

// Every worker is busy: the next file waits for one to come back instead of starting another.
TEST_F(PipelineTest, BurstOfFilesReusesABoundedNumberOfWorkers) {
    CFakeProcessLauncher launcher;
    CParserWorkers workers(launcher);
    const size_t nMax = CParserWorkers::GetMaxWorkers();
    auto patience = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    std::vector<std::unique_ptr<CParserWorkers::CWorker>> taken;
    for (size_t i = 0; i < nMax; ++i)
        taken.push_back(workers.Take("parser", patience));
    std::unique_ptr<CParserWorkers::CWorker> pWaited;
    std::thread waiting([&] { pWaited = workers.Take("parser", patience); });
    workers.GiveBack(std::move(taken.back()), true);
    waiting.join();
    ASSERT_TRUE(pWaited);
    EXPECT_EQ(launcher.GetStarts().size(), nMax);
    EXPECT_EQ(pWaited->nUses, 1) << "the worker given back";
}

TEST_F(PipelineTest, RealParserWorkersCountPagesFileAfterFile) {
    StartServer();
    // Odd names travel to the worker as one escaped line each; the same worker serves file after file.
#ifdef _WIN32
    const std::string strNames[] = {"three.ps", "new line 100%0A.ps", "three again.ps"};
#else
    const std::string strNames[] = {"three.ps", "new\nline 100%0A.ps", "three again.ps"};
#endif
    for (const std::string& strName : strNames) {
        Drop(strName, "%!PS-Adobe-3.0\n%%Pages: 3\n%%PageBoundingBox: 0 0 595 842\n%%Page: 1 1\nshowpage\n"
                      "%%Page: 2 2\nshowpage\n%%Page: 3 3\nshowpage\n%%EOF\n");
        CFileRequestHandler handler(Request(strName), m_processing);
        handler.HandleRequest();
        EXPECT_EQ(handler.GetActivity().m_document.m_nPages, 3) << strName;
        EXPECT_NEAR(handler.GetActivity().m_document.m_fWidth, 8.26, 0.05);
        EXPECT_NEAR(handler.GetActivity().m_document.m_fLength, 11.69, 0.05);
    }
    EXPECT_EQ(m_launcher.GetStarts().size(), 1u);
    EXPECT_EQ(UnescapePathLine(EscapePathLine("a%0A\n\r%")), "a%0A\n\r%");
    EXPECT_EQ(EscapePathLine("x\ny").find('\n'), std::string::npos);
}

TEST(ParserWorkers, WorkersStartedBeyondTheMaximumAreNotKeptIdle) {
    CFakeProcessLauncher launcher;
    // Every worker answers each line with its own number.
    launcher.SetScript([](size_t nChild, const std::string&) { return CReply{{std::to_string(nChild)}}; });
    CParserWorkers workers(launcher);
    const size_t nMax = CParserWorkers::GetMaxWorkers();
    // A deadline already passed lets Take start a worker beyond the maximum instead of waiting.
    auto passed = std::chrono::steady_clock::now() - std::chrono::seconds(1);
    auto takeAndGiveBack = [&] {
        std::vector<std::unique_ptr<CParserWorkers::CWorker>> taken;
        std::set<std::string> ids;
        for (size_t i = 0; i < nMax + 2; ++i) {
            taken.push_back(workers.Take("parser", passed));
            std::string strId;
            EXPECT_TRUE(taken.back() && taken.back()->pProcess->WriteLine("id") &&
                        taken.back()->pProcess->ReadLine(strId, passed) ==
                            Platform::IChildProcess::ReadResult::Line);
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
