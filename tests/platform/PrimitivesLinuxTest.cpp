#include "platform/Environment.h"
#include "platform/EventLog.h"
#include "platform/ExclusiveFile.h"
#include "platform/FileReplacement.h"
#include "platform/FileSystem.h"
#include "platform/FileVersion.h"
#include "platform/FolderChecks.h"
#include "platform/InstanceLock.h"
#include "platform/RegistryStore.h"
#include "platform/posix/FileSystemKind.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A file's version read by the test itself (lstat), to compare with what the walk saw.
Platform::CFileVersion VersionOfFile(const std::string& strPath) {
    struct stat info {};
    EXPECT_EQ(::lstat(strPath.c_str(), &info), 0) << strPath;
    return {static_cast<uint64_t>(info.st_size), info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec};
}

// Another process that runs hold() and is then killed by the test, the way an agent ends that is
// killed in the middle of its work. The constructor returns once hold() has run.
class CKilledHolder {
  public:
    explicit CKilledHolder(const std::function<bool()>& hold) {
        int ready[2];
        if (::pipe(ready) != 0)
            return;
        m_nProcess = ::fork();
        if (m_nProcess == 0) {
            ::close(ready[0]);
            char c = hold() ? '1' : '0';
            (void)!::write(ready[1], &c, 1);
            for (;;)
                ::pause();
        }
        ::close(ready[1]);
        char c = '0';
        m_bHolding = m_nProcess > 0 && ::read(ready[0], &c, 1) == 1 && c == '1';
        ::close(ready[0]);
    }
    ~CKilledHolder() { Kill(); }
    CKilledHolder(const CKilledHolder&) = delete;
    CKilledHolder& operator=(const CKilledHolder&) = delete;

    bool IsHolding() const { return m_bHolding; }
    void Kill() {
        if (m_nProcess > 0) {
            ::kill(m_nProcess, SIGKILL);
            ::waitpid(m_nProcess, nullptr, 0);
        }
        m_nProcess = -1;
    }

  private:
    pid_t m_nProcess = -1;
    bool m_bHolding = false;
};

} // namespace

TEST(InstanceLock, HeldByAnotherProcessUntilThatProcessIsKilled) {
    CTempFolder folder;
    CKilledHolder other([&] {
        static Platform::CInstanceLock lock;
        return lock.Take(folder.Path()) == Platform::CInstanceLock::Result::Taken;
    });
    ASSERT_TRUE(other.IsHolding());
    Platform::CInstanceLock lock;
    EXPECT_EQ(lock.Take(folder.Path()), Platform::CInstanceLock::Result::HeldElsewhere);
    other.Kill();
    EXPECT_EQ(lock.Take(folder.Path()), Platform::CInstanceLock::Result::Taken) << "nothing left behind";
}

TEST(ExclusiveFile, HeldByAnotherProcessUntilThatProcessIsKilled) {
    CTempFolder folder;
    std::string strPath = folder / "archive";
    CKilledHolder other([&] {
        static Platform::CExclusiveFile file;
        return file.Open(strPath, true, true);
    });
    ASSERT_TRUE(other.IsHolding());
    Platform::CExclusiveFile file;
    EXPECT_FALSE(file.Open(strPath, false));
    other.Kill();
    EXPECT_TRUE(file.Open(strPath, false));
}

namespace {

// Whoever can put a named pipe where one of the agent's files belongs must not stop the agent: an
// open of a pipe waits for its other end. Each case runs in a child whose alarm ends a wait that
// should never be; true when every open was refused at once.
bool RefusedWithoutWaiting(const std::vector<std::function<bool()>>& opens) {
    pid_t nChild = ::fork();
    if (nChild == 0) {
        ::alarm(60);
        for (const auto& open : opens)
            if (open() || errno == 0)
                ::_exit(1);
        ::_exit(0);
    }
    int nStatus = -1;
    return ::waitpid(nChild, &nStatus, 0) == nChild && WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0;
}

} // namespace

TEST(ExclusiveFile, NamedPipeOrFolderAtThePathIsRefusedWithoutWaiting) {
    CTempFolder folder;
    ASSERT_EQ(::mkfifo((folder / "pipe").c_str(), 0600), 0);
    fs::create_directories(folder / "folder");
    std::vector<std::function<bool()>> opens;
    for (const char* szName : {"pipe", "folder"})
        for (bool bWrite : {false, true})
            opens.push_back(
                [=, &folder] { return Platform::CExclusiveFile().Open(folder / szName, false, bWrite); });
    EXPECT_TRUE(RefusedWithoutWaiting(opens));
}

TEST(FileSystem, NamedPipeAtALogOrStorePathIsRefusedWithoutWaiting) {
    CTempFolder folder;
    std::string strPipe = folder / "pipe";
    ASSERT_EQ(::mkfifo(strPipe.c_str(), 0600), 0);
    EXPECT_TRUE(RefusedWithoutWaiting({
        [&] { return Platform::AppendDurably(strPipe, "line\n", true); },
        [&] { return Platform::OpenAppendStream(strPipe) != nullptr; },
        [&] { return Platform::CRegistryStore(strPipe).CreateKey("AppID") == Platform::RegistryResult::Ok; },
    }));
    std::FILE* pDevice = Platform::OpenAppendStream("/dev/null");
    EXPECT_NE(pDevice, nullptr) << "a log pointed at a device is written there";
    if (pDevice != nullptr)
        std::fclose(pDevice);
}

