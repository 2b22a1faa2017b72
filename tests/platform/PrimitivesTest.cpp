#include "platform/Accounts.h"
#include "platform/Clock.h"
#include "platform/Environment.h"
#include "platform/EventLog.h"
#include "platform/ExclusiveFile.h"
#include "platform/FileReplacement.h"
#include "platform/FileSystem.h"
#include "platform/FileSystemKind.h"
#include "platform/FolderChecks.h"
#include "platform/Guid.h"
#include "platform/InstanceLock.h"
#include "platform/Thread.h"
#include "support/TempFolder.h"
#include "support/Wine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <regex>
#include <set>
#include <thread>

namespace fs = std::filesystem;

using Platform::CInstanceLock;

TEST(InstanceLock, SecondHolderIsRefusedUntilTheFirstLetsGoAndNoFileIsMade) {
    CTempFolder folder;
    auto pFirst = std::make_unique<CInstanceLock>();
    ASSERT_EQ(pFirst->Take(folder.Path()), CInstanceLock::Result::Taken);
    EXPECT_EQ(pFirst->Take(folder.Path()), CInstanceLock::Result::Taken) << "its holder takes it again";
    CInstanceLock second;
    EXPECT_EQ(second.Take(folder.Path()), CInstanceLock::Result::HeldElsewhere);
    EXPECT_NE(Platform::GetLastError(), 0);
    pFirst.reset();
    EXPECT_EQ(second.Take(folder.Path()), CInstanceLock::Result::Taken);
    EXPECT_TRUE(fs::is_empty(folder.Path()));
}

TEST(InstanceLock, FolderThatCannotBeOpenedFailsWithItsError) {
    CTempFolder folder;
    WriteWholeFile(folder / "file", "not a folder");
    for (const std::string& strFolder : {folder / "missing", folder / "file"}) {
        CInstanceLock lock;
        Platform::SetLastError(0);
        EXPECT_EQ(lock.Take(strFolder), CInstanceLock::Result::Failed) << strFolder;
        EXPECT_NE(Platform::GetLastError(), 0) << strFolder;
    }
}

TEST(ExclusiveFile, OneHolderAtATimeAndNobodyWaits) {
    CTempFolder folder;
    std::string strPath = folder / "archive";
    Platform::CExclusiveFile first;
    EXPECT_FALSE(first.Open(strPath, false)) << "missing and not to be created";
    ASSERT_TRUE(first.Open(strPath, true, true));
    Platform::CExclusiveFile second;
    EXPECT_FALSE(second.Open(strPath, false));
    first.Close();
    EXPECT_TRUE(second.Open(strPath, false));
    Platform::CExclusiveFile third;
    EXPECT_FALSE(third.Open(strPath, false)) << "holders that only read exclude each other too";
}

TEST(ExclusiveFile, AppendedBytesReachTheFileAndACutRemovesThem) {
    CTempFolder folder;
    std::string strPath = folder / "archive";
    Platform::CExclusiveFile file;
    ASSERT_TRUE(file.Open(strPath, true, true));
    ASSERT_TRUE(file.AppendDurably("hello ", 6));
    ASSERT_TRUE(file.AppendDurably("world", 5));
    EXPECT_EQ(ReadWholeFile(strPath), "hello world");
    EXPECT_EQ(file.GetSize(), 11);
    char szBuffer[16] = {};
    EXPECT_EQ(file.ReadAt(6, szBuffer, sizeof(szBuffer)), 5);
    EXPECT_EQ(std::string(szBuffer, 5), "world");
    EXPECT_EQ(file.ReadAt(11, szBuffer, sizeof(szBuffer)), 0) << "the end";
    ASSERT_TRUE(file.Truncate(5));
    EXPECT_EQ(ReadWholeFile(strPath), "hello");

    Platform::CExclusiveFile reader;
    file.Close();
    ASSERT_TRUE(reader.Open(strPath, false));
    EXPECT_FALSE(reader.AppendDurably("x", 1)) << "opened for reading only";
    EXPECT_NE(Platform::GetLastError(), 0);
    EXPECT_EQ(reader.Read(szBuffer, sizeof(szBuffer)), 5);
    EXPECT_EQ(ReadWholeFile(strPath), "hello");
}

// The holder of the archive replaces it by renaming a new file over it: a later Open must hold the
// new file, whoever still has the old one open.
TEST(ExclusiveFile, OpenAfterAReplacementHoldsTheNewFile) {
    if (RunningUnderWine())
        GTEST_SKIP() << "Wine cannot rename a file over one that another handle holds (error 5)";
    CTempFolder folder;
    std::string strPath = folder / "archive";
    WriteWholeFile(strPath, "old");
    Platform::CExclusiveFile holder;
    ASSERT_TRUE(holder.Open(strPath, false, true));
    Platform::CFileReplacement replacement;
    ASSERT_TRUE(replacement.Begin(strPath));
    ASSERT_TRUE(replacement.Write("new", 3));
    ASSERT_TRUE(replacement.Commit()) << Platform::GetLastError();
    Platform::CExclusiveFile next;
    ASSERT_TRUE(next.Open(strPath, false));
    char szBuffer[8] = {};
    EXPECT_EQ(next.Read(szBuffer, sizeof(szBuffer)), 3);
    EXPECT_EQ(std::string(szBuffer, 3), "new");
}

