#include "PipelineFixture.h"

#include "activity/KlendoActivityParser.h"

#include <atomic>
#include <set>
#include <thread>

namespace {

const char* const kArchiveName = "/KlendoActivity.dat";
const char* const kRejectedName = "/KlendoActivity.rejected.dat";

// An activity with this id as the agent archives it.
std::string ArchivedRecord(const std::string& strId) {
    CActivity activity;
    activity.m_strId = strId;
    activity.m_strType = "Print";
    activity.m_document.m_strName = strId + ".pdf";
    return CKlendoActivityParser().BuildActivityXML(activity);
}

} // namespace

TEST_F(PipelineTest, ServerDownArchivesThenTheNextAcknowledgedPostResendsAndClears) {
    PointSettingsAtNobody();
    std::vector<std::string> ids;
    for (const char* szName : {"a.prn", "b.prn", "c.prn"}) {
        Drop(szName);
        CFileRequestHandler handler(Request(szName));
        handler.HandleRequest();
        ids.push_back(handler.GetActivity().m_strId);
        EXPECT_FALSE(Exists(m_strHot + "/" + szName)) << "archived, so the file may go";
    }
    std::string strArchive = Archive();
    EXPECT_EQ(Occurrences(strArchive, "<activity "), 3u);
    EXPECT_LT(strArchive.find(ids[0]), strArchive.find(ids[2])) << "archived in order";
    EXPECT_EQ(Occurrences(m_log.Content(), "--I:failed activites archived to file"), 3u);
    EXPECT_EQ(Occurrences(m_log.Content(), "--I:status postactivity = 0"), 3u);

    StartServer();
    Drop("d.prn");
    CFileRequestHandler(Request("d.prn")).HandleRequest();
    EXPECT_EQ(Archive(), "");
    EXPECT_EQ(StoredCount(), 4);
    std::string strStored = Stored();
    for (const std::string& strId : ids)
        EXPECT_NE(strStored.find(strId), std::string::npos) << "re-sent with the id it was archived with";
    EXPECT_NE(m_log.Content().find("--I: pending activities processed successfully"), std::string::npos);
}

TEST_F(PipelineTest, RejectedActivityIsArchivedAndSentAgainLater) {
    SReferenceServerOptions refuse;
    refuse.activityStatuses = {"0"};
    StartServer(refuse);
    Drop("refused.prn");
    CFileRequestHandler refused(Request("refused.prn"));
    refused.HandleRequest();
    EXPECT_NE(Archive().find(refused.GetActivity().m_strId), std::string::npos);
    StartServer();
    Drop("taken.prn");
    CFileRequestHandler(Request("taken.prn")).HandleRequest();
    EXPECT_EQ(Archive(), "");
}

TEST_F(PipelineTest, ResendKeepsOnlyWhatTheServerDidNotAcknowledge) {
    PointSettingsAtNobody();
    std::vector<std::string> ids;
    for (const char* szName : {"1.prn", "2.prn", "3.prn", "4.prn"}) {
        Drop(szName);
        CFileRequestHandler handler(Request(szName));
        handler.HandleRequest();
        ids.push_back(handler.GetActivity().m_strId);
    }
    // The new post takes "1"; the re-send of four gets "0", "1", "0", "1".
    SReferenceServerOptions mixed;
    mixed.activityStatuses = {"1", "0", "1", "0", "1"};
    StartServer(mixed);
    Drop("5.prn");
    CFileRequestHandler(Request("5.prn")).HandleRequest();
    std::string strArchive = Archive();
    EXPECT_EQ(Occurrences(strArchive, "<activity "), 2u) << strArchive;
    EXPECT_NE(strArchive.find(ids[0]), std::string::npos);
    EXPECT_EQ(strArchive.find(ids[1]), std::string::npos);
    EXPECT_NE(strArchive.find(ids[2]), std::string::npos);
    EXPECT_EQ(strArchive.find(ids[3]), std::string::npos);
}

TEST_F(PipelineTest, ArchivedRecordsThatDoNotParseNoLongerBlockTheOthers) {
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
    WriteWholeFile(m_strArchiveFolder + kArchiveName, bad[0] + ArchivedRecord("g1") + bad[1] +
                                                          ArchivedRecord("g2") + bad[2] + strOld + bad[3] +
                                                          ArchivedRecord("g3"));
    WriteWholeFile(m_strArchiveFolder + kRejectedName, "rejected before\r\n");
    StartServer();
    Drop("new.prn");
    CFileRequestHandler handler(Request("new.prn"));
    EXPECT_EQ(handler.HandleRequest(), 1);

    EXPECT_EQ(Archive(), "");
    EXPECT_EQ(ReadWholeFile(m_strArchiveFolder + kRejectedName),
              "rejected before\r\n" + bad[0] + bad[1] + bad[2] + bad[3])
        << "moved unchanged, in order, after what the file held";
    std::set<std::string> acknowledged = AcknowledgedIds();
    for (const std::string& strId : {std::string("g1"), std::string("g2"), std::string("old"),
                                     std::string("g3"), handler.GetActivity().m_strId})
        EXPECT_EQ(acknowledged.count(strId), 1u) << strId;
    EXPECT_EQ(StoredCount(), 5);
    EXPECT_NE(Stored().find("\"document\":\"old\xEF\xBF\xBD\xEF\xBF\xBD.pdf\""), std::string::npos);
    EXPECT_EQ(Occurrences(m_log.Content(), "--F: archived activity does not parse, moved to "
                                           "KlendoActivity.rejected.dat: "),
              4u);
}

