#pragma once

#include "platform/Accounts.h"
#include "platform/FileVersion.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace Platform {

// What an entry is, read without following a symbolic link.
enum class FileKind { Missing, Regular, SymbolicLink, Other };

// The write-complete state of a file: Free when no other process has it open. Unreadable: it cannot
// be opened at all (no right to it, no descriptor left); waiting does not help.
enum class OpenState { Free, Busy, Missing, NotRegular, Unreadable };

// What a removal did. Replaced: the name holds another file than the one processed, which stays.
enum class RemoveResult { Removed, Replaced, Failed };

// Which test told that no other process has a file open.
enum class WriteCompleteTest {
    // The kernel granted a write lease: no other process has the file open. Windows reports this one
    // too: there an open that shares nothing succeeds only then, which is as exact.
    WriteLease,
    // No lease here (a network file system, or no right to one): the open files of every process this
    // one may inspect were searched. A writer of another user or another host is not seen.
    OpenFileSearch,
};

// What one write-complete probe found.
struct CProbeResult {
    OpenState state = OpenState::Missing;
    WriteCompleteTest test = WriteCompleteTest::WriteLease;
    // The file's version at the probe, when it was opened.
    CFileVersion version;
    // Why the lease was refused (OpenFileSearch only), or why the file could not be opened
    // (Unreadable).
    int nError = 0;
};

// The operations on one entry below a trusted root folder that a request uses; CFileBeneath below is
// the real one and tells what each does. Tests hand in fakes that fail or stay busy on demand.
class IFileBeneath {
  public:
    enum class Resolution { Resolved, Missing, Link, Failed };

    virtual ~IFileBeneath() = default;
    virtual Resolution Resolve(const std::string& strRoot, const std::string& strRelative) = 0;
    virtual const std::string& GetName() const = 0;
    virtual FileKind GetKind() const = 0;
    virtual bool GetVersion(CFileVersion& version) const = 0;
    virtual CProbeResult ProbeExclusiveOpen() const = 0;
    virtual bool OpenHeld() = 0;
    virtual bool IsHeld() const = 0;
    virtual void ReleaseHeld() = 0;
    virtual CFileVersion GetHeldVersion() const = 0;
    virtual bool HasHeldFileChanged() const = 0;
    virtual OwnerLookup GetHeldOwner(std::string& strOwner, std::string& strDomain) const = 0;
    virtual bool ReadHeld(std::string& strContent, size_t nMaxBytes) const = 0;
    virtual bool CopyHeldTo(IFileBeneath& destination) const = 0;
    virtual RemoveResult Remove() = 0;
    virtual bool MoveToFreeName(std::string& strNewRelative) = 0;
};

// Makes the entries a request works on. Any thread.
class IFileSystem {
  public:
    virtual ~IFileSystem() = default;
    virtual std::unique_ptr<IFileBeneath> NewFile() = 0;
};

// One entry below a trusted root folder (a hot folder or a destination named in the settings),
// named by its path relative to the root. The root is the operator's choice and may itself be a
// link; below it no link is ever followed, in any folder of the path nor the entry itself. The
// folder that holds the entry is opened once, by Resolve, and every later operation works on that
// open folder, so a folder of the path that is swapped for a link meanwhile cannot redirect it.
//
// One object per use, one thread. Failures give the system error through GetLastError().
class CFileBeneath : public IFileBeneath {
  public:
    CFileBeneath();
    ~CFileBeneath() override;
    CFileBeneath(const CFileBeneath&) = delete;
    CFileBeneath& operator=(const CFileBeneath&) = delete;

    // Opens the folder that holds strRelative below strRoot. Missing when the root or a folder on the
    // way does not exist, Link when one of them is a link (or the name would leave the root).
    Resolution Resolve(const std::string& strRoot, const std::string& strRelative) override;
    const std::string& GetName() const override { return m_strName; }

    // What the entry is, without following a link; Missing when unresolved.
    FileKind GetKind() const override;
    // The entry's version without opening it; false when it cannot be read.
    bool GetVersion(CFileVersion& version) const override;

    // The write-complete probe: Free only when no other process has the file open.
    CProbeResult ProbeExclusiveOpen() const override;

    // Opens the regular file for reading and holds it until the object ends: the owner, the content,
    // the copy and the removal below all concern the file held, not whatever the name holds later.
    // Never waits for a writer of a named pipe.
    bool OpenHeld() override;
    bool IsHeld() const override;
    // Lets the held file go. A wait that starts over must: this process's own hold would count as
    // a writer that has the file open.
    void ReleaseHeld() override;
    // The held file's version when it was opened.
    CFileVersion GetHeldVersion() const override;
    // Whether the held file was written to since it was opened (rewritten in place).
    bool HasHeldFileChanged() const override;
    // The held file's owner account and its domain; where it stopped otherwise, with GetLastError().
    OwnerLookup GetHeldOwner(std::string& strOwner, std::string& strDomain) const override;
    // Up to nMaxBytes of the held file from its start.
    bool ReadHeld(std::string& strContent, size_t nMaxBytes) const override;

    // Copies the held file to the entry named by destination: written beside it under a temporary
    // name (PartialCopyName), flushed to the disk, renamed over the name and the folder flushed, so
    // the copy appears whole or not at all. On failure the temporary file is removed. An existing
    // entry of the name is replaced, never written through (a link there is replaced, not followed).
    // The destination must be a CFileBeneath too.
    bool CopyHeldTo(IFileBeneath& destination) const override;

    // Removes the entry (an entry already gone counts as removed); when a file is held (or was copied
    // here), only while the name still holds that same file.
    RemoveResult Remove() override;

    // Renames the entry to strNewRelative (relative to the same root), never replacing an existing
    // entry: where the name is taken, "_2", "_3" ... go before its extension. strNewRelative becomes
    // the name used. False when no free name was found or the rename failed.
    bool MoveToFreeName(std::string& strNewRelative) override;

    // A new temporary name for a copy of strName made by this process (kept within the longest name).
    static std::string PartialCopyName(const std::string& strName);
    // Whether a name is a temporary file of CopyHeldTo: ".<name>.<run>.<count>.klendo-part", the run
    // (a number drawn once per process) and the count in hexadecimal.
    static bool IsPartialCopyName(const std::string& strName);
    // Removes the partial copies that earlier runs left in the tree below strRoot (a crash, a power
    // cut); those of this run are copies in progress and stay. The relative names removed go to
    // removed. Links are not followed; keepGoing, asked before each folder, ends the walk early.
    static void RemovePartialCopies(const std::string& strRoot, std::vector<std::string>& removed,
                                    const std::function<bool()>& keepGoing);

    static constexpr const char* kPartialCopySuffix = ".klendo-part";

  private:
    // The platform's own implementations reach the file held, to hand it to a child process; its
    // contract tests see how a path was resolved.
    friend struct CHeldFileAccess;
    friend struct CFileBeneathForTest;

    class CImpl;
    std::unique_ptr<CImpl> m_pImpl;
    std::string m_strName;
};

// The real file system: every entry a CFileBeneath.
class CFileSystemBeneath final : public IFileSystem {
  public:
    std::unique_ptr<IFileBeneath> NewFile() override { return std::make_unique<CFileBeneath>(); }
};

} // namespace Platform
