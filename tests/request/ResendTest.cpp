#include "ResendFixture.h"

#include "activity/ActivityFileDataStorage.h"

#include <future>
#include <regex>

namespace {

const char* const kRejectedName = "/KlendoActivity.rejected.dat";
const char* const kSettledName = "/KlendoActivity.settled.dat";
const char* const kRefusalsName = "/KlendoActivity.refusals.dat";

struct SBatchSeen {
    int nActivities;
    size_t nBytes;
};

// The batches the log says were sent, in order.
std::vector<SBatchSeen> BatchesLogged(const std::string& strLog) {
    std::vector<SBatchSeen> batches;
    std::regex line("--I: re-sent (\\d+) pending activities \\((\\d+) bytes\\)");
    for (auto it = std::sregex_iterator(strLog.begin(), strLog.end(), line); it != std::sregex_iterator();
         ++it)
        batches.push_back({std::stoi((*it)[1]), std::stoul((*it)[2])});
    return batches;
}

bool StopsWithin(CPendingActivitySender& sender, std::chrono::seconds deadline) {
    auto stopped = std::async(std::launch::async, [&sender] { sender.Stop(); });
    return stopped.wait_for(deadline) == std::future_status::ready;
}

} // namespace

TEST_F(ResendTest, BatchesStayWithinTheirLimitsAndAHugeActivityGoesAlone) {
    StartServer();
    FillArchive(Ids("count-", 450));
    SResendOutcome outcome = Resend();
    EXPECT_TRUE(outcome.bCompleted);
    EXPECT_EQ(outcome.nAcknowledged, 450);
    EXPECT_EQ(outcome.nLeft, 0u);
    FillArchive(Ids("bytes-", 120), 3000);
    EXPECT_EQ(Resend().nAcknowledged, 120);
    WriteWholeFile(
        m_strArchiveFolder + "/KlendoActivity.dat",
        StoredForm(ArchivedRecord("before") + ArchivedRecord("huge", 300 * 1024) + ArchivedRecord("after")));
    EXPECT_EQ(Resend().nAcknowledged, 3);
    EXPECT_EQ(Archive(), "");

    std::vector<SBatchSeen> batches = BatchesLogged(m_log.Content());
    ASSERT_GE(batches.size(), 3u + 2u + 3u) << m_log.Content();
    EXPECT_EQ(batches[0].nActivities, 200);
    EXPECT_EQ(batches[1].nActivities, 200);
    EXPECT_EQ(batches[2].nActivities, 50);
    // Records of about 4 KB: the bytes, not the count, end these batches.
    size_t nBatch = 3;
    int nSent = 0;
    while (nSent < 120 && nBatch < batches.size()) {
        const SBatchSeen& batch = batches[nBatch++];
        nSent += batch.nActivities;
        EXPECT_LT(batch.nActivities, 200);
        EXPECT_LE(batch.nBytes, CPendingActivityResend::kBatchBytes);
        // Every batch but the last ends where the next record would not fit.
        EXPECT_TRUE(nSent == 120 || batch.nBytes > CPendingActivityResend::kBatchBytes - 5000)
            << batch.nBytes;
    }
    EXPECT_EQ(nSent, 120);
    EXPECT_GE(nBatch, 5u);
    ASSERT_EQ(batches.size(), nBatch + 3);
    EXPECT_EQ(batches[nBatch].nActivities, 1);
    EXPECT_EQ(batches[nBatch + 1].nActivities, 1);
    EXPECT_GT(batches[nBatch + 1].nBytes, CPendingActivityResend::kBatchBytes) << "the huge one alone";
    EXPECT_EQ(batches[nBatch + 2].nActivities, 1);
    EXPECT_EQ(StoredCount(), 450 + 120 + 3);
}

TEST_F(ResendTest, RetryTimerResendsWithoutNewWorkAndKeepsTryingWhileTheServerIsDown) {
    constexpr std::chrono::milliseconds kFirst = CPendingActivitySender::kFirstWait;
    FillArchive(Ids("waiting-", 3));
    PointSettingsAtNobody();
    StartSender();
    AdvanceTimer(kFirst);
    ASSERT_TRUE(m_sender.WaitForResends(1, kDeadline)) << "the timer fired on its own";
    AdvanceTimer(2 * kFirst);
    ASSERT_TRUE(m_sender.WaitForResends(2, kDeadline)) << "and again after the doubled wait";
    EXPECT_EQ(Occurrences(Archive(), "<activity "), 3u);
    StartServer();
    AdvanceTimer(4 * kFirst);
    ASSERT_TRUE(m_sender.WaitForResends(3, kDeadline));
    EXPECT_EQ(Archive(), "");
    EXPECT_EQ(StoredCount(), 3) << "no file was dropped: the timer alone re-sent them";
}

