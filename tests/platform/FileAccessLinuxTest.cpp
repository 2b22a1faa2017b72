#include "platform/FileAccess.h"
#include "platform/FileReplacement.h"
#include "platform/Thread.h"
#include "platform/posix/FileAccessForTest.h"
#include "support/HoldingWriter.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

using Platform::CFileBeneath;
using Platform::Posix::PathResolution;
using Resolution = CFileBeneath::Resolution;

namespace {

// Every test runs once with each way of resolving, forced, and checks the way that ran: a test that
// passes because the kernel took the other way proves nothing.
class FileBeneathTest : public ::testing::TestWithParam<PathResolution> {
  protected:
    void SetUp() override {
        Platform::Posix::SetPathResolutionForTest(GetParam());
        fs::create_directories(m_strRoot + "/a/b");
        fs::create_directories(m_folder / "outside/b");
        WriteWholeFile(m_folder / "outside/secret", "secret");
        WriteWholeFile(m_folder / "outside/b/secret", "secret");
    }
    void TearDown() override { Platform::Posix::SetPathResolutionForTest(PathResolution::Automatic); }

    Resolution Resolve(CFileBeneath& file, const std::string& strRelative, const std::string& strRoot = "") {
        Resolution result = file.Resolve(strRoot.empty() ? m_strRoot : strRoot, strRelative);
        if (strRelative.find('/') != std::string::npos) {
            EXPECT_EQ(Platform::CFileBeneathForTest::ResolutionOf(file), GetParam())
                << "the forced way resolved " << strRelative;
        }
        return result;
    }

    CTempFolder m_folder;
    std::string m_strRoot = m_folder / "root";
};

std::string ResolutionName(const ::testing::TestParamInfo<PathResolution>& info) {
    return info.param == PathResolution::KernelBeneath ? "KernelBeneath" : "ComponentWalk";
}

} // namespace

INSTANTIATE_TEST_SUITE_P(BothWays, FileBeneathTest,
                         ::testing::Values(PathResolution::KernelBeneath, PathResolution::ComponentWalk),
                         ResolutionName);

TEST_P(FileBeneathTest, LinkInAnyFolderOfThePathIsRefused) {
    fs::create_directory_symlink(m_folder / "outside", m_strRoot + "/first");
    fs::create_directory_symlink(m_folder / "outside/b", m_strRoot + "/a/middle");
    fs::create_directory_symlink("../../outside", m_strRoot + "/a/relative");
    CFileBeneath file;
    EXPECT_EQ(Resolve(file, "first/secret"), Resolution::Link);
    EXPECT_EQ(Resolve(file, "a/middle/secret"), Resolution::Link);
    EXPECT_EQ(Resolve(file, "a/relative/secret"), Resolution::Link);
    EXPECT_EQ(Resolve(file, "a/../../outside/secret"), Resolution::Link) << "a name that climbs out";
    EXPECT_EQ(Resolve(file, "a/missing/x"), Resolution::Missing);
    EXPECT_EQ(Resolve(file, "a/b/x"), Resolution::Resolved);
    EXPECT_EQ(file.GetKind(), Platform::FileKind::Missing);
}

TEST_P(FileBeneathTest, LinkAsTheEntryItselfIsSeenAndNeverOpened) {
    fs::create_symlink(m_folder / "outside/secret", m_strRoot + "/a/job.prn");
    CFileBeneath file;
    ASSERT_EQ(Resolve(file, "a/job.prn"), Resolution::Resolved);
    EXPECT_EQ(file.GetKind(), Platform::FileKind::SymbolicLink);
    EXPECT_FALSE(file.OpenHeld());
    EXPECT_EQ(file.ProbeExclusiveOpen().state, Platform::OpenState::NotRegular);
}

TEST_P(FileBeneathTest, FolderSwappedForALinkAfterResolveDoesNotRedirect) {
    WriteWholeFile(m_strRoot + "/a/b/job.prn", "the job");
    CFileBeneath source;
    ASSERT_EQ(Resolve(source, "a/b/job.prn"), Resolution::Resolved);
    // The folder of the job is swapped for a link to a folder holding a file of the same name.
    fs::rename(m_strRoot + "/a/b", m_strRoot + "/a/b.old");
    WriteWholeFile(m_folder / "outside/b/job.prn", "not the job");
    fs::create_directory_symlink(m_folder / "outside/b", m_strRoot + "/a/b");
    ASSERT_TRUE(source.OpenHeld());
    std::string strContent;
    ASSERT_TRUE(source.ReadHeld(strContent, 1024));
    EXPECT_EQ(strContent, "the job");
    EXPECT_EQ(source.Remove(), Platform::RemoveResult::Removed);
    EXPECT_FALSE(fs::exists(m_strRoot + "/a/b.old/job.prn"));
    EXPECT_EQ(ReadWholeFile(m_folder / "outside/b/job.prn"), "not the job");
}

