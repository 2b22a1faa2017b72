#pragma once

#include "platform/FileVersion.h"

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

// One ticket of a hot folder: its name relative to the folder and its version.
struct CTicketVersion {
    std::string strName;
    Platform::CFileVersion version;
};

// The ticket versions a ticket folder has processed (posted, archived, or found to describe no
// job). Tickets stay in their folder, so without this a scan could not tell a ticket waiting since
// the last stop from one billed long ago. Kept in a state file in the state folder,
// "KlendoTickets-<16 hex digits of the source's 64-bit FNV-1a hash>.dat": a first line naming the
// source, then one line per processed version (size, modification time in ns and the escaped
// name, separated by tabs). Each version is on the disk before MarkProcessed returns; the file is
// compacted, crash-safely, once it holds much more than the folder. Without a state folder, or when
// the file cannot be written, the ledger goes on in memory.
//
// One per ticket folder, made by its monitor and shared with the requests it hands on.
// Thread-safe: the monitor thread and request threads use it at the same time.
class CTicketLedger {
  public:
    CTicketLedger(const std::string& strStateFolder, const std::string& strSource);
    CTicketLedger(const CTicketLedger&) = delete;

    // The one ledger of a hot folder in this process: requests still running for a monitor that was
    // replaced (the same source twice in the settings) record into the ledger its successor uses.
    // bLoaded tells whether it was in use already (it is then not loaded again).
    static std::shared_ptr<CTicketLedger> Shared(const std::string& strStateFolder,
                                                 const std::string& strSource, bool& bLoaded);
    CTicketLedger& operator=(const CTicketLedger&) = delete;

    // Reads the state file; false when there was none yet (the folder's first watch: an upgrade,
    // or a folder just added to the settings), or when it cannot be used.
    bool Load();

    bool IsProcessed(const std::string& strName, const Platform::CFileVersion& version);
    void MarkProcessed(const std::string& strName, const Platform::CFileVersion& version);

    // The folder's first watch: the tickets present count as processed, so that nothing already
    // there is billed a second time. Writes the state file afresh.
    void MarkAllProcessed(const std::vector<CTicketVersion>& present);

    // Given the tickets a scan found in the folder, returns those whose present version is not
    // processed. With bWholeFolder (every folder of it was read) the tickets not found are
    // forgotten.
    std::vector<CTicketVersion> FindUnprocessed(const std::vector<CTicketVersion>& present,
                                                bool bWholeFolder);

    const std::string& GetStatePath() const { return m_strStatePath; }
    static std::string StateFileName(const std::string& strSource);

    // True for the names a ticket folder hands on (".dat", in any case).
    static bool IsTicketName(const std::string& strName);

  private:
    // Ticket names compared as the file system compares them: on Windows "A.DAT" is "a.dat".
    struct CNameHash {
        size_t operator()(const std::string& strName) const;
    };
    struct CNameEqual {
        bool operator()(const std::string& strFirst, const std::string& strSecond) const;
    };
    using VersionMap =
        std::unordered_map<std::string, std::vector<Platform::CFileVersion>, CNameHash, CNameEqual>;

    // Each called with m_mutex held.
    bool Record(const std::string& strName, const Platform::CFileVersion& version);
    void Append(const std::string& strName, const Platform::CFileVersion& version);
    void Rewrite();
    void CompactIfDue(const std::vector<CTicketVersion>& present);
    void NoteWrite(bool bWritten, int nError);
    bool ParseContent(const std::string& strContent);

    const std::string m_strSource;
    const std::string m_strStatePath;

    // Guards everything below, and the state file.
    std::mutex m_mutex;
    VersionMap m_processed;
    // Version lines in the state file, and versions in m_processed.
    size_t m_nLines = 0;
    size_t m_nVersions = 0;
    // Tickets in the folder at the last whole look at it.
    size_t m_nTicketsInFolder = 0;
    // False without a state folder and for a file that belongs to another hot folder.
    bool m_bUseFile = true;
    // The file lacks lines that memory has (or has a torn end): the next write rewrites it whole.
    bool m_bRewriteNeeded = true;
    bool m_bWriteFailing = false;
};
