#include "platform/FileAccess.h"
#include "platform/FileSystem.h"
#include "platform/FolderChecks.h"
#include "platform/InstanceLock.h"
#include "platform/Thread.h"
#include "platform/win32/HeldFile.h"
#include "platform/win32/UniqueHandle.h"
#include "platform/win32/WideText.h"
#include "support/HoldingWriter.h"
#include "support/TempFolder.h"
#include "support/Wine.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <vector>

namespace fs = std::filesystem;

using Platform::CFileBeneath;
using Resolution = CFileBeneath::Resolution;

namespace {

bool Move(const std::string& strFrom, const std::string& strTo, DWORD nFlags = 0) {
    return ::MoveFileExW(Win32::ToWide(strFrom).c_str(), Win32::ToWide(strTo).c_str(), nFlags) != FALSE;
}

// A symbolic link made with the system's own call, or a reason why none can be made here.
std::string MakeLink(const std::string& strTarget, const std::string& strLink, bool bFolder) {
    if (RunningUnderWine())
        return "Wine creates no reparse points and follows those made on the Linux side";
    DWORD nFlags = (bFolder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) | 0x2 /* without the privilege */;
    ::CreateSymbolicLinkW(Win32::ToWide(strLink).c_str(), Win32::ToWide(strTarget).c_str(), nFlags);
    DWORD nAttributes = ::GetFileAttributesW(Win32::ToWide(strLink).c_str());
    if (nAttributes == INVALID_FILE_ATTRIBUTES || (nAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        return "this account may not create symbolic links";
    return std::string();
}

class FileBeneathWindowsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(m_strRoot + "\\a\\b");
        fs::create_directories(m_folder / "outside\\b");
        WriteWholeFile(m_folder / "outside\\secret", "secret");
        WriteWholeFile(m_folder / "outside\\b\\secret", "secret");
    }

    CTempFolder m_folder;
    std::string m_strRoot = m_folder / "root";
};

} // namespace

// Either separator, dots, streams and a file in place of a folder: none reaches past the tree.
TEST_F(FileBeneathWindowsTest, NamesAreResolvedOnlyBelowTheRoot) {
    WriteWholeFile(m_strRoot + "\\a\\file", "a file, not a folder");
    WriteWholeFile(m_strRoot + "\\a\\b\\job.prn", "the job");
    CFileBeneath file;
    EXPECT_EQ(file.Resolve(m_strRoot, "a\\..\\..\\outside\\secret"), Resolution::Link);
    EXPECT_EQ(file.Resolve(m_strRoot, "a/../../outside/secret"), Resolution::Link);
    EXPECT_EQ(file.Resolve(m_strRoot, "..\\outside\\secret"), Resolution::Link);
    EXPECT_EQ(file.Resolve(m_strRoot, "a\\b\\job.prn:hidden"), Resolution::Link) << "a stream of the file";
    EXPECT_EQ(file.Resolve(m_strRoot, "a\\file\\job.prn"), Resolution::Missing);
    EXPECT_EQ(file.Resolve(m_strRoot, "a\\missing\\job.prn"), Resolution::Missing);
    EXPECT_EQ(file.Resolve(m_folder / "none", "job.prn"), Resolution::Missing);
    ASSERT_EQ(file.Resolve(m_strRoot, "a/b\\job.prn"), Resolution::Resolved);
    EXPECT_EQ(file.GetName(), "job.prn");
    ASSERT_TRUE(file.OpenHeld());
    std::string strContent;
    ASSERT_TRUE(file.ReadHeld(strContent, 1024));
    EXPECT_EQ(strContent, "the job");
    ASSERT_TRUE(file.ReadHeld(strContent, 3));
    EXPECT_EQ(strContent, "the");
}

