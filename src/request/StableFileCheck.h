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

  private:
    std::chrono::milliseconds m_window;
    bool m_bStarted = false;
    Platform::CFileVersion m_version;
    std::chrono::steady_clock::time_point m_since;
};