TEST(FileReplacement, PathKeepsItsOldContentUntilTheCommitAndNothingIsLeftBeside) {
    CTempFolder folder;
    std::string strPath = folder / "state.dat";
    WriteWholeFile(strPath, "old");
    {
        Platform::CFileReplacement abandoned;
        ASSERT_TRUE(abandoned.Begin(strPath));
        ASSERT_TRUE(abandoned.Write("half", 4));
        EXPECT_EQ(ReadWholeFile(strPath), "old");
    }
    EXPECT_EQ(ReadWholeFile(strPath), "old");
    EXPECT_FALSE(fs::exists(strPath + ".tmp"));

    Platform::CFileReplacement replacement;
    ASSERT_TRUE(replacement.Begin(strPath));
    ASSERT_TRUE(replacement.Write("new ", 4));
    ASSERT_TRUE(replacement.Write("content", 7));
    ASSERT_TRUE(replacement.Commit());
    EXPECT_EQ(ReadWholeFile(strPath), "new content");
    EXPECT_FALSE(fs::exists(strPath + ".tmp"));
}

TEST(FileReplacement, FailedCommitLeavesThePathAloneAndTellsWhy) {
    CTempFolder folder;
    // A folder in the way makes the rename fail after the content was written.
    std::string strPath = folder / "busy";
    fs::create_directories(strPath + "/inside");
    Platform::CFileReplacement replacement;
    ASSERT_TRUE(replacement.Begin(strPath));
    ASSERT_TRUE(replacement.Write("new", 3));
    Platform::SetLastError(0);
    EXPECT_FALSE(replacement.Commit());
    EXPECT_NE(Platform::GetLastError(), 0);
    EXPECT_TRUE(fs::is_directory(strPath + "/inside"));
    EXPECT_FALSE(fs::exists(strPath + ".tmp"));

    Platform::CFileReplacement nowhere;
    Platform::SetLastError(0);
    EXPECT_FALSE(nowhere.Begin(folder / "missing/state.dat"));
    EXPECT_NE(Platform::GetLastError(), 0);
    EXPECT_FALSE(nowhere.Write("x", 1));
    EXPECT_FALSE(nowhere.Commit());
}

TEST(FileSystem, FilesAreAppendedMovedAndRemovedWithTheirErrorsTold) {
    CTempFolder folder;
    std::string strLog = folder / "agent.log";
    Platform::SetLastError(0);
    EXPECT_FALSE(Platform::AppendDurably(strLog, "line\n")) << "missing and not to be created";
    EXPECT_NE(Platform::GetLastError(), 0);
    ASSERT_TRUE(Platform::AppendDurably(strLog, "first\n", true));
    std::FILE* pStream = Platform::OpenAppendStream(strLog);
    ASSERT_NE(pStream, nullptr);
    std::fputs("second\n", pStream);
    std::fclose(pStream);
    EXPECT_EQ(ReadWholeFile(strLog), "first\nsecond\n") << "appended, never truncated";
    EXPECT_TRUE(Platform::FlushFolderEntry(strLog));

    WriteWholeFile(folder / "agent.old", "older");
    ASSERT_TRUE(Platform::MovePath(strLog, folder / "agent.old"));
    EXPECT_EQ(ReadWholeFile(folder / "agent.old"), "first\nsecond\n");
    EXPECT_FALSE(Platform::PathExists(strLog));
    EXPECT_FALSE(Platform::IsDirectory(folder / "agent.old"));
    EXPECT_TRUE(Platform::IsDirectory(folder.Path()));
    ASSERT_TRUE(Platform::RemoveFile(folder / "agent.old"));
    Platform::SetLastError(0);
    EXPECT_FALSE(Platform::RemoveFile(folder / "agent.old"));
    EXPECT_NE(Platform::GetLastError(), 0);
    EXPECT_FALSE(Platform::MovePath(strLog, folder / "anywhere"));
    EXPECT_EQ(Platform::OpenAppendStream(folder / "missing/agent.log"), nullptr);
}

TEST(ModuleFolder, NamesTheFolderOfTheRunningExecutable) {
    fs::path executable = Platform::GetModuleFilePath();
    EXPECT_TRUE(executable.is_absolute()) << executable;
    EXPECT_TRUE(fs::is_regular_file(executable)) << executable;
    EXPECT_EQ(executable.stem(), "platform_tests");
    EXPECT_TRUE(fs::equivalent(Platform::GetModuleFolder(), executable.parent_path()));
}

