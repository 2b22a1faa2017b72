#include "config/SettingsFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

// A named pipe or a device in place of the settings file must not hang the agent's start (or the
// settings check) waiting for a writer or reading forever: it reads as a missing file.
TEST_F(SettingsFile, NamedPipeOrDeviceAsSettingsFileReadsAsMissingInsteadOfHanging) {
    ASSERT_EQ(::mkfifo((m_folder / "KlendoHotFolderAgent.ini").c_str(), 0600), 0);
    EXPECT_FALSE(Ini().CanBeRead());
    EXPECT_EQ(Settings().GetHotFolderCount(), 0);
    EXPECT_EQ(Settings().GetServerPort(), 80);
    ASSERT_EQ(::unlink((m_folder / "KlendoHotFolderAgent.ini").c_str()), 0);
    ASSERT_EQ(::symlink("/dev/zero", (m_folder / "KlendoHotFolderAgent.ini").c_str()), 0);
    EXPECT_FALSE(Ini().CanBeRead());
    EXPECT_EQ(Settings().GetServerAddress(), "localhost");
}
