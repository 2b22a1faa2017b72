#include "platform/Thread.h"

#include <windows.h>

namespace Platform {

int GetThreadId() {
    return static_cast<int>(::GetCurrentThreadId());
}

int GetLastError() {
    return static_cast<int>(::GetLastError());
}

void SetLastError(int nError) {
    ::SetLastError(static_cast<DWORD>(nError));
}

int ClosedQueueError() {
    return ERROR_INVALID_HANDLE;
}

} // namespace Platform
