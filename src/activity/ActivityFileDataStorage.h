#pragma once

#include <mutex>
#include <string>

// The archive of activities the server has not taken: KlendoActivity.dat in the given folder, one text
// that grows with each SaveData and goes back to empty with ClearData. Line feeds are stored as CR LF
// (the Windows text form of the same file) and turned back when read. Given another name, the same
// for a file beside the archive (KlendoActivity.rejected.dat: archived records that no longer parse).
//
// Crash safety: every change writes a whole new file, flushes it and renames it over the archive, so a
// crash or power loss at any moment leaves either the old or the new content, never a torn one.
//
// Sharing: while an operation has the archive open, any other opener of it (another process, or a
// storage object that bypasses the lock below) fails at once instead of waiting, and so do these
// operations when they meet such an opener. Within this process all storage objects share one
// recursive lock, GetArchiveLock(). Every operation takes it for itself, so operations of different
// threads wait for each other instead of failing. A caller that must keep the archive unchanged
// between two operations (a re-send from its ReadData to its ClearData) holds the lock across both;
// being recursive, the operations take it again on that thread without deadlock.
class CActivityFileDataStorage {
  public:
    static constexpr const char* kArchiveName = "KlendoActivity.dat";
    static constexpr const char* kRejectedName = "KlendoActivity.rejected.dat";

    explicit CActivityFileDataStorage(std::string strFolder, const char* szFileName = kArchiveName);

    // Appends strText. 1 when it is in the archive, 0 otherwise (the archive then keeps its old content).
    int SaveData(const std::string& strText);

    // The whole archive into strText. 1 when the archive could be read; 0 when it is missing, held
    // elsewhere or unreadable, and strText is then left as it was.
    int ReadData(std::string& strText);

    // Empties the archive (creating it when missing). 1 when it is empty now, 0 otherwise.
    int ClearData();

    // Replaces the whole archive with strText in one step (a re-send that keeps what the server did
    // not take). 1 when the archive holds strText now, 0 otherwise (it then keeps its old content).
    int ReplaceData(const std::string& strText);

    // The one lock of the archive file (and of the file beside it) in this process, shared by every
    // storage object.
    static std::recursive_mutex& GetArchiveLock();

    const std::string& GetFilePath() const { return m_strFilePath; }

  private:
    // Puts strText in place of the archive's content, or after it with bAppend, in one atomic step;
    // logs szFailure when that fails after the open.
    int Rewrite(const std::string& strText, bool bAppend, const char* szFailure);

    std::string m_strFolder;
    std::string m_strFilePath;
};
