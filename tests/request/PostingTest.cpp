#include "ResendFixture.h"

#include <atomic>
#include <set>
#include <thread>

namespace {

const char* const kArchiveName = "/KlendoActivity.dat";
const char* const kRejectedName = "/KlendoActivity.rejected.dat";

} // namespace

TEST_F(ResendTest, ServerDownArchivesThenTheNextAcknowledgedPostResendsAndClears) {
    StartSender();
    PointSettingsAtNobody();
    std::vector<std::string> ids;
    for (const char* szName : {"a.prn", "b.prn", "c.prn"}) {
        ids.emplace_back();
        Handle(szName, &ids.back());
        EXPECT_FALSE(Exists(m_strHot + "/" + szName)) << "archived, so the file may go";
    }
    std::string strArchive = Archive();
    EXPECT_EQ(Occurrences(strArchive, "<activity "), 3u);
    EXPECT_LT(strArchive.find(ids[0]), strArchive.find(ids[2])) << "archived in order";
    EXPECT_EQ(Occurrences(m_log.Content(), "--I:failed activites archived to file"), 3u);
    EXPECT_EQ(Occurrences(m_log.Content(), "--I:status postactivity = 0"), 3u);

    StartServer();
    Handle("d.prn");
    EXPECT_EQ(Archive(), "");
    EXPECT_EQ(StoredCount(), 4);
    EXPECT_EQ(Posts(), 2) << "the three archived activities go in one request";
    std::string strStored = Stored();
    for (const std::string& strId : ids)
        EXPECT_NE(strStored.find(strId), std::string::npos) << "re-sent with the id it was archived with";
    EXPECT_NE(m_log.Content().find("--I: pending activities processed successfully"), std::string::npos);
}

TEST_F(ResendTest, RejectedActivityIsArchivedAndSentAgainLater) {
    StartSender();
    SReferenceServerOptions refuse;
    refuse.activityStatuses = {"0"};
    StartServer(refuse);
    std::string strRefused;
    Handle("refused.prn", &strRefused);
    EXPECT_NE(Archive().find(strRefused), std::string::npos);
    StartServer();
    Handle("taken.prn");
    EXPECT_EQ(Archive(), "");
    EXPECT_EQ(AcknowledgedCounts()[strRefused], 1);
}

TEST_F(ResendTest, ResendKeepsOnlyWhatTheServerDidNotAcknowledge) {
    StartSender();
    PointSettingsAtNobody();
    std::vector<std::string> ids(4);
    for (int i = 0; i < 4; ++i)
        Handle(std::to_string(i) + ".prn", &ids[static_cast<size_t>(i)]);
    // The new post takes "1"; the re-send of four gets "0", "1", "0", "1".
    SReferenceServerOptions mixed;
    mixed.activityStatuses = {"1", "0", "1", "0", "1"};
    StartServer(mixed);
    Handle("5.prn");
    std::string strArchive = Archive();
    EXPECT_EQ(Occurrences(strArchive, "<activity "), 2u) << strArchive;
    EXPECT_NE(strArchive.find(ids[0]), std::string::npos);
    EXPECT_EQ(strArchive.find(ids[1]), std::string::npos);
    EXPECT_NE(strArchive.find(ids[2]), std::string::npos);
    EXPECT_EQ(strArchive.find(ids[3]), std::string::npos);
}

TEST_F(ResendTest, ArchivedRecordsThatDoNotParseNoLongerBlockTheOthers) {
    StartSender();
    // What a damaged disk or a hand edit leaves: records that do not parse between good ones.
    const std::string bad[] = {
        "<note>typed in by hand</note>\r\n",                                // no activity, before the first
        "<activity id=\"cut\" type=\"Print\"><document name=\"cut.pdf\"/>", // unbalanced
        "<activity id=\"ctl\" \x01\x02 type=\"Print\"/>",                   // control bytes in a tag
        "<activity id=\"utf8\"><document/></activit\xFF\xFE>",              // invalid UTF-8 in a tag
    };
    // An older agent wrote control characters as references and invalid UTF-8 as it came: such a
    // record still reads, and goes out repaired.
    std::string strOld =
        "<activity id=\"old\" type=\"Print\"><document name=\"old&#01;\xFF.pdf\"/></activity>";
    WriteWholeFile(m_strArchiveFolder + kArchiveName, bad[0] + StoredForm(ArchivedRecord("g1")) + bad[1] +
                                                          StoredForm(ArchivedRecord("g2")) + bad[2] + strOld +
                                                          bad[3] + StoredForm(ArchivedRecord("g3")));
    WriteWholeFile(m_strArchiveFolder + kRejectedName, "rejected before\r\n");
    StartServer();
    std::string strNew;
    EXPECT_EQ(Handle("new.prn", &strNew), 1);

    EXPECT_EQ(Archive(), "");
    EXPECT_EQ(ReadWholeFile(m_strArchiveFolder + kRejectedName),
              "rejected before\r\n" + bad[0] + bad[1] + bad[2] + bad[3])
        << "moved unchanged, in order, after what the file held";
    std::map<std::string, int> acknowledged = AcknowledgedCounts();
    for (const std::string& strId :
         {std::string("g1"), std::string("g2"), std::string("old"), std::string("g3"), strNew})
        EXPECT_EQ(acknowledged[strId], 1) << strId;
    EXPECT_EQ(StoredCount(), 5);
    EXPECT_NE(Stored().find("\"document\":\"old\xEF\xBF\xBD\xEF\xBF\xBD.pdf\""), std::string::npos);
    EXPECT_EQ(Occurrences(m_log.Content(), "--F: archived activity does not parse, moved to "
                                           "KlendoActivity.rejected.dat: "),
              4u);
}

