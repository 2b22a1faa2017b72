#include "platform/FileReplacement.h"

#include "platform/ExclusiveFile.h"
#include "platform/FileSystem.h"
#include "platform/win32/FileInfo.h"
#include "platform/win32/FolderChain.h"
#include "platform/win32/UniqueHandle.h"
#include "platform/win32/WideText.h"

#include <windows.h>

namespace Platform {

struct CFileReplacement::CImpl {
    Win32::CUniqueHandle file;
    std::wstring wstrPath;
    std::wstring wstrTempPath;
    std::string strPath;

    void Abandon() {
        file.Reset();
        if (!wstrTempPath.empty()) {
            Win32::CLastErrorKeeper keepError;
            ::DeleteFileW(wstrTempPath.c_str());
        }
        wstrTempPath.clear();
    }

    // The holder of the file (CExclusiveFile) may keep it open while it replaces it. A plain rename
    // over an open file fails, so the POSIX rename of Windows 10 goes first: it replaces the name at
    // once and leaves open handles on the old file. Where the system or the file system lacks it, or
    // refuses it while the file is open (Wine), the holder lets go and the plain rename is the way,
    // which works while nobody has the file open.
    bool RenameOverPath(CExclusiveFile* pHolder) {
        if (Win32::RenameByHandle(file.Get(), wstrPath, Win32::kFileRenameInfoEx,
                                  Win32::kRenameReplaceIfExists | Win32::kRenamePosixSemantics))
            return true;
        DWORD nError = ::GetLastError();
        bool bRefusedWhileHeld =
            pHolder != nullptr && (nError == ERROR_ACCESS_DENIED || nError == ERROR_SHARING_VIOLATION);
        if (!Win32::IsUnsupportedError(nError) && !bRefusedWhileHeld)
            return false;
        if (pHolder != nullptr)
            pHolder->Close();
        file.Reset();
        return ::MoveFileExW(wstrTempPath.c_str(), wstrPath.c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
    }
};

CFileReplacement::CFileReplacement() : m_pImpl(std::make_unique<CImpl>()) {}

CFileReplacement::~CFileReplacement() {
    m_pImpl->Abandon();
}

bool CFileReplacement::Begin(const std::string& strPath) {
    m_pImpl->Abandon();
    m_pImpl->strPath = strPath;
    m_pImpl->wstrPath = Win32::ToWide(strPath);
    std::wstring wstrTempPath = Win32::ToWide(strPath + ".tmp");
    // A leftover is removed, not truncated: were it a link, the new content would go through it to
    // another file. Deleting a link deletes the link, and CREATE_NEW never follows one.
    if (!::DeleteFileW(wstrTempPath.c_str()) && !Win32::IsMissingError(::GetLastError()))
        return false;
    m_pImpl->file.Reset(::CreateFileW(wstrTempPath.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!m_pImpl->file)
        return false;
    m_pImpl->wstrTempPath = wstrTempPath;
    return true;
}

bool CFileReplacement::Write(const char* pData, size_t nSize) {
    if (!m_pImpl->file) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    while (nSize > 0) {
        DWORD nWritten = 0;
        DWORD nChunk = nSize > (1u << 30) ? (1u << 30) : static_cast<DWORD>(nSize);
        if (!::WriteFile(m_pImpl->file.Get(), pData, nChunk, &nWritten, nullptr))
            return false;
        pData += nWritten;
        nSize -= nWritten;
    }
    return true;
}

bool CFileReplacement::Commit(CExclusiveFile* pHolder) {
    if (!m_pImpl->file) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (!::FlushFileBuffers(m_pImpl->file.Get()) || !m_pImpl->RenameOverPath(pHolder)) {
        m_pImpl->Abandon();
        return false;
    }
    m_pImpl->file.Reset();
    m_pImpl->wstrTempPath.clear();
    // The new content is in place; flushing the folder entry only makes the rename itself survive a
    // power loss, so a failure here does not undo a replacement that took place.
    (void)FlushFolderEntry(m_pImpl->strPath);
    return true;
}

} // namespace Platform
