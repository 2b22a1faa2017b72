#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace Platform {

class CExclusiveFile;

// Writes a new content for a file and puts it in place in one step, so that after a crash or a
// power loss at any moment the path holds either its old content or the whole new one. The new
// content goes to strPath + ".tmp" first; a leftover of an interrupted run is replaced by the next
// Begin (never written through, should it be a link). Callers must make sure that only one
// replacement of a path is in progress at a time.
class CFileReplacement {
  public:
    CFileReplacement();
    // An uncommitted replacement is abandoned: the temporary file is removed, the path untouched.
    ~CFileReplacement();
    CFileReplacement(const CFileReplacement&) = delete;
    CFileReplacement& operator=(const CFileReplacement&) = delete;

    // Starts an empty new content. False when the temporary file cannot be created.
    bool Begin(const std::string& strPath);

    // Appends bytes to the new content. False on a write failure (a full disk, for example).
    bool Write(const char* pData, size_t nSize);

    // Flushes the new content to the disk, renames it over the path and flushes the folder entry.
    // True once the new content is in place; false when that failed, the path then keeps its old
    // content and Platform::GetLastError() tells why. pHolder: the caller's own hold of the file,
    // kept while the file is replaced, and let go first only where the system cannot replace a file
    // that is open (Wine, Windows before 10, FAT).
    bool Commit(CExclusiveFile* pHolder = nullptr);

  private:
    struct CImpl;
    std::unique_ptr<CImpl> m_pImpl;
};

} // namespace Platform
