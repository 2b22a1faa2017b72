#pragma once

#include <windows.h>

#include <utility>

namespace Win32 {

// Owns one kernel handle and closes it once. Both INVALID_HANDLE_VALUE (CreateFile's failure) and
// null (most other calls' failure) count as no handle.
class CUniqueHandle {
  public:
    CUniqueHandle() = default;
    explicit CUniqueHandle(HANDLE hHandle) : m_hHandle(hHandle) {}
    ~CUniqueHandle() { Reset(); }
    CUniqueHandle(CUniqueHandle&& other) noexcept : m_hHandle(other.Release()) {}
    CUniqueHandle& operator=(CUniqueHandle&& other) noexcept {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }
    CUniqueHandle(const CUniqueHandle&) = delete;
    CUniqueHandle& operator=(const CUniqueHandle&) = delete;

    HANDLE Get() const { return m_hHandle; }
    bool IsValid() const { return m_hHandle != nullptr && m_hHandle != INVALID_HANDLE_VALUE; }
    explicit operator bool() const { return IsValid(); }

    HANDLE Release() { return std::exchange(m_hHandle, nullptr); }
    void Reset(HANDLE hHandle = nullptr) {
        if (IsValid())
            ::CloseHandle(m_hHandle);
        m_hHandle = hHandle;
    }

  private:
    HANDLE m_hHandle = nullptr;
};

} // namespace Win32
