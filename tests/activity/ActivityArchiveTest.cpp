#include "activity/ActivityFileDataStorage.h"
#include "activity/KlendoActivityParser.h"
#include "activity/LogCapture.h"
#include "platform/ExclusiveFile.h"
#include "platform/FileSystem.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>
#include <vector>

namespace {

bool Exists(const std::string& strPath) {
    return std::filesystem::exists(strPath);
}

ino_t InodeOf(const std::string& strPath) {
    struct stat info {};
    ::stat(strPath.c_str(), &info);
    return info.st_ino;
}

// The XML of one activity as the agent archives it, with notes making it nBytes long or more.
std::string ActivityXml(const std::string& strId, size_t nBytes = 0) {
    CActivity activity;
    activity.m_strId = strId;
    activity.m_document.m_strName = strId + ".pdf";
    while (activity.m_billing.m_strNotes.size() < nBytes)
        activity.m_billing.m_strNotes += "a note line\n";
    return CKlendoActivityParser().BuildActivityXML(activity);
}

// The stored form of a text: line feeds as CR LF.
std::string Stored(const std::string& strText) {
    std::string strStored;
    for (char c : strText)
        strStored += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return strStored;
}

bool LogHas(const CLogCapture& log, const std::string& strStart) {
    for (const std::string& strMessage : log.Messages())
        if (strMessage.compare(0, strStart.size(), strStart) == 0)
            return true;
    return false;
}

// Ends the process with the kernel's SIGXFSZ at the first write that takes a file past nLimit bytes,
// in the middle of that write, the way a crash would; no core file.
void LimitFileSize(size_t nLimit) {
    struct rlimit noCore = {0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    struct rlimit fileSize = {nLimit, nLimit};
    ::setrlimit(RLIMIT_FSIZE, &fileSize);
}

[[noreturn]] void SaveUntilKilledMidWrite(const std::string& strFolder, const std::string& strText,
                                          size_t nLimit) {
    LimitFileSize(nLimit);
    CActivityFileDataStorage storage(strFolder);
    for (;;)
        storage.SaveData(strText);
}

} // namespace

TEST(ActivityArchive, AppendsKeepsCrLfOnDiskAndClears) {
    CTempFolder folder;
    CActivityFileDataStorage storage(folder.Path());
    std::string strPath = folder / "KlendoActivity.dat";
    EXPECT_EQ(storage.GetFilePath(), strPath);
    EXPECT_FALSE(Exists(strPath)) << "the constructor touches no file";

    EXPECT_EQ(storage.SaveData("<activity id=\"A\">\nx</activity>"), 1);
    EXPECT_EQ(ReadWholeFile(strPath), "<activity id=\"A\">\r\nx</activity>");
    EXPECT_EQ(CActivityFileDataStorage(folder.Path() + "/").SaveData("<activity id=\"B\">\r\n\n</activity>"),
              1);
    EXPECT_EQ(ReadWholeFile(strPath),
              "<activity id=\"A\">\r\nx</activity><activity id=\"B\">\r\r\n\r\n</activity>");

    std::string strText = "untouched";
    EXPECT_EQ(storage.ReadData(strText), 1);
    EXPECT_EQ(strText, "<activity id=\"A\">\nx</activity><activity id=\"B\">\r\n\n</activity>");

    EXPECT_EQ(storage.SaveData(""), 1);
    EXPECT_EQ(storage.ClearData(), 1);
    EXPECT_TRUE(Exists(strPath));
    EXPECT_EQ(ReadWholeFile(strPath), "");
    EXPECT_EQ(storage.ReadData(strText), 1);
    EXPECT_EQ(strText, "");
    EXPECT_FALSE(Exists(strPath + ".tmp"));
}

TEST(ActivityArchive, MissingArchiveAndMissingFolder) {
    CTempFolder folder;
    CActivityFileDataStorage storage(folder.Path());
    std::string strText = "untouched";
    EXPECT_EQ(storage.ReadData(strText), 0);
    EXPECT_EQ(strText, "untouched");
    CArchiveSnapshot snapshot;
    EXPECT_EQ(storage.ReadSnapshot(snapshot), 1) << "a missing archive holds no records";
    EXPECT_EQ(snapshot.GetRecordCount(), 0u);
    EXPECT_FALSE(Exists(storage.GetFilePath())) << "reading creates nothing";

    EXPECT_EQ(storage.SaveData(""), 1);
    EXPECT_TRUE(Exists(storage.GetFilePath()));
    std::filesystem::remove(storage.GetFilePath());
    EXPECT_EQ(storage.ClearData(), 1);
    EXPECT_EQ(storage.ReadData(strText), 1);
    EXPECT_EQ(strText, "");

    CActivityFileDataStorage nowhere(folder / "missing");
    EXPECT_EQ(nowhere.SaveData("A"), 0);
    EXPECT_EQ(nowhere.ClearData(), 0);
    EXPECT_EQ(nowhere.ReadData(strText), 0);
}

TEST(ActivityArchive, AnotherOpenerMakesEveryOperationFailAtOnceAndChangesNothing) {
    CLogCapture log;
    CTempFolder folder;
    CActivityFileDataStorage storage(folder.Path());
    std::string strRecord = ActivityXml("A");
    ASSERT_EQ(storage.SaveData(strRecord), 1);
    CArchiveSnapshot snapshot;
    ASSERT_EQ(storage.ReadSnapshot(snapshot), 1);
    {
        Platform::CExclusiveFile other;
        ASSERT_TRUE(other.Open(storage.GetFilePath(), false));
        std::string strText = "untouched";
        size_t nLeft = 0;
        EXPECT_EQ(storage.SaveData(ActivityXml("B")), 0);
        EXPECT_EQ(storage.ClearData(), 0);
        EXPECT_EQ(storage.ReadData(strText), 0);
        EXPECT_EQ(strText, "untouched");
        CArchiveSnapshot blocked;
        EXPECT_EQ(storage.ReadSnapshot(blocked), 0);
        EXPECT_EQ(storage.Compact(snapshot, {false}, nLeft), 0);
        EXPECT_EQ(ReadWholeFile(storage.GetFilePath()), strRecord);
    }
    EXPECT_EQ(storage.SaveData(ActivityXml("B")), 1);
    EXPECT_EQ(ReadWholeFile(storage.GetFilePath()), strRecord + ActivityXml("B"));
}

TEST(ActivityArchive, ThreadsOfOneProcessWaitForEachOtherInsteadOfLosingTexts) {
    CTempFolder folder;
    constexpr int kThreads = 6;
    constexpr int kSaves = 40;
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kSaves; ++i)
                failures[t] += 1 - CActivityFileDataStorage(folder.Path()).SaveData("<activity/>");
        });
    for (std::thread& thread : threads)
        thread.join();
    for (int nFailures : failures)
        EXPECT_EQ(nFailures, 0);
    std::string strText;
    ASSERT_EQ(CActivityFileDataStorage(folder.Path()).ReadData(strText), 1);
    CActivityList list;
    EXPECT_EQ(CKlendoActivityParser().ParseActivityFromString("<a>" + strText + "</a>", list),
              kThreads * kSaves);
}

