#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

// The complete records of the archive as a re-send found them (CActivityFileDataStorage::ReadSnapshot);
// the re-send later compacts the archive against it.
class CArchiveSnapshot {
  public:
    size_t GetRecordCount() const { return m_records.size(); }
    // The record's text as it was saved (line feeds, not CR LF).
    std::string GetRecordText(size_t nIndex) const;
    // The record as the archive stores it.
    std::string GetStoredRecord(size_t nIndex) const;

  private:
    friend class CActivityFileDataStorage;
    // The archive's bytes up to the end of its last complete record.
    std::string m_strStored;
    // Where each record begins in m_strStored, and its length.
    std::vector<std::pair<size_t, size_t>> m_records;
};

// The archive of activities the server has not taken: KlendoActivity.dat in the given folder, the
// activities' XML texts one after the other, with nothing between them. Line feeds are stored as
// CR LF (the Windows text form of the same file) and turned back when read. Given another name, the
// same for a file beside the archive (KlendoActivity.rejected.dat: records set aside for the operator).
//
// Records: each of the archive's records ends in "</activity>" (or is one empty "activity" element),
// and no value inside one can hold "<". Anything after the last complete record, bar blanks, is the
// torn tail of an append that a crash or a full disk cut short: reading leaves it out and the next
// append cuts it off first, both with a log line, so that no fragment ever ends up ahead of a new
// record. Finding the last record reads the end of the file only. The rejected file keeps whatever it
// is given: it holds records that do not parse by design.
//
// Crash safety: an append reaches the disk before SaveData returns 1; a crash during it leaves at
// worst a torn tail. Every other change writes a whole new file, flushes it and renames it over the
// archive, so a crash at any moment leaves either the old or the new content.
//
// Sharing: while an operation has the archive open, any other opener of it (another process, or a
// storage object that bypasses the lock below) fails at once instead of waiting, and so do these
// operations when they meet such an opener. Within this process all storage objects share one
// recursive lock, GetArchiveLock(). Every operation takes it for itself, so operations of different
// threads wait for each other instead of failing. No operation holds it while talking to the server.
class CActivityFileDataStorage {
  public:
    static constexpr const char* kArchiveName = "KlendoActivity.dat";
    static constexpr const char* kRejectedName = "KlendoActivity.rejected.dat";

    explicit CActivityFileDataStorage(std::string strFolder, const char* szFileName = kArchiveName);

    // Appends strText. 1 when it is in the file and on the disk; 0 otherwise (the file then holds
    // what it held before, but a torn tail, which may be cut off either way).
    int SaveData(const std::string& strText);

    // The whole file into strText (of the archive, its complete records). 1 when it could be read; 0
    // when it is missing, held elsewhere or unreadable, and strText is then left as it was.
    int ReadData(std::string& strText);

    // Empties the file (creating it when missing). 1 when it is empty now, 0 otherwise.
    int ClearData();

    // The archive's complete records, for a re-send. 1 when it could be read (also when it is empty
    // or missing: no records); 0 when it is held elsewhere or unreadable.
    int ReadSnapshot(CArchiveSnapshot& snapshot);

    // Rewrites the archive without the snapshot's records whose keep flag is false, keeping every
    // record appended since the snapshot; a torn tail is cut off. Nothing is written when nothing
    // would change. nRecordsLeft: the records the archive holds afterwards. 1 when the archive holds
    // what it should; 0 when it was changed otherwise since the snapshot (by hand, say) or could not
    // be rewritten, and it is then left as it is.
    int Compact(const CArchiveSnapshot& snapshot, const std::vector<bool>& keep, size_t& nRecordsLeft);

    // The one lock of the archive file (and of the files beside it) in this process, shared by every
    // storage object.
    static std::recursive_mutex& GetArchiveLock();

    const std::string& GetFilePath() const { return m_strFilePath; }

  private:
    std::string m_strFolder;
    std::string m_strFilePath;
    // The archive itself: kept at a record boundary. False for the rejected file.
    bool m_bRecordsOnly;
};
