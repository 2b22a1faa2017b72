#pragma once

#include "printparser/FileFormatInfo.h"

#include <functional>

// Collects what a format reader finds into the caller's record and tells the progress callback
// each time a value changes, so that an abandoned parse still leaves the values read so far.
// Used by one thread at a time; the record and the callback belong to the caller.
class CParseSink {
  public:
    using ProgressCallback = std::function<void(const FILEFORMATINFO&)>;

    CParseSink(FILEFORMATINFO& info, ProgressCallback onProgress);

    void SetFormat(EPrintFormat eFormat);
    // Keeps the first size given; later pages do not change it. Sizes that are not positive and
    // finite, or larger than 1000 inches, are ignored.
    void SetFirstPageSize(double dWidth, double dLength);
    bool HasSize() const { return m_bHasSize; }
    void AddPages(long long nPages);
    // Replaces the count, for readers whose count is only known at the end.
    void SetPageCount(long long nPages);
    int PageCount() const { return m_info.nPageCount; }
    const FILEFORMATINFO& Info() const { return m_info; }

  private:
    void Notify();

    FILEFORMATINFO& m_info;
    ProgressCallback m_onProgress;
    bool m_bHasSize = false;
};
