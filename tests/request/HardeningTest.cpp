#include "PipelineFixture.h"

#include "monitor/TicketLedger.h"
#include "pool/IOThreadPool.h"
#include "request/AbandonedFiles.h"
#include "request/StableFileCheck.h"
#include "request/WriteWait.h"

#include <cerrno>
#include <future>

namespace fs = std::filesystem;

namespace {

void ChangeEnvironment(CRequestProcessing& processing,
                       const std::function<void(CRequestEnvironment&)>& change) {
    CRequestEnvironment environment = processing.GetEnvironment();
    change(environment);
    processing.SetEnvironment(environment);
}

// Parser workers that never answer: every parse runs into its limit.
void UseHangingParser(CFakeProcessLauncher& launcher) {
    launcher.SetScript([](size_t, const std::string&) { return CFakeProcessLauncher::CReply(); });
}

} // namespace

TEST_F(PipelineTest, FileStillBeingWrittenWhenItsWholeWaitIsSpentIsKeptNotBilledHalfWritten) {
    StartServer();
    // Twenty tries of 10 ms: a budget of 200 ms, spent over several pauses of the request.
    ChangeEnvironment(m_processing,
                      [](CRequestEnvironment& environment) { environment.nWriteCompleteTries = 20; });
    std::string strPath = JoinPath(m_strHot, "busy.prn");
    Drop("busy.prn", "half");
    m_files.StayBusy("busy.prn");
    CPipelinePool pool(m_processing);
    pool.Dispatch(Request("busy.prn"));
    ASSERT_TRUE(pool.AdvanceUntil([&] { return pool.Get().GetWaitingRetryCount() == 1; }));
    EXPECT_EQ(pool.Get().GetWaitingForWriterCount(), 0u);
    pool.Stop();
    EXPECT_EQ(StoredCount(), 0);
    EXPECT_FALSE(Exists(m_strDestination + "/busy.prn"));
    EXPECT_EQ(ReadWholeFile(strPath), "half") << "left as its writer has it";
    std::string strLog = m_log.Content();
    EXPECT_NE(strLog.find("--I: kept file s=" + m_strHot + " file=busy.prn is tried again in 3600 s"),
              std::string::npos);
    EXPECT_NE(strLog.find("--F: file still being written after 20 tries, kept for a later try =" + strPath),
              std::string::npos);
    EXPECT_EQ(Occurrences(strLog, "--I: wait for write complete =" + strPath), 1u);
    EXPECT_EQ(strLog.find("--I: wait end =" + strPath), std::string::npos);
}

// A file is announced before its creator's open counts as a writer, so the lease alone finds a just
// created file free: copied empty, billed and removed, its job would go to a removed file.
TEST_F(PipelineTest, EmptyFileIsNotCompleteOnItsLeaseAlone) {
    StartServer();
    // A window longer than the whole budget of two 10 ms tries: the empty file cannot pass it.
    ChangeEnvironment(m_processing, [](CRequestEnvironment& environment) {
        environment.nWriteCompleteTries = 2;
        environment.stableWindow = std::chrono::hours(1);
    });
    std::string strPath = JoinPath(m_strHot, "created.prn");
    Drop("created.prn", "");
    CPipelinePool pool(m_processing);
    pool.Dispatch(Request("created.prn"));
    ASSERT_TRUE(pool.AdvanceUntil([&] { return pool.Get().GetWaitingRetryCount() == 1; }));
    pool.Stop();
    EXPECT_TRUE(Exists(strPath));
    EXPECT_FALSE(Exists(m_strDestination + "/created.prn"));
    EXPECT_NE(
        m_log.Content().find("--F: file still being written after 2 tries, kept for a later try =" + strPath),
        std::string::npos);
}

TEST(StableFileCheck, WithoutALeaseAFileCountsOnlyAfterAWholeWindowUnchanged) {
    using namespace std::chrono;
    CStableFileCheck check(milliseconds(1000));
    steady_clock::time_point start;
    Platform::CFileVersion first{100, 1};
    Platform::CFileVersion grown{200, 2};
    EXPECT_FALSE(check.IsStable(first, start));
    EXPECT_FALSE(check.IsStable(first, start + milliseconds(999)));
    EXPECT_FALSE(check.IsStable(grown, start + milliseconds(1500))) << "a change starts the window again";
    EXPECT_FALSE(check.IsStable(grown, start + milliseconds(2400)));
    EXPECT_TRUE(check.IsStable(grown, start + milliseconds(2500)));
    check.Reset();
    EXPECT_FALSE(check.IsStable(grown, start + milliseconds(2600))) << "a probe that found the file open";
}

