#pragma once

#include "platform/FileVersion.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace Platform {

// The separator between folder names of a path on this platform, and every character the platform
// takes as one ("/" on Linux; "\\" and "/" on Windows).
extern const char kPathSeparator;
extern const char* const kPathSeparators;
// What the names of executables end in on this platform ("" or ".exe").
extern const char* const kExecutableSuffix;

// Full path of the running executable; empty when it cannot be found.
std::string GetModuleFilePath();

// The folder of the running executable, which holds the settings, the log and the archive; empty
// when the executable cannot be found.
std::string GetModuleFolder();

// The folder part of a path: "." for a bare name, the root for a name right below it.
std::string FolderOf(const std::string& strPath);

// True when a file, folder or other entry of that name exists (symbolic links are not followed).
bool PathExists(const std::string& strPath);

// True when the path names a folder (symbolic links are not followed).
bool IsDirectory(const std::string& strPath);

// Deletes a file. False on failure, with the system error in Platform::GetLastError().
bool RemoveFile(const std::string& strPath);

// Renames or moves within one file system, replacing a file of the new name. False on failure.
bool MovePath(const std::string& strFrom, const std::string& strTo);

// Opens a file for appending text lines: created when missing, never truncated, not inherited by
// child processes. A device or a pipe is taken too, but never waited for. Null on failure.
std::FILE* OpenAppendStream(const std::string& strPath);

// A file name as this system's file systems compare names: the name itself where case tells files
// apart (Linux), its upper-case form where it does not (Windows), so that two spellings of one file
// make one key.
std::string FileNameKey(const std::string& strName);

// Opens a file for reading bytes, whatever characters its name holds. Null on failure.
std::FILE* OpenReadStream(const std::string& strPath);
// Moves a stream opened by OpenReadStream to nOffset bytes from its start, and tells its length:
// 64-bit offsets on every system (a C long has 32 bits on Windows). False / -1 on failure.
bool SeekStream(std::FILE* pStream, uint64_t nOffset);
int64_t GetStreamSize(std::FILE* pStream);

// Appends bytes to a file and flushes them to the disk before returning; bCreate makes the file
// when it is missing (and flushes its new folder entry too). False on failure (the file is missing
// without bCreate, the disk is full), with the system error in GetLastError().
bool AppendDurably(const std::string& strPath, const std::string& strData, bool bCreate = false);

// Flushes the folder that holds strPath to the disk, so that an entry just created or renamed there
// survives a power loss. False on failure, with the system error in GetLastError().
bool FlushFolderEntry(const std::string& strPath);

// Reads a regular file a block at a time (links followed), handing each block to onBlock until it
// returns false. Never waits on what is not a regular file (a named pipe, a device): that fails as a
// file that cannot be read. False, with GetLastError(), when the file cannot be opened or read or is
// not a regular file; true when it was read to its end or onBlock ended the reading.
bool ReadRegularFile(const std::string& strPath, const std::function<bool(const char*, size_t)>& onBlock);
// The whole of a regular file, as ReadRegularFile reads it (the agent's own state files, whatever
// characters the install folder's name holds). False, with GetLastError(), as ReadRegularFile.
bool ReadWholeRegularFile(const std::string& strPath, std::string& strContent);

// Gets, for each entry of the tree, its name relative to the root of the walk and its version.
using FileVisitor = std::function<void(const std::string& strName, const CFileVersion& version)>;

// Calls onFile for every entry that is not a folder below strRoot, with its path relative to it
// (kPathSeparator between folder names) and its version (a link's own, not its target's). The root
// may be a symbolic link and is followed; below it no link is ever followed, not even a folder
// swapped for a link during the walk: such an entry is handed on like a file. Entries come in no
// particular order; unreadable folders are skipped. keepGoing, when given, is asked before each
// folder and each entry, and the walk ends as soon as it says false. True when the whole tree was
// walked: not ended early, and every folder read (but those removed during the walk).
bool ForEachFileInTree(const std::string& strRoot, const FileVisitor& onFile,
                       const std::function<bool()>& keepGoing = nullptr);

} // namespace Platform
