#pragma once

#include <string>

namespace Platform {

// The name of the network or FUSE file system that holds strPath (links followed), "" for a local
// one or when it cannot be told. The kernel reports no change made on such a file system by another
// host (or, for FUSE, behind the mount's back): only changes made through this machine are seen.
std::string GetNetworkFileSystemName(const std::string& strPath);

} // namespace Platform