TEST(WriteWait, PausesGrowToTwentyIntervalsAClosedFileWaitsOutItsWindowAndTheBudgetSpansPauses) {
    using namespace std::chrono;
    steady_clock::time_point start;
    CWriteWait wait(start, milliseconds(1000));
    EXPECT_EQ(wait.GetProbesThisSlice(), CWriteWait::kFirstSliceProbes);
    std::vector<long long> pauses;
    for (int i = 0; i < 7; ++i)
        pauses.push_back(static_cast<long long>(wait.NextPause(milliseconds(50), true, start).count()));
    EXPECT_EQ(pauses, (std::vector<long long>{100, 200, 400, 800, 1000, 1000, 1000}));
    EXPECT_EQ(wait.GetProbesThisSlice(), 1) << "after a pause one probe is enough";
    // Closed, but not yet unchanged for the window: back when the window is over, not later.
    Platform::CFileVersion version{10, 1};
    EXPECT_FALSE(wait.GetStableCheck().IsStable(version, start + milliseconds(100)));
    EXPECT_EQ(wait.NextPause(milliseconds(50), false, start + milliseconds(400)).count(), 700);
    EXPECT_EQ(wait.NextPause(milliseconds(50), false, start + milliseconds(1090)).count(), 50);
    EXPECT_FALSE(wait.IsOverBudget(start + milliseconds(49999), milliseconds(50000)));
    EXPECT_TRUE(wait.IsOverBudget(start + milliseconds(50000), milliseconds(50000)));
    wait.Restart(start + milliseconds(50000));
    EXPECT_FALSE(wait.IsOverBudget(start + milliseconds(60000), milliseconds(50000)));
    EXPECT_EQ(wait.NextPause(milliseconds(50), true, start).count(), 100)
        << "a new wait pauses briefly again";
}

TEST_F(PipelineTest, EachWriteCompleteTestIsLoggedOncePerHotFolder) {
    StartServer();
    Drop("leased.prn");
    CFileRequestHandler(Request("leased.prn"), m_processing).HandleRequest();
    Drop("again.prn");
    CFileRequestHandler(Request("again.prn"), m_processing).HandleRequest();
    EXPECT_EQ(Occurrences(m_log.Content(), "--I: write-complete test s=" + m_strHot + ": write lease"), 1u);
    // Without a lease the file must also stay unchanged for the window before it is taken.
    std::string strOtherHot = m_folder / "hot2";
    fs::create_directories(strOtherHot);
    ChangeEnvironment(m_processing, [](CRequestEnvironment& environment) {
        environment.stableWindow = std::chrono::milliseconds(100);
    });
    m_files.RefuseWriteLeases(0);
    WriteWholeFile(strOtherHot + "/searched.prn", "x");
    CFileRequest* pRequest = Request("searched.prn");
    pRequest->source = strOtherHot;
    // The window outlasts the first probes: the request pauses and its window goes on.
    CPipelinePool pool(m_processing);
    pool.Dispatch(pRequest);
    ASSERT_TRUE(pool.AdvanceUntil([this] { return StoredCount() == 3; }));
    pool.Stop();
    EXPECT_NE(
        m_log.Content().find("--I: write-complete test s=" + strOtherHot +
                             ": no write lease (error 0), open files of every process and a size and time "
                             "unchanged for 100 ms"),
        std::string::npos);
}

TEST_F(PipelineTest, KeptFileIsTriedAgainOnItsOwnOnceTheDestinationIsBack) {
    StartServer();
    fs::remove_all(m_strDestination);
    Drop("kept.prn");
    CPipelinePool pool(m_processing);
    pool.Dispatch(Request("kept.prn"));
    ASSERT_TRUE(pool.WaitForProcessed(1));
    EXPECT_EQ(pool.Get().GetWaitingRetryCount(), 1u);
    pool.AdvancePastWaits();
    ASSERT_TRUE(pool.WaitForProcessed(2));
    EXPECT_NE(m_log.Content().find("--I: retrying kept file s=" + m_strHot + " file=kept.prn (retry 1)"),
              std::string::npos);
    EXPECT_EQ(StoredCount(), 0);
    fs::create_directories(m_strDestination);
    pool.AdvancePastWaits();
    ASSERT_TRUE(pool.WaitForProcessed(3));
    pool.Stop();
    EXPECT_EQ(StoredCount(), 1);
    EXPECT_FALSE(Exists(m_strHot + "/kept.prn"));
    EXPECT_EQ(ReadWholeFile(m_strDestination + "/kept.prn"), "%!PS\nshowpage\n");
}