TEST_F(ResendTest, ArchivedIdWithACharacterXmlForbidsIsAcknowledgedAtItsFirstResend) {
    StartSender();
    // Sent with U+FFFD in place of the control character, so the server acknowledges that id.
    WriteWholeFile(m_strArchiveFolder + kArchiveName,
                   "<activity id=\"old&#01;id\" type=\"Print\"><document name=\"old.pdf\"/></activity>");
    StartServer();
    EXPECT_EQ(Handle("new.prn"), 1);
    EXPECT_EQ(Archive(), "") << "kept for another re-send, the server would bill it twice";
    EXPECT_EQ(StoredCount(), 2);
}

TEST_F(ResendTest, RecordsThatDoNotParseStayArchivedUntilTheRejectedFileTakesThem) {
    StartSender();
    const std::string strBad = "<activity id=\"cut\"><document>";
    const std::string strArchive =
        StoredForm(ArchivedRecord("g1")) + strBad + StoredForm(ArchivedRecord("g2"));
    WriteWholeFile(m_strArchiveFolder + kArchiveName, strArchive);
    std::filesystem::create_directory(m_strArchiveFolder + kRejectedName);
    StartServer();
    EXPECT_EQ(Handle("first.prn"), 1);
    EXPECT_EQ(Archive(), strArchive) << "the archive lets no record go before the rejected file holds it";
    EXPECT_EQ(StoredCount(), 3) << "the records that parse are sent all the same";
    EXPECT_NE(m_log.Content().find("--F: archived activities that do not parse could not be moved to "
                                   "KlendoActivity.rejected.dat, the archive is left as it is"),
              std::string::npos);

    std::filesystem::remove(m_strArchiveFolder + kRejectedName);
    EXPECT_EQ(Handle("second.prn"), 1);
    EXPECT_EQ(Archive(), "");
    EXPECT_EQ(ReadWholeFile(m_strArchiveFolder + kRejectedName), strBad);
    EXPECT_EQ(StoredCount(), 4) << "what the first re-send delivered is not sent again";
    std::map<std::string, int> acknowledged = AcknowledgedCounts();
    EXPECT_EQ(acknowledged["g1"], 1);
    EXPECT_EQ(acknowledged["g2"], 1);
}

TEST_F(ResendTest, ResendOfTwoThousandActivitiesGoesInBatchesAnsweredWithinTheirReplyCap) {
    StartSender();
    FillArchive(Ids("archived-", 2000));
    StartServer();
    EXPECT_EQ(Handle("new.prn"), 1);
    EXPECT_EQ(Archive(), "");
    EXPECT_EQ(StoredCount(), 2001);
    EXPECT_EQ(Posts(), 1 + 2000 / CPendingActivityResend::kBatchActivities);
}

TEST_F(ResendTest, ArchiveThatCannotBeWrittenKeepsTheSourceFile) {
    if (!PermissionsKeepUsOut()) {
        // A folder that is a file cannot hold an archive.
        std::filesystem::remove_all(m_strArchiveFolder);
        WriteWholeFile(m_strArchiveFolder, "a file where the folder should be");
    } else {
        std::filesystem::permissions(m_strArchiveFolder,
                                     std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    }
    PointSettingsAtNobody();
    Drop("precious.prn");
    CFileRequestHandler(Request("precious.prn"), m_processing).HandleRequest();
    EXPECT_TRUE(Exists(m_strHot + "/precious.prn")) << "neither taken nor archived: the job stays";
    std::string strLog = m_log.Content();
    EXPECT_NE(strLog.find("--F:failedto archive data=<activity "), std::string::npos);
    EXPECT_NE(strLog.find("--F: source file kept ="), std::string::npos);
}

TEST_F(ResendTest, ConcurrentArchivingAndResendingLoseNothing) {
    StartSender();
    // Half the posts are refused and archived while acknowledged posts ask for re-sends.
    SReferenceServerOptions alternating;
    alternating.activityStatuses = {"1", "0", "0"};
    StartServer(alternating);
    constexpr int kThreads = 8;
    constexpr int kFilesPerThread = 12;
    std::mutex idsMutex;
    std::set<std::string> ids;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kFilesPerThread; ++i) {
                std::string strName = "t" + std::to_string(t) + "-" + std::to_string(i) + ".prn";
                Drop(strName);
                CFileRequestHandler handler(Request(strName), m_processing);
                handler.HandleRequest();
                std::lock_guard<std::mutex> guard(idsMutex);
                ids.insert(handler.GetActivity().m_strId);
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    ASSERT_TRUE(m_sender.WaitUntilIdle(kDeadline));
    // Every job reached the server with "1" once, or was refused so often that it was set aside.
    StartServer();
    Handle("final.prn");
    EXPECT_EQ(Archive(), "");
    std::string strRejected = ReadWholeFile(m_strArchiveFolder + kRejectedName);
    std::map<std::string, int> acknowledged = AcknowledgedCounts();
    for (const std::string& strId : ids) {
        bool bRejected = strRejected.find("id=\"" + strId + "\"") != std::string::npos;
        EXPECT_EQ(acknowledged[strId] + (bRejected ? 1 : 0), 1) << strId << " was lost or billed twice";
    }
    EXPECT_EQ(ids.size(), static_cast<size_t>(kThreads * kFilesPerThread));
}
