#include "activity/ActivityFileDataStorage.h"
#include "activity/KlendoActivityParser.h"
#include "activity/LogCapture.h"
#include "platform/ExclusiveFile.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>
#include <vector>

namespace {

bool Exists(const std::string& strPath) {
    return std::filesystem::exists(strPath);
}

// The XML of one activity whose notes make it nBytes long or more.
std::string BigActivityXml(size_t nBytes) {
    CActivity activity;
    activity.m_strId = CreateGuidString();
    activity.m_billing.m_strNotes.reserve(nBytes);
    while (activity.m_billing.m_strNotes.size() < nBytes)
        activity.m_billing.m_strNotes += "a note line\n";
    return CKlendoActivityParser().BuildActivityXML(activity);
}

// Saves strText again and again until the kernel kills the process in the middle of a write: the
// first write that would take a file past nLimit bytes raises SIGXFSZ, which ends the process at once,
// the way a crash would.
[[noreturn]] void SaveUntilKilledMidWrite(const std::string& strFolder, const std::string& strText,
                                          size_t nLimit) {
    struct rlimit noCore = {0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    struct rlimit fileSize = {nLimit, nLimit};
    ::setrlimit(RLIMIT_FSIZE, &fileSize);
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
    EXPECT_EQ(CActivityFileDataStorage(folder.Path() + "/").SaveData("B\r\n\n"), 1);
    EXPECT_EQ(ReadWholeFile(strPath), "<activity id=\"A\">\r\nx</activity>B\r\r\n\r\n");

    std::string strText = "untouched";
    EXPECT_EQ(storage.ReadData(strText), 1);
    EXPECT_EQ(strText, "<activity id=\"A\">\nx</activity>B\r\n\n");

    EXPECT_EQ(storage.ReplaceData("C\nD"), 1);
    EXPECT_EQ(ReadWholeFile(strPath), "C\r\nD");
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
    ASSERT_EQ(storage.SaveData("A"), 1);
    {
        Platform::CExclusiveFile other;
        ASSERT_TRUE(other.Open(storage.GetFilePath(), false));
        std::string strText = "untouched";
        EXPECT_EQ(storage.SaveData("B"), 0);
        EXPECT_EQ(storage.ClearData(), 0);
        EXPECT_EQ(storage.ReplaceData("C"), 0);
        EXPECT_EQ(storage.ReadData(strText), 0);
        EXPECT_EQ(strText, "untouched");
        EXPECT_EQ(ReadWholeFile(storage.GetFilePath()), "A");
    }
    EXPECT_TRUE(log.Messages().empty()) << "a busy archive is the caller's to log";
    EXPECT_EQ(storage.SaveData("B"), 1);
    EXPECT_EQ(ReadWholeFile(storage.GetFilePath()), "AB");
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

TEST(ActivityArchive, SaveWaitsWhileAReSendHoldsTheLockFromReadToClear) {
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

TEST(ActivityArchiveDeathTest, KillMidSaveLeavesWholeActivities) {
    CTempFolder folder;
    std::string strRecord = BigActivityXml(256 * 1024);
    CActivityFileDataStorage storage(folder.Path());
    for (double dRecords : {0.5, 1.5, 2.7}) {
        ASSERT_EQ(storage.ClearData(), 1);
        auto nLimit = static_cast<size_t>(dRecords * static_cast<double>(strRecord.size()));
        EXPECT_EXIT(SaveUntilKilledMidWrite(folder.Path(), strRecord, nLimit),
                    testing::KilledBySignal(SIGXFSZ), "");
        std::string strText;
        ASSERT_EQ(storage.ReadData(strText), 1);
        ASSERT_EQ(strText.size() % strRecord.size(), 0u) << "torn archive, limit " << dRecords << " records";
        int nRecords = static_cast<int>(strText.size() / strRecord.size());
        EXPECT_EQ(nRecords, static_cast<int>(dRecords)) << "every save before the kill is kept";
        if (nRecords > 0) {
            CActivityList list;
            EXPECT_EQ(CKlendoActivityParser().ParseActivityFromString("<a>" + strText + "</a>", list),
                      nRecords);
        }
        EXPECT_EQ(storage.SaveData(strRecord), 1) << "the leftover of the killed save is no obstacle";
    }
}