TEST_P(FileBeneathTest, CopyAppearsWholeReplacesALinkAndWritesNothingThroughIt) {
    WriteWholeFile(m_strRoot + "/a/job.prn", "payload");
    std::string strDestination = m_folder / "dst";
    fs::create_directories(strDestination + "/a");
    fs::create_symlink(m_folder / "outside/secret", strDestination + "/a/job.prn");
    fs::create_directory_symlink(m_folder / "outside", strDestination + "/linked");
    CFileBeneath source;
    ASSERT_EQ(Resolve(source, "a/job.prn"), Resolution::Resolved);
    ASSERT_TRUE(source.OpenHeld());
    CFileBeneath throughLink;
    EXPECT_EQ(Resolve(throughLink, "linked/job.prn", strDestination), Resolution::Link);
    CFileBeneath destination;
    ASSERT_EQ(Resolve(destination, "a/job.prn", strDestination), Resolution::Resolved);
    ASSERT_TRUE(source.CopyHeldTo(destination));
    EXPECT_FALSE(fs::is_symlink(strDestination + "/a/job.prn"));
    EXPECT_EQ(ReadWholeFile(strDestination + "/a/job.prn"), "payload");
    EXPECT_EQ(ReadWholeFile(m_folder / "outside/secret"), "secret");
    EXPECT_EQ(std::distance(fs::directory_iterator(strDestination + "/a"), fs::directory_iterator()), 1)
        << "no temporary file is left beside the copy";
}

TEST_P(FileBeneathTest, RemovalLeavesAFileThatTookTheNameMeanwhile) {
    WriteWholeFile(m_strRoot + "/job.prn", "first job");
    CFileBeneath source;
    ASSERT_EQ(Resolve(source, "job.prn"), Resolution::Resolved);
    ASSERT_TRUE(source.OpenHeld());
    WriteWholeFile(m_strRoot + "/next.prn", "second job");
    fs::rename(m_strRoot + "/next.prn", m_strRoot + "/job.prn");
    EXPECT_EQ(source.Remove(), Platform::RemoveResult::Replaced);
    EXPECT_EQ(ReadWholeFile(m_strRoot + "/job.prn"), "second job");
}

TEST_P(FileBeneathTest, RenameNeverReplacesAndCountsBeforeTheExtension) {
    WriteWholeFile(m_strRoot + "/a/FATAL-0042.klendo", "the first hung job");
    WriteWholeFile(m_strRoot + "/a/ppr0042.tmp", "the second hung job");
    CFileBeneath file;
    ASSERT_EQ(Resolve(file, "a/ppr0042.tmp"), Resolution::Resolved);
    ASSERT_TRUE(file.OpenHeld());
    std::string strNewName = "a/FATAL-0042.klendo";
    ASSERT_TRUE(file.MoveToFreeName(strNewName));
    EXPECT_EQ(strNewName, "a/FATAL-0042_2.klendo");
    EXPECT_EQ(ReadWholeFile(m_strRoot + "/a/FATAL-0042.klendo"), "the first hung job");
    EXPECT_EQ(ReadWholeFile(m_strRoot + "/a/FATAL-0042_2.klendo"), "the second hung job");
    fs::create_directory_symlink(m_folder / "outside", m_strRoot + "/out");
    std::string strEscape = "out/moved";
    EXPECT_FALSE(file.MoveToFreeName(strEscape)) << "a new name through a link is refused";
    EXPECT_FALSE(fs::exists(m_folder / "outside/moved"));
}

TEST_P(FileBeneathTest, HeldFileIsReadWithinItsBoundAndARewriteInPlaceIsSeen) {
    WriteWholeFile(m_strRoot + "/a/job.dat", "0123456789");
    CFileBeneath file;
    ASSERT_EQ(Resolve(file, "a/job.dat"), Resolution::Resolved);
    Platform::CFileVersion named;
    ASSERT_TRUE(file.GetVersion(named));
    EXPECT_EQ(named.nSize, 10u);
    ASSERT_TRUE(file.OpenHeld());
    EXPECT_TRUE(file.IsHeld());
    EXPECT_EQ(file.GetHeldVersion(), named);
    std::string strContent;
    ASSERT_TRUE(file.ReadHeld(strContent, 4));
    EXPECT_EQ(strContent, "0123");
    std::string strOwner;
    std::string strDomain;
    EXPECT_EQ(file.GetHeldOwner(strOwner, strDomain), Platform::OwnerLookup::Found);
    EXPECT_FALSE(strOwner.empty());
    EXPECT_FALSE(file.HasHeldFileChanged());
    std::ofstream(m_strRoot + "/a/job.dat", std::ios::app) << "more";
    EXPECT_TRUE(file.HasHeldFileChanged());
}