TEST(ActivityArchive, SaveWaitsWhileAReSendHoldsTheLock) {
    CTempFolder folder;
    CActivityFileDataStorage resend(folder.Path());
    ASSERT_EQ(resend.SaveData("<activity id=\"old\"/>"), 1);
    int nSaved = -1;
    std::thread saver;
    {
        std::lock_guard<std::recursive_mutex> lock(CActivityFileDataStorage::GetArchiveLock());
        std::string strText;
        ASSERT_EQ(resend.ReadData(strText), 1);
        saver = std::thread(
            [&] { nSaved = CActivityFileDataStorage(folder.Path()).SaveData("<activity id=\"new\"/>"); });
        // Give the saver every chance to slip in between the read and the clear.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(resend.ClearData(), 1);
    }
    saver.join();
    EXPECT_EQ(nSaved, 1);
    EXPECT_EQ(ReadWholeFile(resend.GetFilePath()), "<activity id=\"new\"/>");
}

// Every save used to write the whole archive anew, so its cost grew with the archive.
TEST(ActivityArchive, SaveAppendsInPlaceInsteadOfRewritingTheArchive) {
    CTempFolder folder;
    CActivityFileDataStorage storage(folder.Path());
    ASSERT_EQ(storage.SaveData(ActivityXml("first")), 1);
    ino_t nInode = InodeOf(storage.GetFilePath());
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(storage.SaveData(ActivityXml("next" + std::to_string(i))), 1);
    EXPECT_EQ(InodeOf(storage.GetFilePath()), nInode) << "the archive was replaced, not appended to";
    EXPECT_FALSE(Exists(storage.GetFilePath() + ".tmp"));
}

