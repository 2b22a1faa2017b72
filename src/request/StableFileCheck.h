#pragma once

#include "platform/FileVersion.h"

#include <chrono>

// Where no write lease can prove a file closed, the open-file search cannot see a writer of another
// user or another host; such a file must also keep its size and modification time for a whole
// window before it counts as complete. Fed one observation per probe, with the time of the probe.
class CStableFileCheck {
  public:
    explicit CStableFileCheck(std::chrono::milliseconds window) : m_window(window) {}

    // True once the file showed the same version from an observation at least the window ago.
    bool IsStable(const Platform::CFileVersion& version, std::chrono::steady_clock::time_point now) {
        if (!m_bStarted || version != m_version) {
            m_bStarted = true;
            m_version = version;
            m_since = now;
        }
        return now - m_since >= m_window;
    }
    // A probe found the file open: the window starts again.
    void Reset() { m_bStarted = false; }
    // How much of the window is still to pass from now; the whole window when no observation counts.
    std::chrono::milliseconds TimeLeft(std::chrono::steady_clock::time_point now) const {
        if (!m_bStarted)
            return m_window;
        auto passed = std::chrono::duration_cast<std::chrono::milliseconds>(now - m_since);
        return passed >= m_window ? std::chrono::milliseconds(0) : m_window - passed;
    }

  private:
    std::chrono::milliseconds m_window;
    bool m_bStarted = false;
    Platform::CFileVersion m_version;
    std::chrono::steady_clock::time_point m_since;
};
