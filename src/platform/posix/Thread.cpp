#include "platform/Thread.h"

#include <cerrno>
#include <sys/syscall.h>
#include <unistd.h>

namespace Platform {

int GetThreadId() {
    return static_cast<int>(::syscall(SYS_gettid));
}

int GetLastError() {
    return errno;
}

void SetLastError(int nError) {
    errno = nError;
}

int ClosedQueueError() {
    return EBADF;
}

} // namespace Platform
