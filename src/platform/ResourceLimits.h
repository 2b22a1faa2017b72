#pragma once

#include <cstdint>

namespace Platform {

// Lowers the calling process's limits so that a runaway computation ends the process rather than
// the machine: address space (bytes), processor time (seconds; the process is killed soon after)
// and stack (bytes). 0 leaves that limit as it is; a limit is never raised above the current one.
// Applies to the whole process and its future children. False when one could not be set, with the
// system error in Platform::GetLastError(). Makes system calls only, so a child may call it between
// fork and exec.
bool LimitProcessResources(uint64_t nAddressSpaceBytes, uint64_t nCpuSeconds, uint64_t nStackBytes);

} // namespace Platform
