#include "platform/InstanceLock.h"

#include "platform/posix/UniqueFd.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace Platform {

// A flock on the folder itself: it belongs to the open description, so it ends with the last
// descriptor of it, and close-on-exec keeps that descriptor out of child processes.
struct CInstanceLock::CImpl {
    Posix::CUniqueFd folder;
};

CInstanceLock::CInstanceLock() : m_pImpl(std::make_unique<CImpl>()) {}

CInstanceLock::~CInstanceLock() = default;

CInstanceLock::Result CInstanceLock::Take(const std::string& strFolder) {
    if (m_pImpl->folder.IsOpen())
        return Result::Taken;
    Posix::CUniqueFd folder(::open(strFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.IsOpen())
        return Result::Failed;
    int nResult;
    do {
        nResult = ::flock(folder.Get(), LOCK_EX | LOCK_NB);
    } while (nResult != 0 && errno == EINTR);
    if (nResult != 0)
        return errno == EWOULDBLOCK ? Result::HeldElsewhere : Result::Failed;
    m_pImpl->folder = std::move(folder);
    return Result::Taken;
}

} // namespace Platform
