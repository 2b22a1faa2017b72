#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace Platform {

// A file open for one holder at a time: while a CExclusiveFile holds a path, every other
// CExclusiveFile::Open of it, in this process or another, fails at once; nobody waits. Holders may
// replace the file by renaming a new one over it (CFileReplacement): Open always ends up holding the
// file that the path names at that moment, never a replaced one. One object per use, one thread.
//
// Opened for writing, the holder may also append to the file and cut it. Every change reaches the
// disk before the call returns; the first append to a file this object created also flushes its
// folder entry, so a new file does not vanish in a power loss.
class CExclusiveFile {
  public:
    CExclusiveFile();
    ~CExclusiveFile();
    CExclusiveFile(const CExclusiveFile&) = delete;
    CExclusiveFile& operator=(const CExclusiveFile&) = delete;

    // Opens for reading, and with bWrite for appending and cutting too; bCreate makes an empty file
    // when it is missing. False when the file is missing (without bCreate), cannot be opened, or
    // another holder has it; then nothing is held.
    bool Open(const std::string& strPath, bool bCreate, bool bWrite = false);

    // The file's size in bytes; -1 on failure.
    long long GetSize();

    // Reads up to nSize bytes at the current position: the count read, 0 at the end, -1 on failure
    // (system error in Platform::GetLastError()).
    long Read(char* pBuffer, size_t nSize);

    // Reads up to nSize bytes from nOffset on, leaving the current position alone: the count read,
    // 0 at the end, -1 on failure.
    long ReadAt(long long nOffset, char* pBuffer, size_t nSize);

    // Writes the bytes at the end of the file and flushes them to the disk. False on failure (a full
    // disk, a file not opened for writing); what was written before the failure stays in the file.
    bool AppendDurably(const char* pData, size_t nSize);

    // Cuts the file to nSize bytes and flushes its new length to the disk. False on failure.
    bool Truncate(long long nSize);

    // Lets the file go; other holders may open it from now on.
    void Close();

  private:
    struct CImpl;
    std::unique_ptr<CImpl> m_pImpl;
};

} // namespace Platform
