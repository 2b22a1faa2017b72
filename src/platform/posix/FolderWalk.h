#pragma once

// Linux-only helpers of the tree walks (the walker of FileSystem.h and the directory watcher).

#include "platform/FileVersion.h"

#include <functional>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace Platform {
namespace Posix {

struct CFolderEntry {
    std::string strName;
    bool bFolder = false;
    // Filled in only when versions are asked for.
    CFileVersion version;
};

enum class ListResult { Listed, NotAFolder, Failed };

// The version of what info describes.
CFileVersion VersionOf(const struct stat& info);

// strFolder + separator + strName, or the other one alone when one is empty.
std::string JoinRelative(const std::string& strFolder, const std::string& strName);

// Lists the folder strRelative ("" for the root itself) below strRoot into entries. The root is
// opened following a symbolic link (an operator may point a hot folder at one); every folder below
// it is opened relative to its parent's handle without following one, so that a folder swapped for
// a link after its parent was listed is never entered: that gives NotAFolder, with the version of
// what stands there now in selfVersion. onOpened, when given, runs with the folder's handle before
// the folder is listed (a watch set through it watches exactly what is listed); false from it gives
// Failed. With bVersions every entry's version is read, links not followed. Failed keeps the
// system error in errno. Process-wide, only a few listings hold folder handles at once, so that
// many walks at the same time stay far from the descriptor limit.
ListResult ListFolderBelow(const std::string& strRoot, const std::string& strRelative, bool bVersions,
                           std::vector<CFolderEntry>& entries, CFileVersion& selfVersion,
                           const std::function<bool(int nHandle)>& onOpened = nullptr);

} // namespace Posix
} // namespace Platform
