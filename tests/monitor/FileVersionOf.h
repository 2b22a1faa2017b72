#pragma once

#include "platform/FileAccess.h"
#include "platform/FileSystem.h"
#include "platform/FileVersion.h"

#include <gtest/gtest.h>
#include <string>

// A file's version as the platform reads it (a link's own), to compare with what the agent saw.
inline Platform::CFileVersion VersionOfFile(const std::string& strPath) {
    std::string strFolder = Platform::FolderOf(strPath);
    Platform::CFileBeneath file;
    Platform::CFileVersion version;
    EXPECT_EQ(file.Resolve(strFolder, strPath.substr(strFolder.size() + 1)),
              Platform::IFileBeneath::Resolution::Resolved)
        << strPath;
    EXPECT_TRUE(file.GetVersion(version)) << strPath;
    return version;
}
