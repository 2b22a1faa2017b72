#include "monitor/FileVersionOf.h"
#include "platform/FileSystem.h"
#include "platform/FileSystemKind.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

namespace fs = std::filesystem;

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
    EXPECT_EQ(Platform::NetworkFileSystemName(0x6969), "nfs");
    EXPECT_EQ(Platform::NetworkFileSystemName(0x517B), "smb");
    EXPECT_EQ(Platform::NetworkFileSystemName(0xFF534D42), "cifs");
    EXPECT_EQ(Platform::NetworkFileSystemName(0xFE534D42), "smb2");
    EXPECT_EQ(Platform::NetworkFileSystemName(0x65735546), "fuse");
    for (uint32_t nLocal : {0xEF53u /* ext2/3/4 */, 0x58465342u /* xfs */, 0x9123683Eu /* btrfs */,
                            0x01021994u /* tmpfs */, 0x794C7630u /* overlayfs */})
        EXPECT_EQ(Platform::NetworkFileSystemName(nLocal), "") << std::hex << nLocal;
}
