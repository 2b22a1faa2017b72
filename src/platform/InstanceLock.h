#pragma once

#include <memory>
#include <string>

namespace Platform {

// The lock that lets one agent run per install folder. The kernel drops it when the process ends,
// however it ends, so a killed agent leaves nothing behind to clean up; processes the agent starts
// do not inherit it. No file is made for it. One thread uses an object.
class CInstanceLock {
  public:
    CInstanceLock();
    // Releases the lock if it is held.
    ~CInstanceLock();
    CInstanceLock(const CInstanceLock&) = delete;
    CInstanceLock& operator=(const CInstanceLock&) = delete;

    enum class Result { Taken, HeldElsewhere, Failed };

    // Takes the lock of strFolder without waiting: HeldElsewhere when another process, or another
    // object of this one, holds it; Failed when the folder cannot be opened or locked. Both set
    // GetLastError(). Taken again at once while this object holds it.
    Result Take(const std::string& strFolder);

  private:
    struct CImpl;
    std::unique_ptr<CImpl> m_pImpl;
};

} // namespace Platform
