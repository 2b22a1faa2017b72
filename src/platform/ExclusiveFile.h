#pragma once

#include <cstddef>
#include <string>

namespace Platform {

// A file open for one holder at a time: while a CExclusiveFile holds a path, every other
// CExclusiveFile::Open of it, in this process or another, fails at once; nobody waits. Holders may
// replace the file by renaming a new one over it (CFileReplacement): Open always ends up holding the
// file that the path names at that moment, never a replaced one. One object per use, one thread.
class CExclusiveFile {
  public:
    CExclusiveFile() = default;
    ~CExclusiveFile();
    CExclusiveFile(const CExclusiveFile&) = delete;
    CExclusiveFile& operator=(const CExclusiveFile&) = delete;

    // Opens for reading; bCreate makes an empty file when it is missing. False when the file is
    // missing (without bCreate), cannot be opened, or another holder has it; then nothing is held.
    bool Open(const std::string& strPath, bool bCreate);

    // Reads up to nSize bytes at the current position: the count read, 0 at the end, -1 on failure
    // (system error in Platform::GetLastError()).
    long Read(char* pBuffer, size_t nSize);

    // Lets the file go; other holders may open it from now on.
    void Close();

  private:
    int m_nHandle = -1;
};

} // namespace Platform
