#include "platform/win32/FolderChain.h"

#include "platform/win32/FileInfo.h"
#include "platform/win32/WideText.h"

#include <cstddef>
#include <cstring>

namespace Win32 {

namespace {

const wchar_t kLiteralPrefix[] = L"\\\\?\\";
const wchar_t kLiteralUncPrefix[] = L"\\\\?\\UNC\\";
const wchar_t kNativePrefix[] = L"\\??\\";

bool StartsWith(const std::wstring& wstrText, const wchar_t* pPrefix) {
    return wstrText.compare(0, std::wcslen(pPrefix), pPrefix) == 0;
}

// Folders are opened to be checked and held. The system records a handle's share mode only when it
// has a right to data (an open for attributes alone does not count), so each holds the right to
// traverse, which an account that may reach the entry has anyway; leaving out FILE_SHARE_DELETE then
// keeps the folder from being renamed or removed.
CUniqueHandle OpenFolder(const std::wstring& wstrPath, DWORD nFlags) {
    return CUniqueHandle(::CreateFileW(wstrPath.c_str(), FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS | nFlags, nullptr));
}

CFolderChain::Result ResultOfOpenError() {
    return IsMissingError(::GetLastError()) ? CFolderChain::Result::Missing : CFolderChain::Result::Failed;
}

} // namespace

std::wstring FinalPathOf(HANDLE hFile) {
    std::wstring wstrPath(MAX_PATH, L'\0');
    for (int nTry = 0; nTry < 3; ++nTry) {
        DWORD nLength = ::GetFinalPathNameByHandleW(hFile, &wstrPath[0], static_cast<DWORD>(wstrPath.size()),
                                                    FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (nLength == 0)
            return std::wstring();
        if (nLength < wstrPath.size()) {
            wstrPath.resize(nLength);
            return wstrPath;
        }
        wstrPath.assign(nLength + 1, L'\0');
    }
    ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return std::wstring();
}

std::wstring WithoutLiteralPrefix(const std::wstring& wstrPath) {
    if (StartsWith(wstrPath, kLiteralUncPrefix))
        return L"\\\\" + wstrPath.substr(std::wcslen(kLiteralUncPrefix));
    if (StartsWith(wstrPath, kLiteralPrefix))
        return wstrPath.substr(std::wcslen(kLiteralPrefix));
    return wstrPath;
}

// The "\\?\" form of a path as written, no link resolved.
std::wstring LiteralPathOf(const std::wstring& wstrPath) {
    if (StartsWith(wstrPath, kLiteralPrefix))
        return wstrPath;
    DWORD nLength = ::GetFullPathNameW(wstrPath.c_str(), 0, nullptr, nullptr);
    if (nLength == 0)
        return std::wstring();
    std::wstring wstrFull(nLength, L'\0');
    nLength = ::GetFullPathNameW(wstrPath.c_str(), nLength, &wstrFull[0], nullptr);
    if (nLength == 0 || nLength >= wstrFull.size())
        return std::wstring();
    wstrFull.resize(nLength);
    if (StartsWith(wstrFull, L"\\\\"))
        return kLiteralUncPrefix + wstrFull.substr(2);
    return kLiteralPrefix + wstrFull;
}

std::wstring NativePathOf(const std::wstring& wstrPath) {
    std::wstring wstrLiteral = LiteralPathOf(wstrPath);
    if (wstrLiteral.empty())
        return std::wstring();
    return kNativePrefix + wstrLiteral.substr(std::wcslen(kLiteralPrefix));
}

bool RenameByHandle(HANDLE hFile, const std::wstring& wstrTarget, FILE_INFO_BY_HANDLE_CLASS renameClass,
                    DWORD nFlags) {
    std::wstring wstrNative = NativePathOf(wstrTarget);
    if (wstrNative.empty())
        return false;
    size_t nNameBytes = wstrNative.size() * sizeof(wchar_t);
    // FILE_RENAME_INFO ends in the name; its first field is a flag word in the newer class and a
    // BOOLEAN in the older one, both at its start.
    std::vector<unsigned char> buffer(offsetof(FILE_RENAME_INFO, FileName) + nNameBytes + sizeof(wchar_t), 0);
    auto* pInfo = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    if (renameClass == FileRenameInfo)
        pInfo->ReplaceIfExists = (nFlags & kRenameReplaceIfExists) != 0;
    else
        std::memcpy(buffer.data(), &nFlags, sizeof(nFlags));
    pInfo->RootDirectory = nullptr;
    pInfo->FileNameLength = static_cast<DWORD>(nNameBytes);
    std::memcpy(pInfo->FileName, wstrNative.data(), nNameBytes);
    return ::SetFileInformationByHandle(hFile, renameClass, pInfo, static_cast<DWORD>(buffer.size())) !=
           FALSE;
}

bool IsUnsupportedError(DWORD nError) {
    return nError == ERROR_INVALID_PARAMETER || nError == ERROR_INVALID_FUNCTION ||
           nError == ERROR_NOT_SUPPORTED;
}

CFolderChain::Result CFolderChain::Open(const std::string& strRoot, const std::vector<std::string>& folders) {
    Reset();
    std::vector<CUniqueHandle> opened;
    // The "\\?\" form, so that a root deeper than the classic 260 characters opens too.
    std::wstring wstrRoot = LiteralPathOf(ToWide(strRoot));
    CUniqueHandle root = OpenFolder(wstrRoot.empty() ? ToWide(strRoot) : wstrRoot, 0);
    BY_HANDLE_FILE_INFORMATION info;
    if (!root || !::GetFileInformationByHandle(root.Get(), &info))
        return ResultOfOpenError();
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        ::SetLastError(ERROR_DIRECTORY);
        return Result::Missing;
    }
    // Some file systems (a few network and RAM disk drivers) cannot tell a handle's path; the root is
    // then taken as written, which only gives up the guard against a root link retargeted meanwhile.
    std::wstring wstrPath = FinalPathOf(root.Get());
    if (wstrPath.empty())
        wstrPath = wstrRoot;
    if (wstrPath.empty())
        return Result::Failed;
    // A drive's root ends in a separator; every name joined on brings its own.
    if (wstrPath.back() == L'\\')
        wstrPath.pop_back();
    opened.push_back(std::move(root));
    for (const std::string& strFolder : folders) {
        wstrPath += L'\\' + ToWide(strFolder);
        CUniqueHandle folder = OpenFolder(wstrPath, FILE_FLAG_OPEN_REPARSE_POINT);
        if (!folder || !::GetFileInformationByHandle(folder.Get(), &info))
            return ResultOfOpenError();
        if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            ::SetLastError(ERROR_CANT_RESOLVE_FILENAME);
            return Result::Link;
        }
        if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            ::SetLastError(ERROR_DIRECTORY);
            return Result::Missing;
        }
        opened.push_back(std::move(folder));
    }
    m_folders = std::move(opened);
    m_wstrPath = std::move(wstrPath);
    return Result::Opened;
}

void CFolderChain::Reset() {
    m_folders.clear();
    m_wstrPath.clear();
}

std::wstring CFolderChain::PathOf(const std::string& strName) const {
    return m_wstrPath + L'\\' + ToWide(strName);
}

} // namespace Win32
