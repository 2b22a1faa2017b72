#include "platform/FolderChecks.h"

#include "platform/win32/FileInfo.h"
#include "platform/win32/FolderChain.h"
#include "platform/win32/UniqueHandle.h"
#include "platform/win32/WideText.h"

#include <windows.h>

#include <sddl.h>

#include <algorithm>
#include <vector>

namespace Platform {

namespace {

using Win32::CUniqueHandle;

CUniqueHandle OpenFolder(const std::wstring& wstrPath, DWORD nAccess) {
    return CUniqueHandle(::CreateFileW(wstrPath.c_str(), nAccess, Win32::kShareAll, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

// The final path of what wstrPath names, links followed; empty when it does not exist.
std::wstring FinalPathOfName(const std::wstring& wstrPath) {
    CUniqueHandle entry = OpenFolder(wstrPath, FILE_READ_ATTRIBUTES);
    return entry ? Win32::WithoutLiteralPrefix(Win32::FinalPathOf(entry.Get())) : std::wstring();
}

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// The length of the part of an absolute path that ".." never climbs over: "C:\" or "\\server\share\".
size_t RootLength(const std::wstring& wstrPath) {
    if (wstrPath.size() >= 3 && wstrPath[1] == L':' && IsSeparator(wstrPath[2]))
        return 3;
    if (wstrPath.size() < 2 || !IsSeparator(wstrPath[0]) || !IsSeparator(wstrPath[1]))
        return 0;
    size_t nEnd = 2;
    for (int nPart = 0; nPart < 2 && nEnd < wstrPath.size(); ++nPart) {
        while (nEnd < wstrPath.size() && !IsSeparator(wstrPath[nEnd]))
            ++nEnd;
        if (nEnd < wstrPath.size())
            ++nEnd;
    }
    return nEnd;
}

std::wstring AbsolutePath(const std::wstring& wstrPath) {
    if (RootLength(wstrPath) > 0)
        return wstrPath;
    DWORD nLength = ::GetCurrentDirectoryW(0, nullptr);
    std::wstring wstrCurrent(nLength, L'\0');
    nLength = ::GetCurrentDirectoryW(nLength, &wstrCurrent[0]);
    if (nLength == 0 || nLength >= wstrCurrent.size())
        return std::wstring();
    wstrCurrent.resize(nLength);
    if (!wstrPath.empty() && IsSeparator(wstrPath[0]))
        return wstrCurrent.substr(0, RootLength(wstrCurrent)) + wstrPath.substr(1);
    return wstrCurrent + L'\\' + wstrPath;
}

std::string ProcessUserSid() {
    HANDLE hToken = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &hToken))
        return std::string();
    CUniqueHandle token(hToken);
    DWORD nSize = 0;
    ::GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &nSize);
    std::vector<unsigned char> buffer(nSize);
    wchar_t* pText = nullptr;
    if (nSize == 0 || !::GetTokenInformation(token.Get(), TokenUser, buffer.data(), nSize, &nSize) ||
        !::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &pText))
        return std::string();
    std::string strSid = Win32::FromWide(std::wstring(pText));
    ::LocalFree(pText);
    return strSid;
}

} // namespace

// One name at a time, as realpath does: the system would fold "missing\.." away before looking,
// where the path must fail because a part of it does not exist.
std::string ResolvePath(const std::string& strPath) {
    std::wstring wstrPath = AbsolutePath(Win32::ToWide(strPath));
    size_t nRoot = RootLength(wstrPath);
    if (nRoot == 0) {
        ::SetLastError(ERROR_INVALID_NAME);
        return std::string();
    }
    std::wstring wstrResolved = FinalPathOfName(wstrPath.substr(0, nRoot));
    size_t nStart = nRoot;
    while (!wstrResolved.empty() && nStart < wstrPath.size()) {
        size_t nEnd = nStart;
        while (nEnd < wstrPath.size() && !IsSeparator(wstrPath[nEnd]))
            ++nEnd;
        std::wstring wstrPart = wstrPath.substr(nStart, nEnd - nStart);
        nStart = nEnd + 1;
        if (wstrPart.empty() || wstrPart == L".")
            continue;
        if (wstrPart == L"..") {
            size_t nKept = RootLength(wstrResolved);
            if (wstrResolved.size() > nKept)
                wstrResolved.resize(std::max(wstrResolved.find_last_of(L'\\'), nKept));
            continue;
        }
        if (wstrResolved.back() != L'\\')
            wstrResolved += L'\\';
        wstrResolved = FinalPathOfName(wstrResolved + wstrPart);
    }
    return Win32::FromWide(wstrResolved);
}

// Opening with the rights asked is how the system's own access check answers for this process.
bool CanReadFolder(const std::string& strPath) {
    return OpenFolder(Win32::ToWide(strPath), FILE_LIST_DIRECTORY | FILE_TRAVERSE).IsValid();
}

// A read-only volume refuses the open for writing too (ERROR_WRITE_PROTECT).
bool CanWriteFolder(const std::string& strPath) {
    return OpenFolder(Win32::ToWide(strPath), FILE_ADD_FILE | FILE_TRAVERSE).IsValid();
}

// The account's SID ("S-1-5-...") stands in for a name the system cannot find.
std::string GetProcessUserName() {
    DWORD nLength = 0;
    ::GetUserNameW(nullptr, &nLength);
    std::wstring wstrName(nLength, L'\0');
    if (nLength > 0 && ::GetUserNameW(&wstrName[0], &nLength))
        return Win32::FromWide(wstrName.c_str(), nLength > 0 ? nLength - 1 : 0);
    return ProcessUserSid();
}

// The service runs as LocalSystem; an elevated administrator has the same rights over the install.
bool HasServiceRights() {
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID pAdministrators = nullptr;
    if (!::AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0,
                                    0, 0, 0, 0, 0, &pAdministrators))
        return false;
    BOOL bMember = FALSE;
    bool bChecked = ::CheckTokenMembership(nullptr, pAdministrators, &bMember) != FALSE;
    ::FreeSid(pAdministrators);
    return bChecked && bMember;
}

} // namespace Platform
