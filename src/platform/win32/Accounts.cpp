#include "platform/Accounts.h"

#include "platform/win32/UniqueHandle.h"
#include "platform/win32/WideText.h"

#include <windows.h>

#include <tlhelp32.h>
#include <vector>

// The user logged on at the machine is the one who runs the desktop shell, "explorer.exe". The
// terminal services' session list would name the session's user as well, but it is empty where no
// session manager runs, and the shell is what a user at the desktop always has.

namespace Platform {

namespace {

const wchar_t* const kShellName = L"explorer.exe";

// Backs off to the start of a UTF-8 sequence, so a cut never leaves half a character.
std::string CutUtf8(const std::string& strText, size_t nMaxLength) {
    if (strText.size() <= nMaxLength)
        return strText;
    size_t nEnd = nMaxLength;
    while (nEnd > 0 && (static_cast<unsigned char>(strText[nEnd]) & 0xC0) == 0x80)
        --nEnd;
    return strText.substr(0, nEnd);
}

// The account name (without its domain) of the user the process runs as; false with the system
// error left in GetLastError().
bool ReadProcessUser(DWORD nProcessId, std::string& strUser) {
    Win32::CUniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, nProcessId));
    if (!process)
        return false;
    HANDLE hToken = nullptr;
    if (!::OpenProcessToken(process.Get(), TOKEN_QUERY, &hToken))
        return false;
    Win32::CUniqueHandle token(hToken);
    DWORD nSize = 0;
    ::GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &nSize);
    if (nSize == 0)
        return false;
    std::vector<BYTE> tokenUser(nSize);
    if (!::GetTokenInformation(token.Get(), TokenUser, tokenUser.data(), nSize, &nSize))
        return false;
    PSID pSid = reinterpret_cast<TOKEN_USER*>(tokenUser.data())->User.Sid;
    wchar_t wszName[256] = {};
    wchar_t wszDomain[256] = {};
    DWORD nNameLength = 256, nDomainLength = 256;
    SID_NAME_USE use;
    if (!::LookupAccountSidW(nullptr, pSid, wszName, &nNameLength, wszDomain, &nDomainLength, &use))
        return false;
    strUser = Win32::FromWide(wszName, nNameLength);
    return true;
}

} // namespace

std::string GetHostComputerName(size_t nMaxLength) {
    wchar_t wszName[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD nLength = MAX_COMPUTERNAME_LENGTH + 1;
    if (!::GetComputerNameW(wszName, &nLength))
        return std::string();
    return CutUtf8(Win32::FromWide(wszName, nLength), nMaxLength);
}

// Each "explorer.exe" in the snapshot's order is tried until one names its user: the first may
// have ended since the snapshot was taken.
bool CSystemSessions::GetFirstSessionUser(std::string& strUser) {
    strUser.clear();
    Win32::CUniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return false;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    bool bMore = ::Process32FirstW(snapshot.Get(), &entry);
    if (!bMore && ::GetLastError() != ERROR_NO_MORE_FILES)
        return false;
    DWORD nError = 0;
    for (; bMore; bMore = ::Process32NextW(snapshot.Get(), &entry)) {
        if (::lstrcmpiW(entry.szExeFile, kShellName) != 0)
            continue;
        if (ReadProcessUser(entry.th32ProcessID, strUser)) {
            ::SetLastError(0);
            return true;
        }
        nError = ::GetLastError();
    }
    ::SetLastError(nError);
    return false;
}

} // namespace Platform