TEST(ActivityArchive, RecordCutAtAnyOfItsLastBytesLeavesEveryCompleteRecord) {
    CLogCapture log;
    CTempFolder folder;
    CActivityFileDataStorage storage(folder.Path());
    // An empty element (older or hand-made) counts as a complete record too, quoted ">" and all.
    const std::string strWhole = Stored(ActivityXml("one") + "\n<activity id=\"two\" note=\"a/>b\"/>");
    const std::string strLast = Stored(ActivityXml("last", 300));
    const std::string strNew = ActivityXml("new");
    for (size_t nCut = strLast.size() - 200; nCut <= strLast.size(); ++nCut) {
        SCOPED_TRACE(nCut);
        std::string strKept = nCut == strLast.size() ? strWhole + strLast : strWhole;
        WriteWholeFile(storage.GetFilePath(), strWhole + strLast.substr(0, nCut));
        std::string strText;
        ASSERT_EQ(storage.ReadData(strText), 1);
        ASSERT_EQ(Stored(strText), strKept);
        CArchiveSnapshot snapshot;
        ASSERT_EQ(storage.ReadSnapshot(snapshot), 1);
        ASSERT_EQ(snapshot.GetRecordCount(), nCut == strLast.size() ? 3u : 2u);
        EXPECT_EQ(snapshot.GetRecordText(0), ActivityXml("one") + "\n");
        // The next append cuts the fragment off first: it never stands before a new record.
        ASSERT_EQ(storage.SaveData(strNew), 1);
        ASSERT_EQ(ReadWholeFile(storage.GetFilePath()), strKept + strNew);
    }
    std::string strShortest = std::to_string(strLast.size() - 200) + " bytes, ";
    EXPECT_TRUE(LogHas(log, "--W: KlendoActivity.dat ends in a torn record of " + strShortest +
                                "left out: <activity id=\"last\""));
    EXPECT_TRUE(LogHas(log, "--W: KlendoActivity.dat ends in a torn record of " + strShortest +
                                "cut off: <activity id=\"last\""));
}

TEST(ActivityArchive, TornTailOfAnyLengthIsFoundWhereverTheLastRecordEnds) {
    CLogCapture log;
    CTempFolder folder;
    CActivityFileDataStorage storage(folder.Path());
    const std::string strComplete = Stored(ActivityXml("complete", 8000));
    const std::string strTorn = Stored(ActivityXml("torn", 100 * 1024));
    // Around the size of the first piece read back from the end, so that the last "</activity>" falls
    // across its edge; and a tail longer than what the log shows of it.
    std::vector<size_t> lengths;
    for (size_t nLength = 4080; nLength <= 4100; ++nLength)
        lengths.push_back(nLength);
    lengths.push_back(strTorn.size() - 1);
    for (size_t nLength : lengths) {
        SCOPED_TRACE(nLength);
        WriteWholeFile(storage.GetFilePath(), strComplete + strTorn.substr(0, nLength));
        ASSERT_EQ(storage.SaveData(ActivityXml("new")), 1);
        ASSERT_EQ(ReadWholeFile(storage.GetFilePath()), strComplete + ActivityXml("new"));
    }
    std::vector<std::string> messages = log.Messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back().size(),
              std::string("--W: KlendoActivity.dat ends in a torn record of ").size() +
                  std::to_string(strTorn.size() - 1).size() + std::string(" bytes, cut off: ").size() +
                  64 * 1024 + 4)
        << "a long tail is shown in part";
}