TEST_F(PipelineTest, UserFileNamedLikeAnAbandonedOneIsBilled) {
    StartServer();
    Drop("FATAL-report.klendo");
    CFileRequestHandler(Request("FATAL-report.klendo"), m_processing).HandleRequest();
    EXPECT_EQ(StoredCount(), 1);
    EXPECT_FALSE(Exists(m_strHot + "/FATAL-report.klendo"));
}

TEST_F(PipelineTest, SecondHungParseOfAReusedNameKeepsTheFirstAndBothAreRemembered) {
    StartServer();
    UseHangingParser(m_launcher);
    Drop("ppr0042.tmp", "first hung job");
    CFileRequestHandler(Request("ppr0042.tmp"), m_processing).HandleRequest();
    Drop("ppr0042.tmp", "second hung job");
    CFileRequestHandler(Request("ppr0042.tmp"), m_processing).HandleRequest();
    EXPECT_EQ(ReadWholeFile(m_strHot + "/FATAL-0042.klendo"), "first hung job");
    EXPECT_EQ(ReadWholeFile(m_strHot + "/FATAL-0042_2.klendo"), "second hung job");
    EXPECT_EQ(StoredCount(), 2);
    // A later start finds both again: they are left for the operator, without a new bill.
    CFileRequestHandler(Request("FATAL-0042_2.klendo"), m_processing).HandleRequest();
    EXPECT_EQ(StoredCount(), 2);
    CAbandonedFiles afterRestart(m_strArchiveFolder);
    Platform::CFileBeneath file;
    ASSERT_EQ(file.Resolve(m_strHot, "FATAL-0042.klendo"), Platform::CFileBeneath::Resolution::Resolved);
    Platform::CFileVersion version;
    ASSERT_TRUE(file.GetVersion(version));
    EXPECT_TRUE(afterRestart.Contains(JoinPath(m_strHot, "FATAL-0042.klendo"), version));
    // Once the operator has dealt with a file, a user's file of that name is a new job.
    fs::remove(m_strHot + "/FATAL-0042.klendo");
    Drop("FATAL-0042.klendo", "a new job");
    m_launcher.SetScript(ParseInProcess);
    CFileRequestHandler(Request("FATAL-0042.klendo"), m_processing).HandleRequest();
    EXPECT_EQ(StoredCount(), 3);
}

namespace {

const char* const kTicketV1 = "[PRINTJOB]\r\nJobName=First cut\r\nTimer=60000\r\n";
const char* const kTicketV2 = "[PRINTJOB]\r\nJobName=Second cut, rewritten\r\nTimer=120000\r\n";

class TicketVersionTest : public PipelineTest {
  protected:
    CFileRequest* TicketRequest(const std::string& strName) {
        CFileRequest* pRequest = Request(strName, "ULS");
        pRequest->pTicketLedger = m_pLedger;
        return pRequest;
    }
    std::shared_ptr<CTicketLedger> m_pLedger = std::make_shared<CTicketLedger>(m_strArchiveFolder, m_strHot);
};

} // namespace

TEST_F(TicketVersionTest, ProcessedTicketVersionIsBilledOnceHoweverOftenItIsAskedFor) {
    StartServer();
    Drop("job7.dat", kTicketV1);
    CFileRequestHandler(TicketRequest("job7.dat"), m_processing).HandleRequest();
    CFileRequestHandler(TicketRequest("job7.dat"), m_processing).HandleRequest();
    EXPECT_EQ(StoredCount(), 1);
    EXPECT_NE(
        m_log.Content().find("--I: ticket version already processed =" + JoinPath(m_strHot, "job7.dat")),
        std::string::npos);
    Platform::CFileBeneath ticket;
    Platform::CFileVersion version;
    ASSERT_EQ(ticket.Resolve(m_strHot, "job7.dat"), Platform::CFileBeneath::Resolution::Resolved);
    ASSERT_TRUE(ticket.GetVersion(version));
    EXPECT_TRUE(m_pLedger->IsProcessed("job7.dat", version));
}