// A hot folder deeper than the classic 260-character limit is watched like any other; its files must
// resolve too, or every job in it would be taken for a missing file.
TEST_F(FileBeneathWindowsTest, RootLongerThanTheClassicPathLimitResolves) {
    std::wstring wstrRoot = L"\\\\?\\" + Win32::ToWide(m_strRoot);
    for (int nLevel = 0; nLevel < 4; ++nLevel) {
        wstrRoot += L"\\" + std::wstring(80, L'd');
        ASSERT_TRUE(::CreateDirectoryW(wstrRoot.c_str(), nullptr)) << ::GetLastError();
    }
    std::string strRoot = Win32::FromWide(wstrRoot.substr(4));
    ASSERT_GT(strRoot.size(), 300u);
    Win32::CUniqueHandle job(
        ::CreateFileW((wstrRoot + L"\\job.prn").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    ASSERT_TRUE(job.IsValid());
    job.Reset();
    CFileBeneath file;
    EXPECT_EQ(file.Resolve(strRoot, "job.prn"), Resolution::Resolved);
    EXPECT_TRUE(file.OpenHeld());
}

// The folders of the path are held from Resolve on: none can be renamed away and replaced by another
// (a link, say) while the entry is used.
TEST_F(FileBeneathWindowsTest, FoldersOfTheResolvedPathCannotBeSwappedUntilTheEntryEnds) {
    WriteWholeFile(m_strRoot + "\\a\\b\\job.prn", "the job");
    auto pFile = std::make_unique<CFileBeneath>();
    ASSERT_EQ(pFile->Resolve(m_strRoot, "a\\b\\job.prn"), Resolution::Resolved);
    EXPECT_FALSE(Move(m_strRoot + "\\a\\b", m_strRoot + "\\a\\b.old"));
    EXPECT_FALSE(Move(m_strRoot + "\\a", m_strRoot + "\\a.old"));
    EXPECT_TRUE(Move(m_strRoot + "\\a\\b\\job.prn", m_strRoot + "\\a\\b\\moved.prn"))
        << "files in it move freely";
    pFile.reset();
    EXPECT_TRUE(Move(m_strRoot + "\\a\\b", m_strRoot + "\\a\\b.old"));
}

TEST_F(FileBeneathWindowsTest, ReparsePointInAnyFolderOfThePathOrAsTheEntryIsRefused) {
    std::string strWhyNot = MakeLink(m_folder / "outside", m_strRoot + "\\first", true);
    if (!strWhyNot.empty())
        GTEST_SKIP() << strWhyNot;
    ASSERT_EQ(MakeLink(m_folder / "outside\\b", m_strRoot + "\\a\\middle", true), "");
    ASSERT_EQ(MakeLink(m_folder / "outside\\secret", m_strRoot + "\\a\\job.prn", false), "");
    CFileBeneath file;
    EXPECT_EQ(file.Resolve(m_strRoot, "first\\secret"), Resolution::Link);
    EXPECT_EQ(file.Resolve(m_strRoot, "a\\middle\\secret"), Resolution::Link);
    ASSERT_EQ(file.Resolve(m_strRoot, "a\\job.prn"), Resolution::Resolved);
    EXPECT_EQ(file.GetKind(), Platform::FileKind::SymbolicLink);
    EXPECT_EQ(file.ProbeExclusiveOpen().state, Platform::OpenState::NotRegular);
    EXPECT_FALSE(file.OpenHeld());
    EXPECT_EQ(ReadWholeFile(m_folder / "outside\\secret"), "secret");
    std::vector<std::string> walked;
    EXPECT_TRUE(Platform::ForEachFileInTree(
        m_strRoot,
        [&](const std::string& strName, const Platform::CFileVersion&) { walked.push_back(strName); }));
    std::sort(walked.begin(), walked.end());
    EXPECT_EQ(walked, (std::vector<std::string>{"a\\job.prn", "a\\middle", "first"}))
        << "links handed on, never entered";
}

// The share-mode probe sees any other handle that may read or write the file, the agent's own hold
// included, and answers with the exact test.
TEST_F(FileBeneathWindowsTest, ProbeIsBusyWhileAnotherHandleIsOpen) {
    WriteWholeFile(m_strRoot + "\\job.prn", "half");
    CFileBeneath file;
    ASSERT_EQ(file.Resolve(m_strRoot, "job.prn"), Resolution::Resolved);
    {
        CHoldingWriter writer(m_strRoot + "\\job.prn", " and the rest");
        ASSERT_TRUE(writer.IsHolding());
        EXPECT_EQ(file.ProbeExclusiveOpen().state, Platform::OpenState::Busy);
    }
    Platform::CProbeResult probe = file.ProbeExclusiveOpen();
    EXPECT_EQ(probe.state, Platform::OpenState::Free);
    EXPECT_EQ(probe.test, Platform::WriteCompleteTest::WriteLease);
    EXPECT_EQ(probe.version.nSize, std::string("half and the rest").size());

    ASSERT_TRUE(file.OpenHeld());
    EXPECT_EQ(file.ProbeExclusiveOpen().state, Platform::OpenState::Busy) << "the own hold";
    file.ReleaseHeld();
    EXPECT_EQ(file.ProbeExclusiveOpen().state, Platform::OpenState::Free);

    CFileBeneath folder;
    ASSERT_EQ(folder.Resolve(m_strRoot, "a"), Resolution::Resolved);
    EXPECT_EQ(folder.ProbeExclusiveOpen().state, Platform::OpenState::NotRegular);
    EXPECT_EQ(folder.GetKind(), Platform::FileKind::Other);
}

// While the file is held nobody may write to it, so the copy, the count and the removal all see one
// content; others may still read it, and the holder may remove it.
TEST_F(FileBeneathWindowsTest, HeldFileRefusesWritersButNotReadersAndIsRemovedByItsHolder) {
    WriteWholeFile(m_strRoot + "\\job.prn", "job");
    CFileBeneath file;
    ASSERT_EQ(file.Resolve(m_strRoot, "job.prn"), Resolution::Resolved);
    ASSERT_TRUE(file.OpenHeld());
    CHoldingWriter lateWriter(m_strRoot + "\\job.prn", "more");
    EXPECT_FALSE(lateWriter.IsHolding());
    EXPECT_EQ(ReadWholeFile(m_strRoot + "\\job.prn"), "job");
    EXPECT_FALSE(file.HasHeldFileChanged());
    std::string strOwner;
    std::string strDomain;
    EXPECT_EQ(file.GetHeldOwner(strOwner, strDomain), Platform::OwnerLookup::Found);
    EXPECT_FALSE(strOwner.empty());
    EXPECT_FALSE(strDomain.empty());
    // The name goes with the removal, also where deletion waits for the last handle (Wine).
    EXPECT_EQ(file.Remove(), Platform::RemoveResult::Removed);
    EXPECT_FALSE(fs::exists(m_strRoot + "\\job.prn"));
}

TEST_F(FileBeneathWindowsTest, CopyIsRenamedIntoPlaceWholeAndAFailedOneLeavesNothing) {
    WriteWholeFile(m_strRoot + "\\a\\job.prn", std::string(3 << 20, 'x') + "end");
    std::string strDestination = m_folder / "dst";
    fs::create_directories(strDestination + "\\a\\folder.prn");
    WriteWholeFile(strDestination + "\\a\\job.prn", "an older copy");
    CFileBeneath source;
    ASSERT_EQ(source.Resolve(m_strRoot, "a\\job.prn"), Resolution::Resolved);
    ASSERT_TRUE(source.OpenHeld());
    CFileBeneath destination;
    ASSERT_EQ(destination.Resolve(strDestination, "a\\job.prn"), Resolution::Resolved);
    ASSERT_TRUE(source.CopyHeldTo(destination));
    EXPECT_EQ(ReadWholeFile(strDestination + "\\a\\job.prn"), std::string(3 << 20, 'x') + "end");

    CFileBeneath blocked;
    ASSERT_EQ(blocked.Resolve(strDestination, "a\\folder.prn"), Resolution::Resolved);
    Platform::SetLastError(0);
    EXPECT_FALSE(source.CopyHeldTo(blocked)) << "a folder stands at the name";
    EXPECT_NE(Platform::GetLastError(), 0);
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(strDestination + "\\a"))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"folder.prn", "job.prn"})) << "no temporary file is left";
}

