#pragma once

#include <string>

namespace Platform {

enum class FileKind { Missing, Regular, SymbolicLink, Other };

// What the path names, without following a symbolic link. Missing also when it cannot be read.
FileKind GetFileKind(const std::string& strPath);

enum class OpenState { Free, Busy, Missing, NotRegular };

// The write-complete test: Free only when no process, of any user, has the file open. A write lease
// answers that where the kernel grants one; where it refuses (a file system without leases), the
// open files of every process are searched instead. bUseLease false goes straight to that search
// (tests of the fallback). Never follows a symbolic link.
OpenState ProbeExclusiveOpen(const std::string& strPath, bool bUseLease = true);

// Copies a regular file, replacing the destination's content. Neither the source nor the
// destination is followed through a symbolic link, so that a link planted in a hot folder or a
// destination folder cannot make the agent read or write another file. False on failure, with the
// system error in Platform::GetLastError().
bool CopyRegularFile(const std::string& strFrom, const std::string& strTo);

} // namespace Platform