TEST_F(ResendTest, BackOffDoublesWhileTheServerDoesNotAnswerAndStartsOverOnceItDoes) {
    using std::chrono::minutes;
    FillArchive({"patient"});
    PointSettingsAtNobody();
    StartSender();
    EXPECT_EQ(m_sender.GetRetryWait(), minutes(1));
    for (std::chrono::milliseconds expected :
         {minutes(2), minutes(4), minutes(8), minutes(15), minutes(15)}) {
        m_sender.Kick();
        ASSERT_TRUE(m_sender.WaitUntilIdle(kDeadline));
        EXPECT_EQ(m_sender.GetRetryWait(), expected);
    }
    EXPECT_NE(m_log.Content().find("--I: next re-send of pending activities in 900 s"), std::string::npos);
    StartServer();
    m_sender.Kick();
    ASSERT_TRUE(m_sender.WaitUntilIdle(kDeadline));
    EXPECT_EQ(m_sender.GetRetryWait(), minutes(1));
    EXPECT_EQ(Archive(), "");
}

TEST_F(ResendTest, StopEndsTheRetryWaitAtOnce) {
    FillArchive({"waiting"});
    StartSender();
    EXPECT_TRUE(StopsWithin(m_sender, kDeadline)) << "the stop waited for the hour-long retry wait";
    EXPECT_EQ(m_sender.GetResendCount(), 0);
    m_sender.Kick();
    EXPECT_EQ(m_sender.GetResendCount(), 0) << "a stopped sender does nothing";
}

TEST_F(ResendTest, StopDuringABatchInFlightSendsNoFurtherBatchAndLosesNothing) {
    SReferenceServerOptions slow;
    slow.nDelayMs = 600000;
    StartServer(slow);
    FillArchive(Ids("in-flight-", 450));
    StartSender();
    m_sender.Kick();
    ASSERT_TRUE(WaitForPosts(1));
    // The post in flight ends at its own time-out (5 s here); no batch follows it.
    EXPECT_TRUE(StopsWithin(m_sender, kDeadline));
    EXPECT_EQ(Posts(), 1);
    EXPECT_EQ(Occurrences(Archive(), "<activity "), 450u);
}

TEST_F(ResendTest, KicksDuringAResendRunItOnceMoreNotOnceEach) {
    SetTotalTimeout(std::chrono::minutes(2));
    SReferenceServerOptions slow;
    slow.nDelayMs = 600000;
    StartServer(slow);
    FillArchive({"kicked"});
    StartSender();
    m_sender.Kick();
    ASSERT_TRUE(WaitForPosts(1));
    for (int i = 0; i < 5; ++i)
        m_sender.Kick();
    EXPECT_EQ(m_sender.GetResendCount(), 0);
    EXPECT_EQ(Posts(), 1) << "a second re-send started beside the first";
    StopServer();
    ASSERT_TRUE(m_sender.WaitUntilIdle(kDeadline));
    EXPECT_EQ(m_sender.GetResendCount(), 2);
}

TEST_F(ResendTest, AppendsDuringASlowResendAreNeitherBlockedNorLost) {
    SetTotalTimeout(std::chrono::minutes(2));
    SReferenceServerOptions slow;
    slow.nDelayMs = 600000;
    StartServer(slow);
    FillArchive(Ids("early-", 5));
    StartSender();
    m_sender.Kick();
    ASSERT_TRUE(WaitForPosts(1));
    std::vector<std::string> late = Ids("late-", 20);
    auto appended = std::async(std::launch::async, [&] {
        int nSaved = 0;
        for (const std::string& strId : late)
            nSaved += CActivityFileDataStorage(m_strArchiveFolder).SaveData(ArchivedRecord(strId));
        return nSaved;
    });
    ASSERT_EQ(appended.wait_for(kDeadline), std::future_status::ready) << "the appends waited for the server";
    EXPECT_EQ(appended.get(), 20);
    EXPECT_EQ(m_sender.GetResendCount(), 0) << "the re-send's post is still in flight";

    // The post in flight ends one way or another; the re-send's rewrite keeps the appends.
    StopServer();
    ASSERT_TRUE(m_sender.WaitForResends(1, kDeadline));
    for (const std::string& strId : late)
        EXPECT_NE(Archive().find("id=\"" + strId + "\""), std::string::npos) << strId;
    StartServer();
    m_sender.Kick();
    ASSERT_TRUE(m_sender.WaitUntilIdle(kDeadline));
    EXPECT_EQ(Archive(), "");
    std::map<std::string, int> acknowledged = AcknowledgedCounts();
    for (const std::string& strId : Ids("early-", 5))
        EXPECT_GE(acknowledged[strId], 1) << strId;
    for (const std::string& strId : late)
        EXPECT_EQ(acknowledged[strId], 1) << strId;
}

