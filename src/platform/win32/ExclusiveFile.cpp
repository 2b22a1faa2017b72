#include "platform/ExclusiveFile.h"

#include "platform/FileSystem.h"
#include "platform/win32/FileInfo.h"
#include "platform/win32/UniqueHandle.h"
#include "platform/win32/WideText.h"

#include <windows.h>

namespace Platform {

namespace {

// Others may read the file but never write it, and the holder itself may still rename a new file
// over the path (CFileReplacement), which needs the share of deletion.
constexpr DWORD kHolderShare = FILE_SHARE_READ | FILE_SHARE_DELETE;

// Holders exclude each other by a lock of one byte far beyond any file's end, which no read or write
// ever touches: readers share the file, so the share mode alone would let two reading holders in.
// The system drops the lock with the handle, however the process ends.
constexpr DWORD kHolderLockOffsetHigh = 0x7FFFFFFF;
constexpr DWORD kHolderLockOffsetLow = 0xFFFFFFFF;

bool LockAsHolder(HANDLE hFile) {
    OVERLAPPED at = {};
    at.Offset = kHolderLockOffsetLow;
    at.OffsetHigh = kHolderLockOffsetHigh;
    return ::LockFileEx(hFile, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != FALSE;
}

bool SetPosition(HANDLE hFile, long long nPosition) {
    LARGE_INTEGER position;
    position.QuadPart = nPosition;
    return ::SetFilePointerEx(hFile, position, nullptr, FILE_BEGIN) != FALSE;
}

bool GetPosition(HANDLE hFile, long long& nPosition) {
    LARGE_INTEGER zero = {};
    LARGE_INTEGER position;
    if (!::SetFilePointerEx(hFile, zero, &position, FILE_CURRENT))
        return false;
    nPosition = position.QuadPart;
    return true;
}

} // namespace

struct CExclusiveFile::CImpl {
    Win32::CUniqueHandle file;
    std::string strPath;
    // Created by this object's Open and its folder entry not flushed yet.
    bool bCreated = false;

    // The file's data alone does not survive a power loss while its name in the folder does not.
    bool FlushCreatedEntry() {
        if (!bCreated)
            return true;
        if (!FlushFolderEntry(strPath))
            return false;
        bCreated = false;
        return true;
    }
    bool IsHeld() const {
        if (!file)
            ::SetLastError(ERROR_INVALID_HANDLE);
        return file.IsValid();
    }
};

CExclusiveFile::CExclusiveFile() : m_pImpl(std::make_unique<CImpl>()) {}

CExclusiveFile::~CExclusiveFile() = default;

// The share mode is checked in the same step that finds the file by its name, so the file held is
// always the one the path names at that moment, however often it was replaced before.
bool CExclusiveFile::Open(const std::string& strPath, bool bCreate, bool bWrite) {
    Close();
    DWORD nAccess = GENERIC_READ | (bWrite ? GENERIC_WRITE : 0);
    Win32::CUniqueHandle file(::CreateFileW(Win32::ToWide(strPath).c_str(), nAccess, kHolderShare, nullptr,
                                            bCreate ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                            nullptr));
    if (!file)
        return false;
    bool bCreated = bCreate && ::GetLastError() != ERROR_ALREADY_EXISTS;
    if (::GetFileType(file.Get()) != FILE_TYPE_DISK) {
        ::SetLastError(ERROR_BAD_FILE_TYPE);
        return false;
    }
    if (!LockAsHolder(file.Get()))
        return false;
    m_pImpl->file = std::move(file);
    m_pImpl->strPath = strPath;
    m_pImpl->bCreated = bCreated;
    return true;
}

long long CExclusiveFile::GetSize() {
    LARGE_INTEGER size;
    if (!m_pImpl->IsHeld() || !::GetFileSizeEx(m_pImpl->file.Get(), &size))
        return -1;
    return size.QuadPart;
}

long CExclusiveFile::Read(char* pBuffer, size_t nSize) {
    if (!m_pImpl->IsHeld())
        return -1;
    DWORD nRead = 0;
    DWORD nWanted = nSize > (1u << 30) ? (1u << 30) : static_cast<DWORD>(nSize);
    if (!::ReadFile(m_pImpl->file.Get(), pBuffer, nWanted, &nRead, nullptr))
        return -1;
    return static_cast<long>(nRead);
}

long CExclusiveFile::ReadAt(long long nOffset, char* pBuffer, size_t nSize) {
    if (!m_pImpl->IsHeld())
        return -1;
    if (nOffset < 0) {
        ::SetLastError(ERROR_NEGATIVE_SEEK);
        return -1;
    }
    DWORD nRead = 0;
    DWORD nWanted = nSize > (1u << 30) ? (1u << 30) : static_cast<DWORD>(nSize);
    if (!Win32::ReadAtKeepingPosition(m_pImpl->file.Get(), static_cast<uint64_t>(nOffset), pBuffer, nWanted,
                                      nRead))
        return -1;
    return static_cast<long>(nRead);
}

// An offset of all ones writes at the end of the file, whatever the position.
bool CExclusiveFile::AppendDurably(const char* pData, size_t nSize) {
    if (!m_pImpl->IsHeld())
        return false;
    while (nSize > 0) {
        OVERLAPPED atEnd = {};
        atEnd.Offset = 0xFFFFFFFF;
        atEnd.OffsetHigh = 0xFFFFFFFF;
        DWORD nWritten = 0;
        DWORD nChunk = nSize > (1u << 30) ? (1u << 30) : static_cast<DWORD>(nSize);
        if (!::WriteFile(m_pImpl->file.Get(), pData, nChunk, &nWritten, &atEnd))
            return false;
        pData += nWritten;
        nSize -= nWritten;
    }
    return ::FlushFileBuffers(m_pImpl->file.Get()) && m_pImpl->FlushCreatedEntry();
}

bool CExclusiveFile::Truncate(long long nSize) {
    if (!m_pImpl->IsHeld())
        return false;
    if (nSize < 0) {
        ::SetLastError(ERROR_NEGATIVE_SEEK);
        return false;
    }
    long long nPosition = 0;
    HANDLE hFile = m_pImpl->file.Get();
    if (!GetPosition(hFile, nPosition) || !SetPosition(hFile, nSize) || !::SetEndOfFile(hFile))
        return false;
    bool bFlushed = ::FlushFileBuffers(hFile) != FALSE;
    Win32::CLastErrorKeeper keepError;
    SetPosition(hFile, nPosition < nSize ? nPosition : nSize);
    return bFlushed;
}

void CExclusiveFile::Close() {
    m_pImpl->file.Reset();
    m_pImpl->bCreated = false;
}

} // namespace Platform