TEST_F(FileBeneathWindowsTest, RemovalLeavesAFileThatTookTheNameMeanwhile) {
    WriteWholeFile(m_strRoot + "\\job.prn", "first job");
    CFileBeneath source;
    ASSERT_EQ(source.Resolve(m_strRoot, "job.prn"), Resolution::Resolved);
    ASSERT_TRUE(source.OpenHeld());
    ASSERT_TRUE(Move(m_strRoot + "\\job.prn", m_strRoot + "\\a\\aside.prn")) << "the held file moves away";
    WriteWholeFile(m_strRoot + "\\job.prn", "second job");
    EXPECT_EQ(source.Remove(), Platform::RemoveResult::Replaced);
    EXPECT_EQ(ReadWholeFile(m_strRoot + "\\job.prn"), "second job");

    // The copy in the destination is remembered too: a newer file at its name stays.
    CFileBeneath destination;
    ASSERT_EQ(destination.Resolve(m_folder / "outside", "job.prn"), Resolution::Resolved);
    ASSERT_TRUE(source.CopyHeldTo(destination));
    WriteWholeFile(m_folder / "outside\\newer.prn", "newer");
    ASSERT_TRUE(
        Move(m_folder / "outside\\newer.prn", m_folder / "outside\\job.prn", MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(destination.Remove(), Platform::RemoveResult::Replaced);
    EXPECT_EQ(ReadWholeFile(m_folder / "outside\\job.prn"), "newer");
}

TEST_F(FileBeneathWindowsTest, RenameNeverReplacesAndCountsBeforeTheExtension) {
    WriteWholeFile(m_strRoot + "\\a\\FATAL-0042.klendo", "the first hung job");
    WriteWholeFile(m_strRoot + "\\a\\ppr0042.tmp", "the second hung job");
    CFileBeneath file;
    ASSERT_EQ(file.Resolve(m_strRoot, "a\\ppr0042.tmp"), Resolution::Resolved);
    ASSERT_TRUE(file.OpenHeld());
    std::string strNewName = "a\\FATAL-0042.klendo";
    ASSERT_TRUE(file.MoveToFreeName(strNewName));
    EXPECT_EQ(strNewName, "a\\FATAL-0042_2.klendo");
    EXPECT_EQ(ReadWholeFile(m_strRoot + "\\a\\FATAL-0042.klendo"), "the first hung job");
    EXPECT_EQ(ReadWholeFile(m_strRoot + "\\a\\FATAL-0042_2.klendo"), "the second hung job");
    std::string strEscape = "..\\outside\\moved";
    EXPECT_FALSE(file.MoveToFreeName(strEscape));
    EXPECT_FALSE(fs::exists(m_folder / "outside\\moved"));
    EXPECT_EQ(file.Remove(), Platform::RemoveResult::Removed) << "the entry follows its new name";
}

TEST(PartialCopiesWindows, CopiesOfEarlierRunsAreRemovedButNotThoseInProgress) {
    CTempFolder folder;
    std::string strRoot = folder / "dst";
    fs::create_directories(strRoot + "\\sub");
    WriteWholeFile(strRoot + "\\sub\\.job.prn.1a2.3.klendo-part", "half");
    WriteWholeFile(strRoot + "\\.notes.klendo-part", "a user's file without the copy's numbers");
    std::string strInProgress = CFileBeneath::PartialCopyName("job.prn");
    WriteWholeFile(strRoot + "\\sub\\" + strInProgress, "a copy of this run, being written");
    std::vector<std::string> removed;
    CFileBeneath::RemovePartialCopies(strRoot, removed, nullptr);
    EXPECT_EQ(removed, std::vector<std::string>{"sub\\.job.prn.1a2.3.klendo-part"});
    EXPECT_TRUE(fs::exists(strRoot + "\\.notes.klendo-part"));
    EXPECT_TRUE(fs::exists(strRoot + "\\sub\\" + strInProgress));
}

// The lock is the install folder's, however the folder is written.
TEST(InstanceLockWindows, EverySpellingOfTheFolderNamesOneLock) {
    CTempFolder folder;
    fs::create_directories(folder / "Install");
    Platform::CInstanceLock first;
    ASSERT_EQ(first.Take(folder / "Install"), Platform::CInstanceLock::Result::Taken);
    std::string strOther = folder / "INSTALL\\";
    std::replace(strOther.begin(), strOther.end(), '\\', '/');
    Platform::CInstanceLock second;
    EXPECT_EQ(second.Take(strOther), Platform::CInstanceLock::Result::HeldElsewhere);
    Platform::CInstanceLock elsewhere;
    fs::create_directories(folder / "Other");
    EXPECT_EQ(elsewhere.Take(folder / "Other"), Platform::CInstanceLock::Result::Taken);
}

// A drive's root keeps its separator: without it, "C:" names the current folder of the drive.
TEST(FileSystemWindows, FolderOfKeepsRootsWholeAndResolvingNeverClimbsAboveOne) {
    EXPECT_EQ(Platform::FolderOf("C:\\agent.log"), "C:\\");
    EXPECT_EQ(Platform::FolderOf("C:\\Klendo\\agent.log"), "C:\\Klendo");
    EXPECT_EQ(Platform::FolderOf("C:/Klendo/agent.log"), "C:/Klendo");
    EXPECT_EQ(Platform::FolderOf("\\\\server\\share\\agent.log"), "\\\\server\\share");
    EXPECT_EQ(Platform::FolderOf("agent.log"), ".");
    CTempFolder folder;
    std::string strClimb = folder.Path();
    for (int i = 0; i < 40; ++i)
        strClimb += "\\..";
    std::string strRoot = Platform::ResolvePath(strClimb);
    EXPECT_EQ(strRoot, folder.Path().substr(0, 3)) << "the drive's root";
}

// The launcher hands the held handle to a parser, which reads from the handle's position: reading and
// copying the held file must leave that position at the start, as pread does on Linux.
TEST_F(FileBeneathWindowsTest, ReadingAndCopyingTheHeldFileLeaveItsPositionAlone) {
    WriteWholeFile(m_strRoot + "\\job.prn", "0123456789");
    CFileBeneath source;
    ASSERT_EQ(source.Resolve(m_strRoot, "job.prn"), Resolution::Resolved);
    ASSERT_TRUE(source.OpenHeld());
    std::string strContent;
    ASSERT_TRUE(source.ReadHeld(strContent, 4));
    CFileBeneath destination;
    ASSERT_EQ(destination.Resolve(m_folder / "outside", "job.prn"), Resolution::Resolved);
    ASSERT_TRUE(source.CopyHeldTo(destination));
    char szBuffer[16] = {};
    DWORD nRead = 0;
    ASSERT_TRUE(
        ::ReadFile(Platform::CHeldFileAccess::Handle(source), szBuffer, sizeof(szBuffer), &nRead, nullptr));
    EXPECT_EQ(std::string(szBuffer, nRead), "0123456789");
}
