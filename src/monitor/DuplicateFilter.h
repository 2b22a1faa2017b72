#pragma once

#include <cstdint>
#include <string>

// The ".dat" duplicate filter of a ticket folder: a notification for the name notified last,
// within the window of that last notification, repeats it. It remembers one name only, so
// notifications that alternate between two names are never duplicates. Used by one monitor thread.
class CDuplicateFilter {
  public:
    static constexpr int64_t kWindowMs = 5000;

    // True when strName (compared without regard to case) repeats the last name within the window.
    // Either way strName becomes the last name, notified at nNowMs: a run of notifications that
    // follow each other within the window yields only its first.
    bool IsDuplicate(const std::string& strName, int64_t nNowMs);

  private:
    std::string m_strLastName;
    int64_t m_nLastTimeMs = 0;
};
