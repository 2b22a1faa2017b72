#pragma once

// Linux-only: the one owner of a file descriptor in the platform's implementations.

#include <cerrno>
#include <unistd.h>

namespace Platform {
namespace Posix {

// Keeps errno as it was over its scope, so that a failure reported before a cleanup reaches
// GetLastError() unchanged.
class CErrnoKeeper {
  public:
    CErrnoKeeper() : m_nError(errno) {}
    ~CErrnoKeeper() { errno = m_nError; }
    CErrnoKeeper(const CErrnoKeeper&) = delete;
    CErrnoKeeper& operator=(const CErrnoKeeper&) = delete;

  private:
    int m_nError;
};

// Owns one descriptor and closes it when it ends or is given another; -1 holds none. Moves, never
// copies, so a descriptor has exactly one owner.
class CUniqueFd {
  public:
    CUniqueFd() = default;
    explicit CUniqueFd(int nHandle) : m_nHandle(nHandle) {}
    ~CUniqueFd() { Reset(); }
    CUniqueFd(const CUniqueFd&) = delete;
    CUniqueFd& operator=(const CUniqueFd&) = delete;
    CUniqueFd(CUniqueFd&& other) noexcept : m_nHandle(other.Release()) {}
    CUniqueFd& operator=(CUniqueFd&& other) noexcept {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }

    int Get() const { return m_nHandle; }
    bool IsOpen() const { return m_nHandle >= 0; }
    // Closes the descriptor held, if any, and takes nHandle; errno stays as it was. A caller that
    // needs a late write error of the close itself calls Close.
    void Reset(int nHandle = -1) {
        if (m_nHandle >= 0) {
            CErrnoKeeper keepError;
            (void)::close(m_nHandle);
        }
        m_nHandle = nHandle;
    }
    // Hands the descriptor over to the caller.
    int Release() {
        int nHandle = m_nHandle;
        m_nHandle = -1;
        return nHandle;
    }
    // Closes now and gives close's result, for callers that must see a late write error (0 on success).
    int Close() {
        int nResult = ::close(m_nHandle);
        m_nHandle = -1;
        return nResult;
    }

  private:
    int m_nHandle = -1;
};

} // namespace Posix
} // namespace Platform