// On Windows the held ticket refuses writers, so no second version can appear during the post.
#ifndef _WIN32
TEST_F(TicketVersionTest, TicketRewrittenWhileItsFirstVersionIsPostingIsBilledToo) {
    SReferenceServerOptions slow;
    slow.nDelayMs = 1500;
    StartServer(slow);
    Drop("job8.dat", kTicketV1);
    // Rewritten once the first version is copied, before its post.
    std::promise<void> rewritten;
    m_files.AfterCopy("job8.dat", [&] {
        Drop("job8.dat", kTicketV2);
        rewritten.set_value();
    });
    std::thread first([&] { CFileRequestHandler(TicketRequest("job8.dat"), m_processing).HandleRequest(); });
    ASSERT_EQ(rewritten.get_future().wait_for(CPipelinePool::kDeadline), std::future_status::ready);
    CFileRequestHandler(TicketRequest("job8.dat"), m_processing).HandleRequest();
    first.join();
    std::string strStored = Stored();
    EXPECT_EQ(Occurrences(strStored, "\"document\":\"First cut\""), 1u) << strStored;
    EXPECT_EQ(Occurrences(strStored, "\"document\":\"Second cut, rewritten\""), 1u) << strStored;
    CFileRequestHandler(TicketRequest("job8.dat"), m_processing).HandleRequest();
    EXPECT_EQ(StoredCount(), 2) << "the second version is not billed again";
}
#endif

TEST_F(PipelineTest, FileWhoseFolderCannotBeOpenedForNowIsKeptForARetry) {
    StartServer();
    Drop("later.prn");
    // No descriptor left: the hot folder itself cannot be opened (as when a burst uses them all).
    m_files.FailResolve("later.prn", EMFILE);
    CFileRequestHandler handler(Request("later.prn"), m_processing);
    handler.HandleRequest();
    EXPECT_TRUE(handler.IsKeptForRetry());
    EXPECT_TRUE(Exists(m_strHot + "/later.prn"));
    EXPECT_EQ(StoredCount(), 0);
    EXPECT_NE(m_log.Content().find("--F: folder of the file cannot be opened p=" +
                                   NativePath(m_strHot + "/later.prn") + " error =24"),
              std::string::npos)
        << m_log.Content();
}

TEST_F(PipelineTest, HungParseOfAJobNeitherPostedNorArchivedKeepsItsNameForTheRetry) {
    PointSettingsAtNobody();
    UseHangingParser(m_launcher);
    ChangeEnvironment(m_processing, [&](CRequestEnvironment& environment) {
        environment.strArchiveFolder = m_folder / "no-such-folder";
    });
    Drop("ppr0042.tmp", "a hung job that can go nowhere");
    CFileRequestHandler handler(Request("ppr0042.tmp"), m_processing);
    handler.HandleRequest();
    EXPECT_TRUE(handler.IsKeptForRetry());
    EXPECT_TRUE(Exists(m_strHot + "/ppr0042.tmp"))
        << "tried again under its own name, so the job is not lost";
    EXPECT_FALSE(Exists(m_strHot + "/FATAL-0042.klendo"));
}

TEST_F(PipelineTest, HungParseInASubfolderIsRenamedWithinItsFolder) {
    StartServer();
    UseHangingParser(m_launcher);
    fs::create_directories(m_strHot + "/ppr-queue");
    fs::create_directories(m_strDestination + "/ppr-queue");
    Drop("ppr-queue/ppr0042.tmp", "hung");
    CFileRequestHandler(Request("ppr-queue/ppr0042.tmp"), m_processing).HandleRequest();
    EXPECT_EQ(ReadWholeFile(m_strHot + "/ppr-queue/FATAL-0042.klendo"), "hung");
    EXPECT_EQ(StoredCount(), 1);
}

TEST_F(TicketVersionTest, TicketWithoutTimeIsRecordedAsDoneAndNotTriedAgain) {
    StartServer();
    Drop("job9.dat", "[PRINTJOB]\r\nJobName=Nothing\r\nTimer=0\r\n");
    CFileRequestHandler handler(TicketRequest("job9.dat"), m_processing);
    handler.HandleRequest();
    EXPECT_FALSE(handler.IsKeptForRetry());
    EXPECT_EQ(StoredCount(), 0);
    Platform::CFileBeneath ticket;
    Platform::CFileVersion version;
    ASSERT_EQ(ticket.Resolve(m_strHot, "job9.dat"), Platform::CFileBeneath::Resolution::Resolved);
    ASSERT_TRUE(ticket.GetVersion(version));
    EXPECT_TRUE(m_pLedger->IsProcessed("job9.dat", version));
}
