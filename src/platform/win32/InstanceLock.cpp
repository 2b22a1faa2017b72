#include "platform/InstanceLock.h"

#include "platform/win32/FileInfo.h"
#include "platform/win32/FolderChain.h"
#include "platform/win32/UniqueHandle.h"
#include "platform/win32/WideText.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>

namespace Platform {

namespace {

using Win32::CUniqueHandle;

// The install folder as the system resolves it, in lower case: every way of writing the folder gives
// one name. Empty when it is missing or no folder.
std::wstring CanonicalFolder(const std::string& strFolder) {
    CUniqueHandle folder(::CreateFileW(Win32::ToWide(strFolder).c_str(), FILE_READ_ATTRIBUTES,
                                       Win32::kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                       nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!folder || !::GetFileInformationByHandle(folder.Get(), &info))
        return std::wstring();
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        ::SetLastError(ERROR_DIRECTORY);
        return std::wstring();
    }
    std::wstring wstrPath = Win32::FinalPathOf(folder.Get());
    if (!wstrPath.empty())
        ::CharLowerBuffW(&wstrPath[0], static_cast<DWORD>(wstrPath.size()));
    return wstrPath;
}

// FNV-1a over the UTF-16 units: names stay short whatever the folder's length.
std::wstring MutexName(const wchar_t* pNamespace, const std::wstring& wstrFolder) {
    uint64_t nHash = 14695981039346656037ULL;
    for (wchar_t c : wstrFolder) {
        nHash ^= static_cast<uint16_t>(c);
        nHash *= 1099511628211ULL;
    }
    wchar_t szHash[17];
    std::swprintf(szHash, 17, L"%016llx", static_cast<unsigned long long>(nHash));
    return std::wstring(pNamespace) + L"KlendoHotFolderAgent-" + szHash;
}

enum class Creation { Created, Exists, Denied, Failed };

Creation CreateNamedMutex(const std::wstring& wstrName, CUniqueHandle& mutex) {
    CUniqueHandle created(::CreateMutexW(nullptr, FALSE, wstrName.c_str()));
    DWORD nError = ::GetLastError();
    if (created && nError != ERROR_ALREADY_EXISTS) {
        mutex = std::move(created);
        return Creation::Created;
    }
    created.Reset();
    ::SetLastError(nError);
    if (nError == ERROR_ALREADY_EXISTS)
        return Creation::Exists;
    return nError == ERROR_ACCESS_DENIED ? Creation::Denied : Creation::Failed;
}

} // namespace

// A named mutex that exists while its creator lives: the system removes it with the last handle,
// however the process ends, and no file is made. It lives in the machine-wide namespace (Global\),
// so that a service and a console agent in another session see each other. A mutex there that this
// account may not open counts as held. An account that may not create one there is refused: a lock
// in its session's namespace would not be seen by a service started later, and both would bill the
// same files.
struct CInstanceLock::CImpl {
    CUniqueHandle mutex;
};

CInstanceLock::CInstanceLock() : m_pImpl(std::make_unique<CImpl>()) {}

CInstanceLock::~CInstanceLock() = default;

CInstanceLock::Result CInstanceLock::Take(const std::string& strFolder) {
    if (m_pImpl->mutex)
        return Result::Taken;
    std::wstring wstrFolder = CanonicalFolder(strFolder);
    if (wstrFolder.empty())
        return Result::Failed;
    Creation global = CreateNamedMutex(MutexName(L"Global\\", wstrFolder), m_pImpl->mutex);
    if (global == Creation::Denied) {
        CUniqueHandle existing(::OpenMutexW(SYNCHRONIZE, FALSE, MutexName(L"Global\\", wstrFolder).c_str()));
        DWORD nError = ::GetLastError();
        if (existing || nError == ERROR_ACCESS_DENIED) {
            ::SetLastError(ERROR_ALREADY_EXISTS);
            return Result::HeldElsewhere;
        }
        ::SetLastError(ERROR_ACCESS_DENIED);
        return Result::Failed;
    }
    switch (global) {
    case Creation::Created:
        return Result::Taken;
    case Creation::Exists:
        return Result::HeldElsewhere;
    case Creation::Denied:
    case Creation::Failed:
        break;
    }
    return Result::Failed;
}

} // namespace Platform
