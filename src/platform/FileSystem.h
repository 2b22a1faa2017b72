#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace Platform {

// The separator between folder names of a path on this platform.
constexpr char kPathSeparator = '/';

// Full path of the running executable; empty when it cannot be found.
std::string GetModuleFilePath();

// True when a file, folder or other entry of that name exists (symbolic links are not followed).
bool PathExists(const std::string& strPath);

// True when the path names a folder (symbolic links are not followed).
bool IsDirectory(const std::string& strPath);

// Deletes a file. False on failure, with the system error in Platform::GetLastError().
bool RemoveFile(const std::string& strPath);

// Renames or moves within one file system, replacing a file of the new name. False on failure.
bool MovePath(const std::string& strFrom, const std::string& strTo);

// Opens a file for appending text lines: created when missing, never truncated, not inherited by
// child processes. Null on failure.
std::FILE* OpenAppendStream(const std::string& strPath);

// Calls onFile with the path of every entry that is not a folder below strRoot, relative to it
// and with kPathSeparator between folder names. Symbolic links to folders are not followed.
// Entries are visited in no particular order; unreadable folders are skipped.
void ForEachFileInTree(const std::string& strRoot, const std::function<void(const std::string&)>& onFile);

} // namespace Platform