TEST_P(FileBeneathTest, MissingFileIsNeitherHeldNorOwnedAndTellsWhy) {
    CFileBeneath file;
    ASSERT_EQ(Resolve(file, "a/none.prn"), Resolution::Resolved);
    Platform::CFileVersion version;
    EXPECT_FALSE(file.GetVersion(version));
    EXPECT_EQ(file.ProbeExclusiveOpen().state, Platform::OpenState::Missing);
    EXPECT_FALSE(file.OpenHeld());
    EXPECT_FALSE(file.IsHeld());
    std::string strOwner;
    std::string strDomain;
    EXPECT_EQ(file.GetHeldOwner(strOwner, strDomain), Platform::OwnerLookup::OpenFailed);
    EXPECT_NE(Platform::GetLastError(), 0) << "the open's own error";
    EXPECT_EQ(file.Remove(), Platform::RemoveResult::Removed) << "a name already gone counts as removed";
}

// The write-complete probe with each of its tests: the kernel's write lease, and the search of the
// open files that stands in where a lease is refused.
class ProbeTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        Platform::Posix::SetWriteLeaseForTest(GetParam());
        fs::create_directories(m_strRoot);
    }
    void TearDown() override { Platform::Posix::SetWriteLeaseForTest(true); }

    CTempFolder m_folder;
    std::string m_strRoot = m_folder / "root";
};

std::string ProbeName(const ::testing::TestParamInfo<bool>& param) {
    return param.param ? "WriteLease" : "OpenFileSearch";
}

INSTANTIATE_TEST_SUITE_P(BothTests, ProbeTest, ::testing::Bool(), ProbeName);

TEST_P(ProbeTest, FileOpenInAnotherProcessIsBusyUntilItsWriterLetsGo) {
    WriteWholeFile(m_strRoot + "/job.prn", "half");
    CFileBeneath file;
    ASSERT_EQ(file.Resolve(m_strRoot, "job.prn"), Resolution::Resolved);
    {
        CHoldingWriter writer(m_strRoot + "/job.prn", " and the rest");
        ASSERT_TRUE(writer.IsHolding());
        EXPECT_EQ(file.ProbeExclusiveOpen().state, Platform::OpenState::Busy);
    }
    Platform::CProbeResult probe = file.ProbeExclusiveOpen();
    EXPECT_EQ(probe.state, Platform::OpenState::Free);
    EXPECT_EQ(probe.test, GetParam() ? Platform::WriteCompleteTest::WriteLease
                                     : Platform::WriteCompleteTest::OpenFileSearch);
    EXPECT_EQ(probe.version.nSize, std::string("half and the rest").size()) << "the version after the write";
}

TEST(PartialCopies, CopiesOfEarlierRunsAreRemovedButNotThoseInProgressNorBehindALink) {
    CTempFolder folder;
    std::string strRoot = folder / "dst";
    fs::create_directories(strRoot + "/sub");
    fs::create_directories(folder / "elsewhere");
    WriteWholeFile(strRoot + "/sub/.job.prn.1a2.3.klendo-part", "half");
    WriteWholeFile(strRoot + "/.klendo-part", "a name that is only the suffix");
    WriteWholeFile(strRoot + "/.notes.klendo-part", "a user's file without the copy's numbers");
    WriteWholeFile(strRoot + "/job.prn.klendo-part", "no leading dot: a consumer's file");
    WriteWholeFile(folder / "elsewhere/.other.klendo-part", "not below the destination");
    fs::create_directory_symlink(folder / "elsewhere", strRoot + "/link");
    std::string strInProgress = CFileBeneath::PartialCopyName("job.prn");
    ASSERT_TRUE(CFileBeneath::IsPartialCopyName(strInProgress)) << strInProgress;
    WriteWholeFile(strRoot + "/sub/" + strInProgress, "a copy of this run, being written");
    std::vector<std::string> removed;
    CFileBeneath::RemovePartialCopies(strRoot, removed, nullptr);
    EXPECT_EQ(removed, std::vector<std::string>{"sub/.job.prn.1a2.3.klendo-part"});
    EXPECT_TRUE(fs::exists(strRoot + "/job.prn.klendo-part"));
    EXPECT_TRUE(fs::exists(strRoot + "/.notes.klendo-part"));
    EXPECT_TRUE(fs::exists(folder / "elsewhere/.other.klendo-part"));
    EXPECT_TRUE(fs::exists(strRoot + "/sub/" + strInProgress));
}

