#pragma once

// Windows-only: folders below a trusted root, opened one at a time without following a link, and
// the calls on names in them.

#include "platform/win32/UniqueHandle.h"

#include <windows.h>

#include <string>
#include <vector>

namespace Win32 {

// The final path of what an open handle reaches, with every link resolved, in the "\\?\" form that
// the system takes literally (no "." or ".." folding, no device names, no length limit); empty on
// failure.
std::wstring FinalPathOf(HANDLE hFile);

// A final path in the form people write: "C:\..." or "\\server\share\...".
std::wstring WithoutLiteralPrefix(const std::wstring& wstrPath);

// The "\\?\" form of a path as written (made absolute, no link resolved); empty on failure.
std::wstring LiteralPathOf(const std::wstring& wstrPath);

// The native ("\??\") form of a path, which renames by handle take; empty on failure.
std::wstring NativePathOf(const std::wstring& wstrPath);

// Renames the file of hFile (opened with DELETE access) to wstrTarget with the given rename class
// (FileRenameInfo, or the newer one that takes nFlags) and flags. Renaming by the handle renames
// exactly the file checked through it, whatever the name holds meanwhile.
bool RenameByHandle(HANDLE hFile, const std::wstring& wstrTarget, FILE_INFO_BY_HANDLE_CLASS renameClass,
                    DWORD nFlags);

// The rename class of Windows 10 that takes flags, and its flags (the SDK declares them only for
// builds that require that version).
constexpr FILE_INFO_BY_HANDLE_CLASS kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
constexpr DWORD kRenameReplaceIfExists = 0x1;
constexpr DWORD kRenamePosixSemantics = 0x2;

// Whether a failure means that the system or the file system lacks a newer call or flag.
bool IsUnsupportedError(DWORD nError);

// The root folder and the folders below it down to the one that holds an entry. Win32 has no open
// relative to a folder's handle, so each folder is opened by its full path with
// FILE_FLAG_OPEN_REPARSE_POINT and checked through its handle; every handle stays open, without
// FILE_SHARE_DELETE, until Reset, so that no folder of the path can be renamed, removed or swapped
// for a link while names in the last one are used. The root is the operator's choice and is followed
// when it is a link; its final path is the base of every later path, so a root link retargeted
// meanwhile does not redirect them either. One thread.
class CFolderChain {
  public:
    enum class Result { Opened, Missing, Link, Failed };

    // Opens strRoot and the folders below it. Missing when one does not exist or is no folder
    // (ERROR_DIRECTORY), Link when a folder below the root is a reparse point (a symbolic link, a
    // junction, a mount point), Failed otherwise; GetLastError() tells why.
    Result Open(const std::string& strRoot, const std::vector<std::string>& folders);
    bool IsOpen() const { return !m_folders.empty(); }
    void Reset();

    // The full path of a name in the last folder opened ("*" names all of them for a listing).
    std::wstring PathOf(const std::string& strName) const;

  private:
    std::vector<CUniqueHandle> m_folders;
    std::wstring m_wstrPath;
};

} // namespace Win32