TEST(ActivityArchive, RejectedFileKeepsWhateverItIsGiven) {
    CTempFolder folder;
    CActivityFileDataStorage rejected(folder.Path(), CActivityFileDataStorage::kRejectedName);
    EXPECT_EQ(rejected.GetFilePath(), folder / "KlendoActivity.rejected.dat");
    ASSERT_EQ(rejected.SaveData("<note>typed in by hand</note>"), 1);
    ASSERT_EQ(rejected.SaveData("<activity id=\"cut\">"), 1);
    std::string strText;
    ASSERT_EQ(rejected.ReadData(strText), 1);
    EXPECT_EQ(strText, "<note>typed in by hand</note><activity id=\"cut\">");
}

TEST(ActivityArchive, CompactDropsDoneRecordsAndKeepsWhatWasAppendedMeanwhile) {
    CLogCapture log;
    CTempFolder folder;
    CActivityFileDataStorage storage(folder.Path());
    for (const char* szId : {"a", "b", "c"})
        ASSERT_EQ(storage.SaveData(ActivityXml(szId)), 1);
    CArchiveSnapshot snapshot;
    ASSERT_EQ(storage.ReadSnapshot(snapshot), 1);
    ASSERT_EQ(snapshot.GetRecordCount(), 3u);
    ASSERT_EQ(storage.SaveData(ActivityXml("appended")), 1);
    // A crash during a later append leaves a torn tail behind the records appended meanwhile.
    std::string strTorn = Stored(ActivityXml("torn")).substr(0, 40);
    ASSERT_TRUE(Platform::AppendDurably(storage.GetFilePath(), strTorn));

    size_t nLeft = 0;
    ASSERT_EQ(storage.Compact(snapshot, {false, true, false}, nLeft), 1);
    EXPECT_EQ(ReadWholeFile(storage.GetFilePath()), Stored(ActivityXml("b") + ActivityXml("appended")));
    EXPECT_EQ(nLeft, 2u);
    EXPECT_TRUE(LogHas(log, "--W: KlendoActivity.dat ends in a torn record of 40 bytes, cut off:"));

    // Nothing to drop: the archive is not written at all.
    ASSERT_EQ(storage.ReadSnapshot(snapshot), 1);
    ino_t nInode = InodeOf(storage.GetFilePath());
    ASSERT_EQ(storage.Compact(snapshot, {true, true}, nLeft), 1);
    EXPECT_EQ(InodeOf(storage.GetFilePath()), nInode);
    EXPECT_EQ(nLeft, 2u);
}

TEST(ActivityArchive, CompactLeavesAnArchiveChangedByHandAsItIs) {
    CLogCapture log;
    CTempFolder folder;
    CActivityFileDataStorage storage(folder.Path());
    ASSERT_EQ(storage.SaveData(ActivityXml("a") + ActivityXml("b")), 1);
    CArchiveSnapshot snapshot;
    ASSERT_EQ(storage.ReadSnapshot(snapshot), 1);
    const std::string strEdited = Stored(ActivityXml("edited") + ActivityXml("b"));
    WriteWholeFile(storage.GetFilePath(), strEdited);
    size_t nLeft = 0;
    EXPECT_EQ(storage.Compact(snapshot, {false, true}, nLeft), 0);
    EXPECT_EQ(ReadWholeFile(storage.GetFilePath()), strEdited);
    std::filesystem::remove(storage.GetFilePath());
    EXPECT_EQ(storage.Compact(snapshot, {false, true}, nLeft), 0);
    EXPECT_FALSE(Exists(storage.GetFilePath())) << "a removed archive is not brought back";
    EXPECT_TRUE(
        LogHas(log, "--W: " + storage.GetFilePath() + " was changed by another program during the re-send"));
}