TEST_F(ResendTest, RefusedTenTimesInARowMovesToTheRejectedFileAcrossRestarts) {
    SReferenceServerOptions refuse;
    refuse.activityStatuses = {"0"};
    StartServer(refuse);
    FillArchive({"r1"});
    const std::string strRecord = StoredForm(ArchivedRecord("r1"));
    // Each re-send reads what the ones before left on the disk, as after a restart.
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(Resend().nRefused, 1);
    EXPECT_EQ(Occurrences(ReadWholeFile(m_strArchiveFolder + kRefusalsName), "r1\n"), 9u);
    // Answers that are none count nothing: an error page, or no server at all.
    SReferenceServerOptions unavailable;
    unavailable.nHttpStatus = 503;
    StartServer(unavailable);
    EXPECT_FALSE(Resend().bCompleted);
    StopServer();
    EXPECT_FALSE(Resend().bCompleted);
    // Nor does a reply that says nothing about the activity.
    SReferenceServerOptions silent;
    silent.bOmitActivities = true;
    StartServer(silent);
    SResendOutcome outcome = Resend();
    EXPECT_FALSE(outcome.bCompleted) << "no verdict, so the back-off goes on";
    EXPECT_EQ(outcome.nRefused, 0);
    EXPECT_EQ(Occurrences(ReadWholeFile(m_strArchiveFolder + kRefusalsName), "r1\n"), 9u);
    EXPECT_EQ(Archive(), strRecord);
    EXPECT_FALSE(Exists(m_strArchiveFolder + kRejectedName));

    StartServer(refuse);
    StartSender();
    m_sender.Kick();
    ASSERT_TRUE(m_sender.WaitUntilIdle(kDeadline));
    EXPECT_EQ(ReadWholeFile(m_strArchiveFolder + kRejectedName), strRecord) << "moved unchanged";
    EXPECT_EQ(Archive(), "");
    EXPECT_NE(m_log.Content().find(
                  "--E: activity r1 refused 10 times in a row, moved to KlendoActivity.rejected.dat"),
              std::string::npos);
    EXPECT_EQ(ReadWholeFile(m_strArchiveFolder + kRefusalsName), "") << "a record moved back starts afresh";
    EXPECT_EQ(ReadWholeFile(m_strArchiveFolder + kSettledName), "");
    long nPosts = Posts();
    Resend();
    EXPECT_EQ(Posts(), nPosts) << "never sent again";
}

TEST_F(ResendTest, DamagedSideFilesOnlyMeanSendingAgain) {
    FillArchive(Ids("d", 3));
    // A torn line names no id; the bytes of a damaged file are ids of nothing.
    WriteWholeFile(m_strArchiveFolder + kSettledName, std::string("\xff\x00garbage\n", 10) + "d0");
    WriteWholeFile(m_strArchiveFolder + kRefusalsName, "d1\n%0Z%\n\n");
    StartServer();
    SResendOutcome outcome = Resend();
    EXPECT_EQ(outcome.nAcknowledged, 3);
    EXPECT_EQ(Archive(), "");
    EXPECT_EQ(ReadWholeFile(m_strArchiveFolder + kSettledName), "");
    EXPECT_EQ(ReadWholeFile(m_strArchiveFolder + kRefusalsName), "");
}

// A front end that caps request bodies refuses every request holding one large activity: the
// others of its batch must still go, and the large one must not be sent for ever.
TEST_F(ResendTest, ActivityThatMakesTheServerRefuseItsWholeRequestDoesNotHoldTheOthersBack) {
    SReferenceServerOptions capped;
    capped.nMaxBodyBytes = 100 * 1024;
    StartServer(capped);
    std::string strText =
        ArchivedRecord("before") + ArchivedRecord("large", 150 * 1024) + ArchivedRecord("after");
    WriteWholeFile(m_strArchiveFolder + "/KlendoActivity.dat", StoredForm(strText));
    SResendOutcome first = Resend();
    EXPECT_EQ(first.nAcknowledged, 2) << "the batch was split and its halves sent again";
    EXPECT_EQ(first.nRefused, 1);
    std::map<std::string, int> acknowledged = AcknowledgedCounts();
    EXPECT_EQ(acknowledged["before"], 1);
    EXPECT_EQ(acknowledged["after"], 1);
    EXPECT_EQ(Archive(), StoredForm(ArchivedRecord("large", 150 * 1024)));
    for (int i = 1; i < CPendingActivityResend::kRefusalLimit; ++i)
        Resend();
    EXPECT_EQ(Archive(), "");
    EXPECT_EQ(ReadWholeFile(m_strArchiveFolder + "/" + CActivityFileDataStorage::kRejectedName),
              StoredForm(ArchivedRecord("large", 150 * 1024)));
    EXPECT_NE(m_log.Content().find("refused as a whole, HTTP status 413"), std::string::npos);
}
