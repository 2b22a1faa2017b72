#include "platform/Thread.h"

#include <cerrno>
#include <new>
#include <sys/syscall.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace Platform {

bool StartDetachedThread(std::function<void()> task) {
    try {
        std::thread(std::move(task)).detach();
        return true;
    } catch (const std::system_error& error) {
        errno = error.code().value();
        return false;
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return false;
    }
}

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
