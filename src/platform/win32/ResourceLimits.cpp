#include "platform/ResourceLimits.h"

#include <windows.h>

#include <algorithm>

// The process joins a job of its own that carries the limits; the job's handle is kept for the
// process's life (closing it would lift nothing, but the job must outlive every child). A job nested
// in another keeps the stricter limit of the two, so a limit is never raised. The stack has no job
// limit: the main thread's stack is fixed by the executable (the linker's default, 2 MiB, is below
// the limits the agent asks for), and nStackBytes is accepted as already met.
namespace Platform {

namespace {

constexpr ULONGLONG kTicksPerSecond = 10000000;

} // namespace

bool LimitProcessResources(uint64_t nAddressSpaceBytes, uint64_t nCpuSeconds, uint64_t nStackBytes) {
    (void)nStackBytes;
    if (nAddressSpaceBytes == 0 && nCpuSeconds == 0)
        return true;
    HANDLE hJob = ::CreateJobObjectW(nullptr, nullptr);
    if (hJob == nullptr)
        return false;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION info{};
    if (nAddressSpaceBytes != 0) {
        info.BasicLimitInformation.LimitFlags |= JOB_OBJECT_LIMIT_PROCESS_MEMORY;
        info.ProcessMemoryLimit = static_cast<SIZE_T>(nAddressSpaceBytes);
    }
    if (nCpuSeconds != 0) {
        info.BasicLimitInformation.LimitFlags |= JOB_OBJECT_LIMIT_PROCESS_TIME;
        info.BasicLimitInformation.PerProcessUserTimeLimit.QuadPart =
            static_cast<LONGLONG>(std::min<uint64_t>(nCpuSeconds, 100000000ull) * kTicksPerSecond);
    }
    if (!::SetInformationJobObject(hJob, JobObjectExtendedLimitInformation, &info, sizeof(info)) ||
        !::AssignProcessToJobObject(hJob, ::GetCurrentProcess())) {
        DWORD nError = ::GetLastError();
        ::CloseHandle(hJob);
        ::SetLastError(nError);
        return false;
    }
    return true;
}

} // namespace Platform
