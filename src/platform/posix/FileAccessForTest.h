#pragma once

// Linux-only seams of CFileBeneath for the contract tests of its Linux ways; not reachable from the
// settings.

#include "platform/FileAccess.h"

namespace Platform {
namespace Posix {

// How a path below a root is resolved without following a link: the kernel's own resolution
// beneath a folder (openat2) where it has one, or one folder at a time, each opened without
// following a link.
enum class PathResolution { Automatic, KernelBeneath, ComponentWalk };

// Every later resolution of the process takes this way (Automatic: the kernel's where it has one).
void SetPathResolutionForTest(PathResolution resolution);

// False makes every later probe skip the write lease and search the open files at once, as where
// the kernel refuses a lease (a network file system, no right to one).
void SetWriteLeaseForTest(bool bUseLease);

} // namespace Posix

struct CFileBeneathForTest {
    // The way the last Resolve of the object took.
    static Posix::PathResolution ResolutionOf(const CFileBeneath& file);
};

} // namespace Platform
