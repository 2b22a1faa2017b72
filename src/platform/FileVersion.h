#pragma once

#include <cstdint>

namespace Platform {

// What tells two versions of one file apart without reading it: its size and its last modification
// time. A job ticket rewritten in place gets a new version; one merely notified again keeps its own.
struct CFileVersion {
    uint64_t nSize = 0;
    // Nanoseconds since the epoch.
    int64_t nModifiedNs = 0;

    bool operator==(const CFileVersion& other) const {
        return nSize == other.nSize && nModifiedNs == other.nModifiedNs;
    }
    bool operator!=(const CFileVersion& other) const { return !(*this == other); }
};

} // namespace Platform
