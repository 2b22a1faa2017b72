#include "platform/FileAccess.h"

#include "platform/FileSystem.h"
#include "platform/win32/FileInfo.h"
#include "platform/win32/FolderChain.h"
#include "platform/win32/HeldFile.h"
#include "platform/win32/UniqueHandle.h"
#include "platform/win32/WideText.h"

#include <windows.h>

#include <aclapi.h>

#include <algorithm>
#include <vector>

namespace Platform {

namespace {

using Win32::CFileIdentity;
using Win32::CFolderChain;
using Win32::CLastErrorKeeper;
using Win32::CUniqueHandle;
using Win32::IsMissingError;
using Win32::kShareAll;
using Resolution = CFileBeneath::Resolution;

constexpr int kMaxFreeNameTries = 1000;
constexpr DWORD kCopyBlock = 1 << 20;

// The disposition class of Windows 10 that takes flags, and its flags (declared by the SDK only for
// builds that require that version).
constexpr FILE_INFO_BY_HANDLE_CLASS kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD kDispositionDelete = 0x1;
constexpr DWORD kDispositionPosixSemantics = 0x2;
constexpr DWORD kDispositionIgnoreReadOnly = 0x10;
struct CDispositionEx {
    DWORD nFlags;
};

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// The folder names of a relative path and its last name. Both separators count, as they do for the
// system. False for a name that could leave the root ("." or ".." as a name) or that names a stream
// of a file (a colon), or that has no last name.
bool SplitRelative(const std::string& strRelative, std::vector<std::string>& folders, std::string& strName) {
    folders.clear();
    size_t nStart = 0;
    while (nStart <= strRelative.size()) {
        size_t nEnd = nStart;
        while (nEnd < strRelative.size() && !IsSeparator(strRelative[nEnd]))
            ++nEnd;
        std::string strPart = strRelative.substr(nStart, nEnd - nStart);
        if (strPart == "." || strPart == ".." || strPart.find(':') != std::string::npos) {
            ::SetLastError(strPart.find(':') != std::string::npos ? ERROR_INVALID_NAME
                                                                  : ERROR_NOT_SAME_DEVICE);
            return false;
        }
        if (!strPart.empty())
            folders.push_back(strPart);
        nStart = nEnd + 1;
    }
    if (folders.empty()) {
        ::SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    strName = folders.back();
    folders.pop_back();
    return true;
}

std::string JoinFolders(const std::vector<std::string>& folders) {
    std::string strJoined;
    for (const std::string& strFolder : folders)
        strJoined += (strJoined.empty() ? "" : std::string(1, kPathSeparator)) + strFolder;
    return strJoined;
}

Resolution ResolutionOf(CFolderChain::Result result) {
    switch (result) {
    case CFolderChain::Result::Opened:
        return Resolution::Resolved;
    case CFolderChain::Result::Missing:
        return Resolution::Missing;
    case CFolderChain::Result::Link:
        return Resolution::Link;
    case CFolderChain::Result::Failed:
        break;
    }
    return Resolution::Failed;
}

// "_2" .. before the extension of the name.
std::string NumberedName(const std::string& strName, int nNumber) {
    size_t nDot = strName.rfind('.');
    if (nDot == std::string::npos || nDot == 0)
        return strName + "_" + std::to_string(nNumber);
    return strName.substr(0, nDot) + "_" + std::to_string(nNumber) + strName.substr(nDot);
}

// The entry itself, never what a link there points to. Opening a folder needs
// FILE_FLAG_BACKUP_SEMANTICS, which is left out: a folder fails with ERROR_ACCESS_DENIED.
CUniqueHandle OpenEntry(const std::wstring& wstrPath, DWORD nAccess, DWORD nShare) {
    return CUniqueHandle(::CreateFileW(wstrPath.c_str(), nAccess, nShare, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// A regular file: neither a reparse point (a link) nor a device.
bool IsRegularFile(HANDLE hFile, const BY_HANDLE_FILE_INFORMATION& info) {
    return (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0 &&
           ::GetFileType(hFile) == FILE_TYPE_DISK;
}

bool WriteAll(HANDLE hFile, const char* pData, DWORD nSize) {
    while (nSize > 0) {
        DWORD nWritten = 0;
        if (!::WriteFile(hFile, pData, nSize, &nWritten, nullptr))
            return false;
        pData += nWritten;
        nSize -= nWritten;
    }
    return true;
}

bool CopyContent(HANDLE hFrom, HANDLE hTo) {
    std::vector<char> block(kCopyBlock);
    uint64_t nOffset = 0;
    while (true) {
        DWORD nRead = 0;
        if (!Win32::ReadAtKeepingPosition(hFrom, nOffset, block.data(), kCopyBlock, nRead))
            return false;
        if (nRead == 0)
            return true;
        if (!WriteAll(hTo, block.data(), nRead))
            return false;
        nOffset += nRead;
    }
}

// Removes exactly the file of hFile. The name goes at once where the system can (POSIX semantics),
// so that a handle still open elsewhere (a parser worker's) cannot keep it "delete pending" and
// refuse the next file of that name; elsewhere (Wine, older Windows, FAT) it goes when the last
// handle closes.
bool MarkForDeletion(HANDLE hFile) {
    // Windows before 10 1809 refuses the read-only flag but may take POSIX semantics without it.
    for (DWORD nFlags : {kDispositionDelete | kDispositionPosixSemantics | kDispositionIgnoreReadOnly,
                         kDispositionDelete | kDispositionPosixSemantics}) {
        CDispositionEx disposition = {nFlags};
        if (::SetFileInformationByHandle(hFile, kFileDispositionInfoEx, &disposition, sizeof(disposition)))
            return true;
        if (!Win32::IsUnsupportedError(::GetLastError()))
            return false;
    }
    FILE_DISPOSITION_INFO classic = {TRUE};
    return ::SetFileInformationByHandle(hFile, FileDispositionInfo, &classic, sizeof(classic)) != FALSE;
}

// Asks twice: once for the sizes, once for the names.
OwnerLookup AccountOfSid(PSID pSid, std::string& strOwner, std::string& strDomain) {
    DWORD nName = 0;
    DWORD nDomain = 0;
    SID_NAME_USE use;
    ::LookupAccountSidW(nullptr, pSid, nullptr, &nName, nullptr, &nDomain, &use);
    DWORD nError = ::GetLastError();
    if (nError == ERROR_NONE_MAPPED) {
        ::SetLastError(0);
        return OwnerLookup::NoAccount;
    }
    if (nError != ERROR_INSUFFICIENT_BUFFER)
        return OwnerLookup::LookupFailed;
    std::wstring wstrName(nName, L'\0');
    std::wstring wstrDomain(nDomain, L'\0');
    if (!::LookupAccountSidW(nullptr, pSid, &wstrName[0], &nName, &wstrDomain[0], &nDomain, &use))
        return ::GetLastError() == ERROR_NONE_MAPPED ? (::SetLastError(0), OwnerLookup::NoAccount)
                                                     : OwnerLookup::LookupFailed;
    strOwner = Win32::FromWide(wstrName.c_str(), nName);
    strDomain = Win32::FromWide(wstrDomain.c_str(), nDomain);
    return OwnerLookup::Found;
}

// The owner of the file a handle opened with READ_CONTROL reaches; the domain is the account's own.
OwnerLookup OwnerOfHandle(HANDLE hFile, std::string& strOwner, std::string& strDomain) {
    strOwner.clear();
    strDomain.clear();
    PSID pOwner = nullptr;
    PSECURITY_DESCRIPTOR pDescriptor = nullptr;
    DWORD nError = ::GetSecurityInfo(hFile, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &pOwner, nullptr,
                                     nullptr, nullptr, &pDescriptor);
    if (nError != ERROR_SUCCESS) {
        ::SetLastError(nError);
        return OwnerLookup::ReadFailed;
    }
    OwnerLookup result = AccountOfSid(pOwner, strOwner, strDomain);
    CLastErrorKeeper keepError;
    ::LocalFree(pDescriptor);
    return result;
}

} // namespace

class CFileBeneath::CImpl {
  public:
    std::string strRoot;
    CFolderChain parent;
    CUniqueHandle held;
    BY_HANDLE_FILE_INFORMATION heldInfo{};
    DWORD nOpenError = ERROR_FILE_NOT_FOUND;
    // The file this entry must still name when it is removed: the one held, or the one copied here.
    CFileIdentity expected;

    // The entry, opened to be renamed or removed, while it is still the file expected. Null with
    // the system error otherwise; bReplaced when it is another file now.
    CUniqueHandle OpenExpected(const std::string& strName, bool& bReplaced) const {
        bReplaced = false;
        CUniqueHandle entry = OpenEntry(parent.PathOf(strName), DELETE | FILE_READ_ATTRIBUTES, kShareAll);
        BY_HANDLE_FILE_INFORMATION info;
        if (!entry || !::GetFileInformationByHandle(entry.Get(), &info))
            return CUniqueHandle();
        if (expected.bKnown && !expected.Matches(info)) {
            bReplaced = true;
            ::SetLastError(ERROR_FILE_EXISTS);
            return CUniqueHandle();
        }
        return entry;
    }
};

CFileBeneath::CFileBeneath() : m_pImpl(new CImpl()) {}
CFileBeneath::~CFileBeneath() = default;

CFileBeneath::Resolution CFileBeneath::Resolve(const std::string& strRoot, const std::string& strRelative) {
    m_pImpl->parent.Reset();
    m_pImpl->held.Reset();
    m_pImpl->expected = CFileIdentity();
    m_pImpl->strRoot = strRoot;
    std::vector<std::string> folders;
    if (!SplitRelative(strRelative, folders, m_strName))
        return Resolution::Link;
    return ResolutionOf(m_pImpl->parent.Open(strRoot, folders));
}

FileKind CFileBeneath::GetKind() const {
    if (!m_pImpl->parent.IsOpen())
        return FileKind::Missing;
    DWORD nAttributes = ::GetFileAttributesW(m_pImpl->parent.PathOf(m_strName).c_str());
    if (nAttributes == INVALID_FILE_ATTRIBUTES)
        return FileKind::Missing;
    if ((nAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return FileKind::SymbolicLink;
    return (nAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0 ? FileKind::Regular
                                                                                   : FileKind::Other;
}

bool CFileBeneath::GetVersion(CFileVersion& version) const {
    if (!m_pImpl->parent.IsOpen()) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    WIN32_FILE_ATTRIBUTE_DATA info;
    if (!::GetFileAttributesExW(m_pImpl->parent.PathOf(m_strName).c_str(), GetFileExInfoStandard, &info))
        return false;
    version = Win32::VersionOf(info);
    return true;
}

// An open that shares nothing succeeds only while no other handle reads, writes or deletes the file,
// in any process: the answer is exact, as a write lease's is, so the probe reports that test.
CProbeResult CFileBeneath::ProbeExclusiveOpen() const {
    CProbeResult result;
    result.test = WriteCompleteTest::WriteLease;
    if (!m_pImpl->parent.IsOpen())
        return result;
    std::wstring wstrPath = m_pImpl->parent.PathOf(m_strName);
    CUniqueHandle file = OpenEntry(wstrPath, GENERIC_READ, 0);
    if (!file) {
        DWORD nError = ::GetLastError();
        result.nError = static_cast<int>(nError);
        DWORD nAttributes = ::GetFileAttributesW(wstrPath.c_str());
        bool bFolder =
            nAttributes != INVALID_FILE_ATTRIBUTES && (nAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        result.state = IsMissingError(nError)                     ? OpenState::Missing
                       : nError == ERROR_SHARING_VIOLATION        ? OpenState::Busy
                       : nError == ERROR_ACCESS_DENIED && bFolder ? OpenState::NotRegular
                                                                  : OpenState::Unreadable;
        return result;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(file.Get(), &info)) {
        result.nError = static_cast<int>(::GetLastError());
        result.state = OpenState::Unreadable;
        return result;
    }
    result.version = Win32::VersionOf(info);
    result.state = IsRegularFile(file.Get(), info) ? OpenState::Free : OpenState::NotRegular;
    return result;
}

// The held file shares reading, so that others may still read it, and deletion, so that this
// object can remove or rename it while it holds it; it refuses writing: the probe found no writer,
// and none may begin while the file is copied, read and counted, so all of them see one content.
bool CFileBeneath::OpenHeld() {
    m_pImpl->held.Reset();
    m_pImpl->expected = CFileIdentity();
    if (!m_pImpl->parent.IsOpen()) {
        m_pImpl->nOpenError = ERROR_FILE_NOT_FOUND;
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    CUniqueHandle file =
        OpenEntry(m_pImpl->parent.PathOf(m_strName), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE);
    if (!file || !::GetFileInformationByHandle(file.Get(), &m_pImpl->heldInfo)) {
        m_pImpl->nOpenError = ::GetLastError();
        return false;
    }
    if (!IsRegularFile(file.Get(), m_pImpl->heldInfo)) {
        m_pImpl->nOpenError = ERROR_BAD_FILE_TYPE;
        ::SetLastError(ERROR_BAD_FILE_TYPE);
        return false;
    }
    m_pImpl->held = std::move(file);
    m_pImpl->expected = CFileIdentity::Of(m_pImpl->heldInfo);
    return true;
}

bool CFileBeneath::IsHeld() const {
    return m_pImpl->held.IsValid();
}

void CFileBeneath::ReleaseHeld() {
    m_pImpl->held.Reset();
    m_pImpl->expected = CFileIdentity();
}

HANDLE CHeldFileAccess::Handle(const CFileBeneath& file) {
    return file.m_pImpl->held.IsValid() ? file.m_pImpl->held.Get() : INVALID_HANDLE_VALUE;
}

CFileVersion CFileBeneath::GetHeldVersion() const {
    return Win32::VersionOf(m_pImpl->heldInfo);
}

bool CFileBeneath::HasHeldFileChanged() const {
    BY_HANDLE_FILE_INFORMATION now;
    return !m_pImpl->held.IsValid() || !::GetFileInformationByHandle(m_pImpl->held.Get(), &now) ||
           Win32::VersionOf(now) != Win32::VersionOf(m_pImpl->heldInfo);
}

OwnerLookup CFileBeneath::GetHeldOwner(std::string& strOwner, std::string& strDomain) const {
    if (!m_pImpl->held.IsValid()) {
        ::SetLastError(m_pImpl->nOpenError);
        return OwnerLookup::OpenFailed;
    }
    return OwnerOfHandle(m_pImpl->held.Get(), strOwner, strDomain);
}

bool CFileBeneath::ReadHeld(std::string& strContent, size_t nMaxBytes) const {
    strContent.clear();
    if (!m_pImpl->held.IsValid()) {
        ::SetLastError(m_pImpl->nOpenError);
        return false;
    }
    std::vector<char> buffer(65536);
    while (strContent.size() < nMaxBytes) {
        DWORD nWanted = static_cast<DWORD>(std::min(buffer.size(), nMaxBytes - strContent.size()));
        DWORD nRead = 0;
        if (!Win32::ReadAtKeepingPosition(m_pImpl->held.Get(), strContent.size(), buffer.data(), nWanted,
                                          nRead))
            return false;
        if (nRead == 0)
            break;
        strContent.append(buffer.data(), nRead);
    }
    return true;
}

bool CFileBeneath::CopyHeldTo(IFileBeneath& other) const {
    if (!m_pImpl->held.IsValid()) {
        ::SetLastError(m_pImpl->nOpenError);
        return false;
    }
    auto* pDestination = dynamic_cast<CFileBeneath*>(&other);
    if (pDestination == nullptr) {
        ::SetLastError(ERROR_NOT_SAME_DEVICE);
        return false;
    }
    CFileBeneath& destination = *pDestination;
    if (!destination.m_pImpl->parent.IsOpen()) {
        ::SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    std::wstring wstrPartial = destination.m_pImpl->parent.PathOf(PartialCopyName(destination.m_strName));
    std::wstring wstrTarget = destination.m_pImpl->parent.PathOf(destination.m_strName);
    // CREATE_NEW never opens what stands at the name, a link included. Reading its identity afterwards
    // needs FILE_READ_ATTRIBUTES, which GENERIC_WRITE does not give.
    CUniqueHandle target(::CreateFileW(wstrPartial.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, nullptr,
                                       CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!target)
        return false;
    BY_HANDLE_FILE_INFORMATION written;
    bool bWritten = CopyContent(m_pImpl->held.Get(), target.Get()) && ::FlushFileBuffers(target.Get()) &&
                    ::GetFileInformationByHandle(target.Get(), &written);
    {
        CLastErrorKeeper keepError;
        target.Reset();
    }
    // Renaming replaces a link at the name rather than following it; WRITE_THROUGH returns once the
    // rename is on the disk, which stands for the flush of the folder.
    if (!bWritten || !::MoveFileExW(wstrPartial.c_str(), wstrTarget.c_str(),
                                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        CLastErrorKeeper keepError;
        ::DeleteFileW(wstrPartial.c_str());
        return false;
    }
    destination.m_pImpl->expected = CFileIdentity::Of(written);
    return true;
}

RemoveResult CFileBeneath::Remove() {
    if (!m_pImpl->parent.IsOpen())
        return RemoveResult::Removed;
    bool bReplaced = false;
    CUniqueHandle entry = m_pImpl->OpenExpected(m_strName, bReplaced);
    if (bReplaced)
        return RemoveResult::Replaced;
    if (!entry)
        return IsMissingError(::GetLastError()) ? RemoveResult::Removed : RemoveResult::Failed;
    if (!MarkForDeletion(entry.Get()))
        return RemoveResult::Failed;
    // The file is gone: holding it on would keep its name where deletion waits for the last handle.
    m_pImpl->held.Reset();
    return RemoveResult::Removed;
}

bool CFileBeneath::MoveToFreeName(std::string& strNewRelative) {
    std::vector<std::string> folders;
    std::string strNewName;
    if (!m_pImpl->parent.IsOpen() || !SplitRelative(strNewRelative, folders, strNewName)) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    CFolderChain target;
    if (target.Open(m_pImpl->strRoot, folders) != CFolderChain::Result::Opened)
        return false;
    bool bReplaced = false;
    CUniqueHandle entry = m_pImpl->OpenExpected(m_strName, bReplaced);
    if (!entry)
        return false;
    for (int nNumber = 1; nNumber <= kMaxFreeNameTries; ++nNumber) {
        std::string strCandidate = nNumber == 1 ? strNewName : NumberedName(strNewName, nNumber);
        if (Win32::RenameByHandle(entry.Get(), target.PathOf(strCandidate), FileRenameInfo, 0)) {
            folders.push_back(strCandidate);
            strNewRelative = JoinFolders(folders);
            m_strName = strCandidate;
            m_pImpl->parent = std::move(target);
            return true;
        }
        DWORD nError = ::GetLastError();
        if (nError != ERROR_ALREADY_EXISTS && nError != ERROR_FILE_EXISTS)
            return false;
    }
    ::SetLastError(ERROR_FILE_EXISTS);
    return false;
}

} // namespace Platform