TEST_F(PipelineTest, ArchivedIdWithACharacterXmlForbidsIsAcknowledgedAtItsFirstResend) {
    // Sent with U+FFFD in place of the control character, so the server acknowledges that id.
    WriteWholeFile(m_strArchiveFolder + kArchiveName,
                   "<activity id=\"old&#01;id\" type=\"Print\"><document name=\"old.pdf\"/></activity>");
    StartServer();
    Drop("new.prn");
    EXPECT_EQ(CFileRequestHandler(Request("new.prn")).HandleRequest(), 1);
    EXPECT_EQ(Archive(), "") << "kept for another re-send, the server would bill it twice";
    EXPECT_EQ(StoredCount(), 2);
}

TEST_F(PipelineTest, RecordsThatDoNotParseStayArchivedUntilTheRejectedFileTakesThem) {
    const std::string strBad = "<activity id=\"cut\"><document>";
    const std::string strArchive = ArchivedRecord("g1") + strBad;
    WriteWholeFile(m_strArchiveFolder + kArchiveName, strArchive);
    std::filesystem::create_directory(m_strArchiveFolder + kRejectedName);
    StartServer();
    Drop("first.prn");
    EXPECT_EQ(CFileRequestHandler(Request("first.prn")).HandleRequest(), 1);
    EXPECT_EQ(Archive(), strArchive) << "the archive lets no record go before the rejected file holds it";
    EXPECT_EQ(StoredCount(), 1);
    EXPECT_NE(m_log.Content().find("--F: archived activities that do not parse could not be moved to "
                                   "KlendoActivity.rejected.dat, the archive is left as it is"),
              std::string::npos);

    std::filesystem::remove(m_strArchiveFolder + kRejectedName);
    Drop("second.prn");
    EXPECT_EQ(CFileRequestHandler(Request("second.prn")).HandleRequest(), 1);
    EXPECT_EQ(Archive(), "");
    EXPECT_EQ(ReadWholeFile(m_strArchiveFolder + kRejectedName), strBad);
    EXPECT_EQ(AcknowledgedIds().count("g1"), 1u);
}

TEST_F(PipelineTest, ResendOfTwoThousandActivitiesIsAnsweredWithinItsReplyCap) {
    constexpr int kArchived = 2000;
    std::string strArchive;
    for (int i = 0; i < kArchived; ++i)
        strArchive += ArchivedRecord(CreateGuidString());
    WriteWholeFile(m_strArchiveFolder + kArchiveName, strArchive);
    StartServer();
    Drop("new.prn");
    EXPECT_EQ(CFileRequestHandler(Request("new.prn")).HandleRequest(), 1);
    EXPECT_EQ(Archive(), "");
    EXPECT_EQ(StoredCount(), kArchived + 1);
}

TEST_F(PipelineTest, ArchiveThatCannotBeWrittenKeepsTheSourceFile) {
    if (::geteuid() == 0) {
        // Root writes through permissions; a folder that is a file cannot hold an archive.
        std::filesystem::remove_all(m_strArchiveFolder);
        WriteWholeFile(m_strArchiveFolder, "a file where the folder should be");
    } else {
        std::filesystem::permissions(m_strArchiveFolder,
                                     std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    }
    PointSettingsAtNobody();
    Drop("precious.prn");
    CFileRequestHandler(Request("precious.prn")).HandleRequest();
    EXPECT_TRUE(Exists(m_strHot + "/precious.prn")) << "neither taken nor archived: the job stays";
    std::string strLog = m_log.Content();
    EXPECT_NE(strLog.find("--F:failedto archive data=<activity "), std::string::npos);
    EXPECT_NE(strLog.find("--F: source file kept ="), std::string::npos);
}

TEST_F(PipelineTest, ConcurrentArchivingAndResendingLoseNothing) {
    // Half the posts are refused and archived while acknowledged posts re-send the archive.
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
                CFileRequestHandler handler(Request(strName));
                handler.HandleRequest();
                std::lock_guard<std::mutex> guard(idsMutex);
                ids.insert(handler.GetActivity().m_strId);
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    // Every job either reached the server with "1" at some point or is still in the archive.
    StartServer();
    Drop("final.prn");
    CFileRequestHandler(Request("final.prn")).HandleRequest();
    EXPECT_EQ(Archive(), "");
    std::set<std::string> acknowledged = AcknowledgedIds();
    for (const std::string& strId : ids)
        EXPECT_EQ(acknowledged.count(strId), 1u) << strId << " was lost";
    EXPECT_EQ(ids.size(), static_cast<size_t>(kThreads * kFilesPerThread));
}