// A write that meets the file size limit (a full disk behaves alike) fails part-way: nothing of the
// copy may remain under the job's name or beside it.
TEST(PartialCopies, CopyThatFailsPartWayLeavesNothingInTheDestination) {
    CTempFolder folder;
    fs::create_directories(folder / "hot");
    fs::create_directories(folder / "dst");
    WriteWholeFile(folder / "hot/big.prn", std::string(64 * 1024, 'x'));
    CFileBeneath source;
    CFileBeneath destination;
    ASSERT_EQ(source.Resolve(folder / "hot", "big.prn"), Resolution::Resolved);
    ASSERT_TRUE(source.OpenHeld());
    ASSERT_EQ(destination.Resolve(folder / "dst", "big.prn"), Resolution::Resolved);
    struct rlimit old;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = {4096, old.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    bool bCopied = source.CopyHeldTo(destination);
    ::setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_FALSE(bCopied);
    EXPECT_TRUE(fs::is_empty(folder / "dst")) << "neither a truncated copy nor its temporary file";
}

// A system call filter (a container's, a hardened unit's) that answers openat2 with EPERM must not
// leave every file below a subfolder unreachable: the walk takes over. Run in a child process,
// because a filter cannot be taken back.
TEST(FileBeneath, OpenatTwoRefusedByASystemCallFilterFallsBackToTheWalk) {
    CTempFolder folder;
    fs::create_directories(folder / "root/a/b");
    WriteWholeFile(folder / "root/a/b/job.prn", "job");
    pid_t nChild = ::fork();
    if (nChild == 0) {
        struct sock_filter program[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        struct sock_fprog filter = {sizeof(program) / sizeof(program[0]), program};
        if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
            ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0)
            ::_exit(2);
        CFileBeneath file;
        bool bWalked = file.Resolve(folder / "root", "a/b/job.prn") == Resolution::Resolved &&
                       Platform::CFileBeneathForTest::ResolutionOf(file) == PathResolution::ComponentWalk &&
                       file.OpenHeld();
        ::_exit(bWalked ? 0 : 1);
    }
    int nStatus = -1;
    ASSERT_EQ(::waitpid(nChild, &nStatus, 0), nChild);
    ASSERT_TRUE(WIFEXITED(nStatus));
    if (WEXITSTATUS(nStatus) == 2)
        GTEST_SKIP() << "no system call filter can be installed here";
    EXPECT_EQ(WEXITSTATUS(nStatus), 0) << "the file below a subfolder was reached by the walk";
}

// Whoever can leave a link at the temporary name must not make the replacement write through it,
// nor put the link in the file's place.
TEST(FileReplacement, LinkLeftAtTheTemporaryNameIsReplacedNotWrittenThrough) {
    CTempFolder folder;
    WriteWholeFile(folder / "outside", "not ours");
    WriteWholeFile(folder / "state.dat", "old");
    fs::create_symlink(folder / "outside", folder / "state.dat.tmp");
    Platform::CFileReplacement replacement;
    ASSERT_TRUE(replacement.Begin(folder / "state.dat"));
    ASSERT_TRUE(replacement.Write("new", 3));
    ASSERT_TRUE(replacement.Commit());
    EXPECT_EQ(ReadWholeFile(folder / "outside"), "not ours");
    EXPECT_FALSE(fs::is_symlink(folder / "state.dat"));
    EXPECT_EQ(ReadWholeFile(folder / "state.dat"), "new");
}

TEST_P(ProbeTest, OwnHoldCountsAsAWriterUntilItIsLetGo) {
    WriteWholeFile(m_strRoot + "/job.prn", "job");
    CFileBeneath file;
    ASSERT_EQ(file.Resolve(m_strRoot, "job.prn"), Resolution::Resolved);
    ASSERT_TRUE(file.OpenHeld());
    EXPECT_EQ(file.ProbeExclusiveOpen().state, Platform::OpenState::Busy);
    file.ReleaseHeld();
    EXPECT_FALSE(file.IsHeld());
    EXPECT_EQ(file.ProbeExclusiveOpen().state, Platform::OpenState::Free);
}

// A job file left by a user whose account was removed since: no owner, and no error either.
TEST(FileBeneath, OwnerWithoutAnAccountIsToldApartFromAFailure) {
    CTempFolder folder;
    WriteWholeFile(folder / "job.prn", "job");
    if (::chown((folder / "job.prn").c_str(), 0x7ffffff0, 0x7ffffff0) != 0)
        GTEST_SKIP() << "files cannot be given away here";
    CFileBeneath file;
    ASSERT_EQ(file.Resolve(folder.Path(), "job.prn"), Resolution::Resolved);
    ASSERT_TRUE(file.OpenHeld());
    std::string strOwner;
    std::string strDomain;
    Platform::SetLastError(EINVAL);
    EXPECT_EQ(file.GetHeldOwner(strOwner, strDomain), Platform::OwnerLookup::NoAccount);
    EXPECT_EQ(Platform::GetLastError(), 0);
    EXPECT_EQ(strOwner, "");
}
