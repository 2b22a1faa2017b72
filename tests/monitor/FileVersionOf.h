#pragma once

#include "platform/FileVersion.h"

#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>

// A file's version read by the test itself (lstat), to compare with what the agent saw.
inline Platform::CFileVersion VersionOfFile(const std::string& strPath) {
    struct stat info {};
    EXPECT_EQ(::lstat(strPath.c_str(), &info), 0) << strPath;
    return {static_cast<uint64_t>(info.st_size), info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec};
}
