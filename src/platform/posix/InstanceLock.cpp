#include "platform/InstanceLock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace Platform {

// A flock on the folder itself: it belongs to the open description, so it ends with the last
// descriptor of it, and close-on-exec keeps that descriptor out of child processes.
struct CInstanceLock::CImpl {
    int nHandle = -1;
};

CInstanceLock::CInstanceLock() : m_pImpl(std::make_unique<CImpl>()) {}

CInstanceLock::~CInstanceLock() {
    if (m_pImpl->nHandle >= 0)
        ::close(m_pImpl->nHandle);
}

CInstanceLock::Result CInstanceLock::Take(const std::string& strFolder) {
    if (m_pImpl->nHandle >= 0)
        return Result::Taken;
    int nHandle = ::open(strFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (nHandle < 0)
        return Result::Failed;
    int nResult;
    do {
        nResult = ::flock(nHandle, LOCK_EX | LOCK_NB);
    } while (nResult != 0 && errno == EINTR);
    if (nResult != 0) {
        int nError = errno;
        ::close(nHandle);
        errno = nError;
        return nError == EWOULDBLOCK ? Result::HeldElsewhere : Result::Failed;
    }
    m_pImpl->nHandle = nHandle;
    return Result::Taken;
}

} // namespace Platform