TEST(ActivityArchiveDeathTest, KillMidSaveLeavesWholeActivitiesAndTheNextSaveCutsTheFragment) {
    CTempFolder folder;
    std::string strRecord = ActivityXml("big", 256 * 1024);
    std::string strStored = Stored(strRecord);
    CActivityFileDataStorage storage(folder.Path());
    for (double dRecords : {0.5, 1.5, 2.7}) {
        ASSERT_EQ(storage.ClearData(), 1);
        auto nLimit = static_cast<size_t>(dRecords * static_cast<double>(strStored.size()));
        EXPECT_EXIT(SaveUntilKilledMidWrite(folder.Path(), strRecord, nLimit),
                    testing::KilledBySignal(SIGXFSZ), "");
        ASSERT_EQ(ReadWholeFile(storage.GetFilePath()).size(), nLimit) << "the killed save left its fragment";
        std::string strText;
        ASSERT_EQ(storage.ReadData(strText), 1);
        ASSERT_EQ(strText.size() % strRecord.size(), 0u) << "torn archive, limit " << dRecords << " records";
        auto nRecords = static_cast<size_t>(dRecords);
        EXPECT_EQ(strText.size() / strRecord.size(), nRecords) << "every save before the kill is kept";
        ASSERT_EQ(storage.SaveData(strRecord), 1);
        std::string strFile = ReadWholeFile(storage.GetFilePath());
        EXPECT_EQ(strFile.size(), (nRecords + 1) * strStored.size());
        CActivityList list;
        EXPECT_EQ(CKlendoActivityParser().ParseActivityFromString("<a>" + strText + strRecord + "</a>", list),
                  static_cast<int>(nRecords + 1));
    }
}

TEST(ActivityArchiveDeathTest, FailedAppendLeavesNoFragment) {
    CTempFolder folder;
    CActivityFileDataStorage storage(folder.Path());
    const std::string strFirst = Stored(ActivityXml("first"));
    ASSERT_EQ(storage.SaveData(ActivityXml("first")), 1);
    // A full disk in the middle of the append: the write fails instead of ending the process.
    auto appendPastTheLimit = [&] {
        std::signal(SIGXFSZ, SIG_IGN);
        LimitFileSize(strFirst.size() + 100);
        bool bRefused = storage.SaveData(ActivityXml("second", 4096)) == 0;
        std::_Exit(bRefused && ReadWholeFile(storage.GetFilePath()) == strFirst ? 0 : 1);
    };
    EXPECT_EXIT(appendPastTheLimit(), testing::ExitedWithCode(0), "");
}

TEST(ActivityArchiveDeathTest, KillDuringCompactionLeavesTheOldArchive) {
    CTempFolder folder;
    CActivityFileDataStorage storage(folder.Path());
    std::string strRecords;
    for (int i = 0; i < 4; ++i)
        strRecords += ActivityXml("r" + std::to_string(i), 64 * 1024);
    ASSERT_EQ(storage.SaveData(strRecords), 1);
    CArchiveSnapshot snapshot;
    ASSERT_EQ(storage.ReadSnapshot(snapshot), 1);
    auto compactPastTheLimit = [&] {
        LimitFileSize(100 * 1024);
        size_t nLeft = 0;
        storage.Compact(snapshot, {false, true, true, true}, nLeft);
        std::_Exit(0);
    };
    EXPECT_EXIT(compactPastTheLimit(), testing::KilledBySignal(SIGXFSZ), "");
    EXPECT_EQ(ReadWholeFile(storage.GetFilePath()), Stored(strRecords));
    size_t nLeft = 0;
    ASSERT_EQ(storage.Compact(snapshot, {false, true, true, true}, nLeft), 1)
        << "the leftover is no obstacle";
    EXPECT_EQ(nLeft, 3u);
    EXPECT_FALSE(Exists(storage.GetFilePath() + ".tmp"));
}
