#include "platform/FileSystem.h"

#include "platform/posix/FolderWalk.h"
#include "platform/posix/RegularFile.h"
#include "platform/posix/UniqueFd.h"
#include "platform/posix/WriteAll.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <limits.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace Platform {

const char kPathSeparator = '/';
const char* const kPathSeparators = "/";
const char* const kExecutableSuffix = "";

std::string GetModuleFilePath() {
    std::vector<char> buffer(PATH_MAX + 1);
    ssize_t nLength = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (nLength <= 0)
        return std::string();
    return std::string(buffer.data(), static_cast<size_t>(nLength));
}

std::string GetModuleFolder() {
    std::string strPath = GetModuleFilePath();
    return strPath.empty() ? std::string() : FolderOf(strPath);
}

bool PathExists(const std::string& strPath) {
    struct stat info;
    return ::lstat(strPath.c_str(), &info) == 0;
}

bool IsDirectory(const std::string& strPath) {
    struct stat info;
    return ::lstat(strPath.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool RemoveFile(const std::string& strPath) {
    return ::unlink(strPath.c_str()) == 0;
}

bool MovePath(const std::string& strFrom, const std::string& strTo) {
    return ::rename(strFrom.c_str(), strTo.c_str()) == 0;
}

std::FILE* OpenAppendStream(const std::string& strPath) {
    // An operator may point the log at a device or a pipe; O_NONBLOCK keeps a pipe without a reader
    // from stopping the agent at the open and a stalled reader from stopping it at a write.
    Posix::CUniqueFd file(
        ::open(strPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644));
    std::FILE* pStream = file.IsOpen() ? ::fdopen(file.Get(), "a") : nullptr;
    if (pStream != nullptr)
        file.Release();
    return pStream;
}

std::string FileNameKey(const std::string& strName) {
    return strName;
}

std::FILE* OpenReadStream(const std::string& strPath) {
    return std::fopen(strPath.c_str(), "rbe");
}

bool SeekStream(std::FILE* pStream, uint64_t nOffset) {
    if (nOffset > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
        errno = EOVERFLOW;
        return false;
    }
    return ::fseeko(pStream, static_cast<off_t>(nOffset), SEEK_SET) == 0;
}

int64_t GetStreamSize(std::FILE* pStream) {
    struct stat info {};
    if (::fstat(::fileno(pStream), &info) != 0)
        return -1;
    return static_cast<int64_t>(info.st_size);
}

bool ReadRegularFile(const std::string& strPath, const std::function<bool(const char*, size_t)>& onBlock) {
    Posix::CUniqueFd file(Posix::OpenRegularFile(strPath, O_RDONLY | O_CLOEXEC));
    if (!file.IsOpen())
        return false;
    std::vector<char> block(65536);
    while (true) {
        ssize_t nRead = ::read(file.Get(), block.data(), block.size());
        if (nRead < 0 && errno == EINTR)
            continue;
        if (nRead < 0)
            return false;
        if (nRead == 0 || !onBlock(block.data(), static_cast<size_t>(nRead)))
            return true;
    }
}

bool AppendDurably(const std::string& strPath, const std::string& strData, bool bCreate) {
    int nFlags = O_WRONLY | O_APPEND | O_CLOEXEC;
    bool bCreated = false;
    Posix::CUniqueFd file(Posix::OpenOrCreateRegularFile(strPath, nFlags, bCreate, bCreated));
    if (!file.IsOpen())
        return false;
    bool bWritten =
        Posix::WriteAll(file.Get(), strData.data(), strData.size()) && ::fdatasync(file.Get()) == 0;
    int nError = errno;
    if (file.Close() != 0 && bWritten) {
        bWritten = false;
        nError = errno;
    }
    if (bWritten && bCreated && !FlushFolderEntry(strPath)) {
        bWritten = false;
        nError = errno;
    }
    errno = nError;
    return bWritten;
}

std::string FolderOf(const std::string& strPath) {
    size_t nPos = strPath.rfind(kPathSeparator);
    if (nPos == std::string::npos)
        return ".";
    return nPos == 0 ? std::string(1, kPathSeparator) : strPath.substr(0, nPos);
}

bool FlushFolderEntry(const std::string& strPath) {
    Posix::CUniqueFd folder(::open(FolderOf(strPath).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return folder.IsOpen() && ::fsync(folder.Get()) == 0;
}

bool ForEachFileInTree(const std::string& strRoot, const FileVisitor& onFile,
                       const std::function<bool()>& keepGoing) {
    auto bGoOn = [&] { return !keepGoing || keepGoing(); };
    bool bWhole = true;
    std::vector<std::string> pending{std::string()};
    std::vector<Posix::CFolderEntry> entries;
    while (!pending.empty()) {
        if (!bGoOn())
            return false;
        std::string strFolder = std::move(pending.back());
        pending.pop_back();
        CFileVersion selfVersion;
        Posix::ListResult result = Posix::ListFolderBelow(strRoot, strFolder, true, entries, selfVersion);
        if (result == Posix::ListResult::NotAFolder)
            onFile(strFolder, selfVersion);
        // A folder removed meanwhile took its entries with it; any other failure leaves some unseen.
        if (result == Posix::ListResult::Failed && errno != ENOENT)
            bWhole = false;
        for (const Posix::CFolderEntry& entry : entries) {
            std::string strName = Posix::JoinRelative(strFolder, entry.strName);
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
