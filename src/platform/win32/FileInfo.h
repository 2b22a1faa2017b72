#pragma once

// Windows-only pieces that the file primitives share: versions and identities of files, the
// system error kept across clean-up calls.

#include "platform/FileVersion.h"

#include <windows.h>

#include <cstdint>

namespace Win32 {

// 100-nanosecond ticks from 1601-01-01, where FILETIME counts from, to 1970-01-01.
constexpr int64_t kTicksBeforeUnixEpoch = 116444736000000000LL;

inline Platform::CFileVersion VersionOf(DWORD nSizeHigh, DWORD nSizeLow, const FILETIME& modified) {
    Platform::CFileVersion version;
    version.nSize = (static_cast<uint64_t>(nSizeHigh) << 32) | nSizeLow;
    int64_t nTicks =
        static_cast<int64_t>((static_cast<uint64_t>(modified.dwHighDateTime) << 32) | modified.dwLowDateTime);
    version.nModifiedNs = (nTicks - kTicksBeforeUnixEpoch) * 100;
    return version;
}

inline Platform::CFileVersion VersionOf(const BY_HANDLE_FILE_INFORMATION& info) {
    return VersionOf(info.nFileSizeHigh, info.nFileSizeLow, info.ftLastWriteTime);
}

inline Platform::CFileVersion VersionOf(const WIN32_FILE_ATTRIBUTE_DATA& info) {
    return VersionOf(info.nFileSizeHigh, info.nFileSizeLow, info.ftLastWriteTime);
}

// Which file a handle reaches: its volume and its number there.
struct CFileIdentity {
    DWORD nVolume = 0;
    uint64_t nIndex = 0;
    bool bKnown = false;

    static CFileIdentity Of(const BY_HANDLE_FILE_INFORMATION& info) {
        return {info.dwVolumeSerialNumber,
                (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow, true};
    }
    bool Matches(const BY_HANDLE_FILE_INFORMATION& info) const {
        CFileIdentity other = Of(info);
        return other.nVolume == nVolume && other.nIndex == nIndex;
    }
};

// Keeps the calling thread's system error across clean-up calls that may change it.
class CLastErrorKeeper {
  public:
    CLastErrorKeeper() : m_nError(::GetLastError()) {}
    ~CLastErrorKeeper() { ::SetLastError(m_nError); }
    CLastErrorKeeper(const CLastErrorKeeper&) = delete;
    CLastErrorKeeper& operator=(const CLastErrorKeeper&) = delete;

  private:
    DWORD m_nError;
};

// Reads up to nSize bytes at nOffset of a handle opened for synchronous use, 0 at the end, and
// leaves its position where it was, as pread does: a read at an offset would otherwise move it, and
// a child process handed the same handle reads from that position.
inline bool ReadAtKeepingPosition(HANDLE hFile, uint64_t nOffset, char* pBuffer, DWORD nSize, DWORD& nRead) {
    LARGE_INTEGER zero = {};
    LARGE_INTEGER position;
    nRead = 0;
    if (!::SetFilePointerEx(hFile, zero, &position, FILE_CURRENT))
        return false;
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(nOffset);
    at.OffsetHigh = static_cast<DWORD>(nOffset >> 32);
    bool bRead = ::ReadFile(hFile, pBuffer, nSize, &nRead, &at) || ::GetLastError() == ERROR_HANDLE_EOF;
    DWORD nError = ::GetLastError();
    ::SetFilePointerEx(hFile, position, nullptr, FILE_BEGIN);
    ::SetLastError(nError);
    return bRead;
}

inline bool IsMissingError(DWORD nError) {
    return nError == ERROR_FILE_NOT_FOUND || nError == ERROR_PATH_NOT_FOUND;
}

// Sharing every right: for opens that must never get in another process's way.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

} // namespace Win32
