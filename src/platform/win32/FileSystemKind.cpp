#include "platform/FileSystemKind.h"

#include "platform/win32/FileInfo.h"
#include "platform/win32/FolderChain.h"
#include "platform/win32/UniqueHandle.h"
#include "platform/win32/WideText.h"

#include <windows.h>

#include <cwctype>

namespace Platform {

namespace {

bool IsOnRemoteDrive(const std::wstring& wstrFinalPath) {
    if (wstrFinalPath.compare(0, 2, L"\\\\") == 0)
        return true;
    std::wstring wstrDrive = wstrFinalPath.substr(0, 3);
    return wstrDrive.size() == 3 && wstrDrive[1] == L':' &&
           ::GetDriveTypeW(wstrDrive.c_str()) == DRIVE_REMOTE;
}

} // namespace

// A share (a UNC path, or a drive mapped to one) is a network file system; its name is the one the
// server reports for the share (often "ntfs"), or "remote" when it reports none.
std::string GetNetworkFileSystemName(const std::string& strPath) {
    Win32::CUniqueHandle entry(::CreateFileW(Win32::ToWide(strPath).c_str(), FILE_READ_ATTRIBUTES,
                                             Win32::kShareAll, nullptr, OPEN_EXISTING,
                                             FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!entry)
        return std::string();
    std::wstring wstrFinal = Win32::WithoutLiteralPrefix(Win32::FinalPathOf(entry.Get()));
    if (wstrFinal.empty() || !IsOnRemoteDrive(wstrFinal))
        return std::string();
    wchar_t szName[MAX_PATH + 1] = {};
    if (!::GetVolumeInformationByHandleW(entry.Get(), nullptr, 0, nullptr, nullptr, nullptr, szName,
                                         MAX_PATH + 1) ||
        szName[0] == L'\0')
        return "remote";
    std::wstring wstrName(szName);
    for (wchar_t& c : wstrName)
        c = static_cast<wchar_t>(std::towlower(c));
    return Win32::FromWide(wstrName);
}

} // namespace Platform
