#include "platform/FileSystem.h"

#include "platform/win32/FileInfo.h"
#include "platform/win32/FolderChain.h"
#include "platform/win32/ReceivedFile.h"
#include "platform/win32/UniqueHandle.h"
#include "platform/win32/WideText.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <vector>

namespace Platform {

const char kPathSeparator = '\\';
const char* const kPathSeparators = "\\/";
const char* const kExecutableSuffix = ".exe";

namespace {

using Win32::CLastErrorKeeper;
using Win32::CUniqueHandle;
using Win32::ToWide;

// The agent's own files are regular ones: a folder, a device or a pipe at the path is refused.
bool IsRegularHandle(HANDLE hFile) {
    if (::GetFileType(hFile) == FILE_TYPE_DISK)
        return true;
    ::SetLastError(ERROR_BAD_FILE_TYPE);
    return false;
}

bool WriteAll(HANDLE hFile, const std::string& strData) {
    const char* pData = strData.data();
    size_t nLeft = strData.size();
    while (nLeft > 0) {
        DWORD nWritten = 0;
        DWORD nChunk = nLeft > (1u << 30) ? (1u << 30) : static_cast<DWORD>(nLeft);
        if (!::WriteFile(hFile, pData, nChunk, &nWritten, nullptr))
            return false;
        pData += nWritten;
        nLeft -= nWritten;
    }
    return true;
}

std::vector<std::string> SplitRelative(const std::string& strRelative) {
    std::vector<std::string> parts;
    size_t nStart = 0;
    while (nStart <= strRelative.size()) {
        size_t nEnd = strRelative.find_first_of(kPathSeparators, nStart);
        if (nEnd == std::string::npos)
            nEnd = strRelative.size();
        if (nEnd > nStart)
            parts.push_back(strRelative.substr(nStart, nEnd - nStart));
        nStart = nEnd + 1;
    }
    return parts;
}

std::string JoinRelative(const std::string& strFolder, const std::string& strName) {
    return strFolder.empty() ? strName : strFolder + kPathSeparator + strName;
}

struct CListedEntry {
    std::string strName;
    bool bFolder = false;
    CFileVersion version;
};

enum class ListResult { Listed, NotAFolder, Failed };

// What stands at strRelative below strRoot when it is no folder to enter (a link, a file).
bool VersionOfEntry(const std::string& strRoot, std::vector<std::string> parts, CFileVersion& version) {
    std::string strName = parts.back();
    parts.pop_back();
    Win32::CFolderChain parent;
    WIN32_FILE_ATTRIBUTE_DATA info;
    if (parent.Open(strRoot, parts) != Win32::CFolderChain::Result::Opened ||
        !::GetFileAttributesExW(parent.PathOf(strName).c_str(), GetFileExInfoStandard, &info))
        return false;
    version = Win32::VersionOf(info);
    return true;
}

// Lists a folder below the root whose folders are all held open meanwhile, so that none of them can
// be swapped for a link while it is listed; a reparse point is listed as an entry and never entered.
ListResult ListFolder(const std::string& strRoot, const std::string& strRelative,
                      std::vector<CListedEntry>& entries, CFileVersion& selfVersion) {
    entries.clear();
    std::vector<std::string> parts = SplitRelative(strRelative);
    Win32::CFolderChain folder;
    Win32::CFolderChain::Result opened = folder.Open(strRoot, parts);
    if (opened != Win32::CFolderChain::Result::Opened) {
        bool bNotAFolder =
            !parts.empty() &&
            (opened == Win32::CFolderChain::Result::Link ||
             (opened == Win32::CFolderChain::Result::Missing && ::GetLastError() == ERROR_DIRECTORY));
        CLastErrorKeeper keepError;
        return bNotAFolder && VersionOfEntry(strRoot, parts, selfVersion) ? ListResult::NotAFolder
                                                                          : ListResult::Failed;
    }
    WIN32_FIND_DATAW found;
    HANDLE hFind = ::FindFirstFileExW(folder.PathOf("*").c_str(), FindExInfoBasic, &found,
                                      FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (hFind == INVALID_HANDLE_VALUE)
        return ::GetLastError() == ERROR_FILE_NOT_FOUND ? ListResult::Listed : ListResult::Failed;
    do {
        std::wstring wstrName = found.cFileName;
        if (wstrName == L"." || wstrName == L"..")
            continue;
        CListedEntry entry;
        entry.strName = Win32::FromWide(wstrName);
        entry.bFolder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                        (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
        entry.version = Win32::VersionOf(found.nFileSizeHigh, found.nFileSizeLow, found.ftLastWriteTime);
        entries.push_back(std::move(entry));
    } while (::FindNextFileW(hFind, &found));
    bool bEnded = ::GetLastError() == ERROR_NO_MORE_FILES;
    CLastErrorKeeper keepError;
    ::FindClose(hFind);
    return bEnded ? ListResult::Listed : ListResult::Failed;
}

} // namespace

std::string GetModuleFilePath() {
    std::wstring wstrPath(MAX_PATH, L'\0');
    while (wstrPath.size() < 32768) {
        DWORD nLength = ::GetModuleFileNameW(nullptr, &wstrPath[0], static_cast<DWORD>(wstrPath.size()));
        if (nLength == 0)
            return std::string();
        if (nLength < wstrPath.size())
            return Win32::FromWide(wstrPath.c_str(), nLength);
        wstrPath.resize(wstrPath.size() * 2);
    }
    return std::string();
}

std::string GetModuleFolder() {
    std::string strPath = GetModuleFilePath();
    return strPath.empty() ? std::string() : FolderOf(strPath);
}

// "C:\" and "\" stay whole: without their separator they would name the current folder of a drive.
std::string FolderOf(const std::string& strPath) {
    size_t nPos = strPath.find_last_of("\\/");
    if (nPos == std::string::npos)
        return strPath.size() >= 2 && strPath[1] == ':' ? strPath.substr(0, 2) : ".";
    if (nPos == 0 || (nPos == 2 && strPath[1] == ':'))
        return strPath.substr(0, nPos + 1);
    return strPath.substr(0, nPos);
}

bool PathExists(const std::string& strPath) {
    return ::GetFileAttributesW(ToWide(strPath).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A link to a folder is itself no folder, as on every system the agent runs on.
bool IsDirectory(const std::string& strPath) {
    DWORD nAttributes = ::GetFileAttributesW(ToWide(strPath).c_str());
    return nAttributes != INVALID_FILE_ATTRIBUTES && (nAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (nAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

bool RemoveFile(const std::string& strPath) {
    return ::DeleteFileW(ToWide(strPath).c_str()) != FALSE;
}

bool MovePath(const std::string& strFrom, const std::string& strTo) {
    return ::MoveFileExW(ToWide(strFrom).c_str(), ToWide(strTo).c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

// Shared for deletion too: the log may be renamed aside while it is open.
std::FILE* OpenAppendStream(const std::string& strPath) {
    CUniqueHandle file(::CreateFileW(ToWide(strPath).c_str(), FILE_APPEND_DATA, Win32::kShareAll, nullptr,
                                     OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return nullptr;
    int nHandle = ::_open_osfhandle(reinterpret_cast<intptr_t>(file.Get()), _O_APPEND | _O_BINARY);
    if (nHandle < 0)
        return nullptr;
    file.Release();
    std::FILE* pStream = ::_fdopen(nHandle, "ab");
    if (pStream == nullptr)
        ::_close(nHandle);
    return pStream;
}

std::string FileNameKey(const std::string& strName) {
    std::wstring wstrName = ToWide(strName);
    if (!wstrName.empty())
        ::CharUpperBuffW(&wstrName[0], static_cast<DWORD>(wstrName.size()));
    return Win32::FromWide(wstrName);
}

namespace {

// A binary read stream over hFile, which it then owns; null when hFile is none or on failure.
std::FILE* ReadStreamOf(HANDLE hFile) {
    if (hFile == INVALID_HANDLE_VALUE)
        return nullptr;
    int nDescriptor = ::_open_osfhandle(reinterpret_cast<intptr_t>(hFile), _O_RDONLY | _O_BINARY);
    if (nDescriptor < 0) {
        ::CloseHandle(hFile);
        return nullptr;
    }
    std::FILE* pStream = ::_fdopen(nDescriptor, "rb");
    if (pStream == nullptr) {
        ::_close(nDescriptor);
        return nullptr;
    }
    // A duplicate shares its position with every other handle on that open file: start from the start.
    if (::_fseeki64(pStream, 0, SEEK_SET) != 0) {
        std::fclose(pStream);
        return nullptr;
    }
    return pStream;
}

} // namespace

std::FILE* OpenReadStream(const std::string& strPath) {
    // A file a parser worker was sent is read through its handle, never by its name again.
    HANDLE hReceived = INVALID_HANDLE_VALUE;
    if (Win32::ReopenReceivedFile(strPath, hReceived))
        return ReadStreamOf(hReceived);
    // The file is not inherited by children (the default of the C runtime's 'N' mode).
    return ::_wfopen(ToWide(strPath).c_str(), L"rbN");
}

bool SeekStream(std::FILE* pStream, uint64_t nOffset) {
    if (nOffset > static_cast<uint64_t>(INT64_MAX)) {
        ::SetLastError(ERROR_NEGATIVE_SEEK);
        return false;
    }
    return ::_fseeki64(pStream, static_cast<int64_t>(nOffset), SEEK_SET) == 0;
}

int64_t GetStreamSize(std::FILE* pStream) {
    LARGE_INTEGER size;
    HANDLE hFile = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(pStream)));
    if (hFile == INVALID_HANDLE_VALUE || !::GetFileSizeEx(hFile, &size))
        return -1;
    return size.QuadPart;
}

bool AppendDurably(const std::string& strPath, const std::string& strData, bool bCreate) {
    CUniqueHandle file(::CreateFileW(ToWide(strPath).c_str(), FILE_APPEND_DATA, Win32::kShareAll, nullptr,
                                     bCreate ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    bool bCreated = bCreate && ::GetLastError() != ERROR_ALREADY_EXISTS;
    bool bWritten =
        IsRegularHandle(file.Get()) && WriteAll(file.Get(), strData) && ::FlushFileBuffers(file.Get());
    {
        CLastErrorKeeper keepError;
        file.Reset();
    }
    return bWritten && (!bCreated || FlushFolderEntry(strPath));
}

// A folder's entries are flushed through a handle of the folder that may add files: the right the
// folder checks ask for, and all a flush needs (GENERIC_WRITE would also ask to change attributes).
bool FlushFolderEntry(const std::string& strPath) {
    CUniqueHandle folder(::CreateFileW(ToWide(FolderOf(strPath)).c_str(), FILE_ADD_FILE | SYNCHRONIZE,
                                       Win32::kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                       nullptr));
    return folder && ::FlushFileBuffers(folder.Get());
}

bool ReadRegularFile(const std::string& strPath, const std::function<bool(const char*, size_t)>& onBlock) {
    CUniqueHandle file(::CreateFileW(ToWide(strPath).c_str(), GENERIC_READ, Win32::kShareAll, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file || !IsRegularHandle(file.Get()))
        return false;
    std::vector<char> block(65536);
    while (true) {
        DWORD nRead = 0;
        if (!::ReadFile(file.Get(), block.data(), static_cast<DWORD>(block.size()), &nRead, nullptr))
            return false;
        if (nRead == 0 || !onBlock(block.data(), nRead))
            return true;
    }
}

bool ForEachFileInTree(const std::string& strRoot, const FileVisitor& onFile,
                       const std::function<bool()>& keepGoing) {
    auto bGoOn = [&] { return !keepGoing || keepGoing(); };
    bool bWhole = true;
    std::vector<std::string> pending{std::string()};
    std::vector<CListedEntry> entries;
    while (!pending.empty()) {
        if (!bGoOn())
            return false;
        std::string strFolder = std::move(pending.back());
        pending.pop_back();
        CFileVersion selfVersion;
        ListResult result = ListFolder(strRoot, strFolder, entries, selfVersion);
        if (result == ListResult::NotAFolder)
            onFile(strFolder, selfVersion);
        // A folder removed meanwhile took its entries with it; any other failure leaves some unseen.
        if (result == ListResult::Failed && !Win32::IsMissingError(::GetLastError()))
            bWhole = false;
        for (const CListedEntry& entry : entries) {
            std::string strName = JoinRelative(strFolder, entry.strName);
            if (entry.bFolder) {
                pending.push_back(std::move(strName));
                continue;
            }
            if (!bGoOn())
                return false;
            onFile(strName, entry.version);
        }
    }
    return bWhole;
}

} // namespace Platform
