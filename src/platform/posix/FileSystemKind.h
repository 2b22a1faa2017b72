#pragma once

#include <cstdint>
#include <string>

namespace Platform {
namespace Posix {

// The name of a network or FUSE file system by its statfs type number, "" for any other.
std::string NetworkFileSystemName(uint32_t nTypeNumber);

} // namespace Posix
} // namespace Platform