TEST(FolderChecks, PathsAreResolvedAndFoldersOfThisProcessAreUsable) {
    CTempFolder folder;
    fs::create_directories(folder / "a/b");
    std::string strResolved = Platform::ResolvePath(folder / "a/b/../b/.");
    EXPECT_EQ(fs::path(strResolved), fs::canonical(folder / "a/b"));
    Platform::SetLastError(0);
    EXPECT_EQ(Platform::ResolvePath(folder / "missing/.."), "");
    EXPECT_NE(Platform::GetLastError(), 0);
    EXPECT_TRUE(Platform::CanReadFolder(folder / "a"));
    EXPECT_TRUE(Platform::CanWriteFolder(folder / "a"));
    EXPECT_FALSE(Platform::CanReadFolder(folder / "missing"));
    EXPECT_FALSE(Platform::CanWriteFolder(folder / "missing"));
    EXPECT_FALSE(Platform::GetProcessUserName().empty());
}

// A local folder is never taken for a network one, and a path that cannot be asked about is local.
TEST(FileSystemKind, LocalAndMissingPathsHaveNoNetworkName) {
    CTempFolder folder;
    EXPECT_EQ(Platform::GetNetworkFileSystemName(folder / "missing"), "");
}

TEST(Guid, IsLowerCaseHexInTheUsualGroupsAndNeverRepeats) {
    const std::regex format("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        std::string strGuid;
        ASSERT_TRUE(Platform::CreateGuid(strGuid));
        ASSERT_TRUE(std::regex_match(strGuid, format)) << strGuid;
        ASSERT_TRUE(seen.insert(strGuid).second) << strGuid << " came twice";
    }
}

TEST(ThreadId, EachThreadHasItsOwnIdAndItsOwnLastError) {
    int nMain = Platform::GetThreadId();
    EXPECT_GT(nMain, 0);
    EXPECT_EQ(Platform::GetThreadId(), nMain);
    int nOther = 0;
    std::atomic<bool> bOtherSet{false};
    std::thread other([&] {
        nOther = Platform::GetThreadId();
        Platform::SetLastError(7);
        bOtherSet = true;
    });
    // Set after the start and read before the join: both may change the caller's own last error
    // (winpthreads does on Windows). The loop makes no system call that could.
    Platform::SetLastError(42);
    while (!bOtherSet)
        ;
    int nMainError = Platform::GetLastError();
    other.join();
    EXPECT_NE(nOther, nMain);
    EXPECT_EQ(nMainError, 42);
}

TEST(SystemClock, WaitEndsAtItsDeadlineAndTimeNeverGoesBack) {
    Platform::IClock& clock = *Platform::RealEnvironment().pClock;
    int64_t nStart = clock.GetMonotonicMilliseconds();
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock<std::mutex> lock(mutex);
    int64_t nDeadline = clock.DeadlineAfter(30);
    EXPECT_FALSE(clock.WaitUntil(lock, wake, nDeadline, [] { return false; }));
    int64_t nEnd = clock.GetMonotonicMilliseconds();
    EXPECT_GE(nEnd, nDeadline) << "not a moment early";
    EXPECT_GE(nEnd, nStart);
    EXPECT_EQ(clock.DeadlineAfter(Platform::IClock::kNever), Platform::IClock::kNever);
}

TEST(SystemClock, WakeUpEndsAWaitThatHasNoDeadline) {
    Platform::IClock& clock = *Platform::RealEnvironment().pClock;
    std::mutex mutex;
    std::condition_variable_any wake;
    bool bDone = false;
    std::thread waker([&] {
        std::lock_guard<std::mutex> guard(mutex);
        bDone = true;
        wake.notify_all();
    });
    std::unique_lock<std::mutex> lock(mutex);
    EXPECT_TRUE(clock.WaitUntil(lock, wake, Platform::IClock::kNever, [&] { return bDone; }));
    lock.unlock();
    waker.join();
}

TEST(EventLog, ConsoleLinesArriveWholeAndInOrder) {
    Platform::IEventLog& log = *Platform::RealEnvironment().pEventLog;
    testing::internal::CaptureStdout();
    log.PrintLine("--I: agent started");
    log.PrintLine("");
    log.PrintLine("100% done");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "--I: agent started\n\n100% done\n");
}

TEST(HostComputerName, IsCutToTheLengthAsked) {
    EXPECT_FALSE(Platform::GetHostComputerName().empty());
    EXPECT_LE(Platform::GetHostComputerName().size(), 15u);
    EXPECT_EQ(Platform::GetHostComputerName(3), Platform::GetHostComputerName().substr(0, 3));
}
