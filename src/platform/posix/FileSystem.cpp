#include "platform/FileSystem.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace Platform {

std::string GetModuleFilePath() {
    std::vector<char> buffer(PATH_MAX + 1);
    ssize_t nLength = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (nLength <= 0)
        return std::string();
    return std::string(buffer.data(), static_cast<size_t>(nLength));
}

bool PathExists(const std::string& strPath) {
    struct stat info;
    return ::lstat(strPath.c_str(), &info) == 0;
}

bool IsDirectory(const std::string& strPath) {
    struct stat info;
    return ::lstat(strPath.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool RemoveFile(const std::string& strPath) { return ::unlink(strPath.c_str()) == 0; }

bool MovePath(const std::string& strFrom, const std::string& strTo) {
    return ::rename(strFrom.c_str(), strTo.c_str()) == 0;
}

std::FILE* OpenAppendStream(const std::string& strPath) {
    int fd = ::open(strPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return nullptr;
    std::FILE* pStream = ::fdopen(fd, "a");
    if (pStream == nullptr)
        ::close(fd);
    return pStream;
}

namespace {

void WalkFolder(const std::string& strRoot, const std::string& strRelative,
                const std::function<void(const std::string&)>& onFile) {
    std::string strFolder = strRelative.empty() ? strRoot : strRoot + kPathSeparator + strRelative;
    DIR* pDir = ::opendir(strFolder.c_str());
    if (pDir == nullptr)
        return;
    std::vector<std::string> subfolders;
    while (struct dirent* pEntry = ::readdir(pDir)) {
        std::string strName = pEntry->d_name;
        if (strName == "." || strName == "..")
            continue;
        std::string strChild = strRelative.empty() ? strName : strRelative + kPathSeparator + strName;
        unsigned char type = pEntry->d_type;
        if (type == DT_UNKNOWN) {
            struct stat info;
            if (::lstat((strRoot + kPathSeparator + strChild).c_str(), &info) != 0)
                continue;
            type = S_ISDIR(info.st_mode) ? DT_DIR : DT_REG;
        }
        if (type == DT_DIR)
            subfolders.push_back(strChild);
        else
            onFile(strChild);
    }
    ::closedir(pDir);
    for (const std::string& strSubfolder : subfolders)
        WalkFolder(strRoot, strSubfolder, onFile);
}

} // namespace

void ForEachFileInTree(const std::string& strRoot, const std::function<void(const std::string&)>& onFile) {
    WalkFolder(strRoot, std::string(), onFile);
}

} // namespace Platform