// A kill between the writes and the commit: the path keeps its old content, and the next
// replacement takes the leftover's place.
TEST(FileReplacement, KillBeforeTheCommitLeavesTheOldContentAndTheNextRunWins) {
    CTempFolder folder;
    std::string strPath = folder / "state.dat";
    WriteWholeFile(strPath, "old");
    CKilledHolder other([&] {
        static Platform::CFileReplacement replacement;
        return replacement.Begin(strPath) && replacement.Write("half", 4);
    });
    ASSERT_TRUE(other.IsHolding());
    other.Kill();
    EXPECT_EQ(ReadWholeFile(strPath), "old");
    ASSERT_EQ(ReadWholeFile(strPath + ".tmp"), "half") << "the leftover of the killed run";
    Platform::CFileReplacement replacement;
    ASSERT_TRUE(replacement.Begin(strPath));
    ASSERT_TRUE(replacement.Write("new", 3));
    ASSERT_TRUE(replacement.Commit());
    EXPECT_EQ(ReadWholeFile(strPath), "new");
    EXPECT_FALSE(fs::exists(strPath + ".tmp"));
}

TEST(FileSystem, LinksAreSeenButNeverFollowed) {
    CTempFolder folder;
    fs::create_directories(folder / "target");
    fs::create_directory_symlink(folder / "target", folder / "to-folder");
    fs::create_symlink(folder / "gone", folder / "dangling");
    EXPECT_TRUE(Platform::PathExists(folder / "dangling"));
    EXPECT_FALSE(Platform::IsDirectory(folder / "to-folder"));
    EXPECT_EQ(Platform::ResolvePath(folder / "to-folder"), fs::canonical(folder / "target").string());
    ASSERT_TRUE(Platform::RemoveFile(folder / "to-folder"));
    EXPECT_TRUE(fs::is_directory(folder / "target")) << "the link went, not its target";
}

TEST(EventLog, MessagesForTheUserGoToStandardError) {
    Platform::IEventLog& log = *Platform::RealEnvironment().pEventLog;
    testing::internal::CaptureStderr();
    log.ShowMessage("50% of %s registered");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "50% of %s registered\n");
}

using Walked = std::map<std::string, Platform::CFileVersion>;

TEST(TreeWalk, FollowsTheRootLinkOnlyAndGivesEachEntryItsOwnVersion) {
    CTempFolder folder;
    fs::create_directories(folder / "tree/sub");
    fs::create_directories(folder / "outside");
    WriteWholeFile(folder / "tree/top.prn", "12345");
    WriteWholeFile(folder / "tree/sub/nested.prn", "x");
    WriteWholeFile(folder / "outside/secret", "s");
    fs::create_directory_symlink(folder / "outside", folder / "tree/link-to-folder");
    fs::create_directory_symlink(folder / "tree", folder / "root-link");

    Walked walked;
    EXPECT_TRUE(Platform::ForEachFileInTree(
        folder / "root-link", [&](const std::string& strName, const Platform::CFileVersion& version) {
            walked[strName] = version;
        }));
    ASSERT_EQ(walked.size(), 3u);
    EXPECT_EQ(walked["top.prn"], VersionOfFile(folder / "tree/top.prn"));
    EXPECT_EQ(walked["top.prn"].nSize, 5u);
    EXPECT_EQ(walked["sub/nested.prn"], VersionOfFile(folder / "tree/sub/nested.prn"));
    EXPECT_EQ(walked["link-to-folder"], VersionOfFile(folder / "tree/link-to-folder"))
        << "the link, not its target";
}

TEST(TreeWalk, FolderSwappedForALinkDuringTheWalkIsNotEntered) {
    CTempFolder folder;
    fs::create_directories(folder / "hot/sub");
    fs::create_directories(folder / "etc");
    WriteWholeFile(folder / "hot/first.prn", "x");
    WriteWholeFile(folder / "hot/sub/job.prn", "x");
    WriteWholeFile(folder / "etc/passwd", "root");

    std::vector<std::string> walked;
    Platform::ForEachFileInTree(folder / "hot",
                                [&](const std::string& strName, const Platform::CFileVersion&) {
                                    walked.push_back(strName);
                                    // The root was listed, "sub" not yet opened: swap it for a link out of
                                    // the tree.
                                    if (strName == "first.prn") {
                                        fs::remove_all(folder / "hot/sub");
                                        fs::create_directory_symlink(folder / "etc", folder / "hot/sub");
                                    }
                                });
    EXPECT_EQ(walked, (std::vector<std::string>{"first.prn", "sub"})) << "the link is handed on as an entry";
}

TEST(FileSystemKind, NetworkAndFuseFileSystemsAreToldApartFromLocalOnes) {
    EXPECT_EQ(Platform::Posix::NetworkFileSystemName(0x6969), "nfs");
    EXPECT_EQ(Platform::Posix::NetworkFileSystemName(0x517B), "smb");
    EXPECT_EQ(Platform::Posix::NetworkFileSystemName(0xFF534D42), "cifs");
    EXPECT_EQ(Platform::Posix::NetworkFileSystemName(0xFE534D42), "smb2");
    EXPECT_EQ(Platform::Posix::NetworkFileSystemName(0x65735546), "fuse");
    for (uint32_t nLocal : {0xEF53u /* ext2/3/4 */, 0x58465342u /* xfs */, 0x9123683Eu /* btrfs */,
                            0x01021994u /* tmpfs */, 0x794C7630u /* overlayfs */})
        EXPECT_EQ(Platform::Posix::NetworkFileSystemName(nLocal), "") << std::hex << nLocal;
}
