#include "printparser/ParseSink.h"

#include <climits>
#include <cmath>
#include <utility>

namespace {
constexpr double kLargestPaperInches = 1000.0;
}

const char* PrintFormatName(int nFormat) {
    switch (nFormat) {
    case kFormatPdf:
        return "PDF";
    case kFormatPostScript:
        return "PS";
    case kFormatPcl5:
        return "PCL5";
    case kFormatPclXl:
        return "PCLXL";
    case kFormatXps:
        return "XPS";
    default:
        return "UNKNOWN";
    }
}

CParseSink::CParseSink(FILEFORMATINFO& info, ProgressCallback onProgress)
    : m_info(info), m_onProgress(std::move(onProgress)) {}

void CParseSink::SetFormat(EPrintFormat eFormat) {
    if (m_info.nFormat == eFormat)
        return;
    m_info.nFormat = eFormat;
    Notify();
}

void CParseSink::SetFirstPageSize(double dWidth, double dLength) {
    auto isSound = [](double d) { return std::isfinite(d) && d > 0.0 && d <= kLargestPaperInches; };
    if (m_bHasSize || !isSound(dWidth) || !isSound(dLength))
        return;
    m_bHasSize = true;
    m_info.dWidth = dWidth;
    m_info.dLength = dLength;
    Notify();
}

void CParseSink::AddPages(long long nPages) {
    if (nPages > 0)
        SetPageCount(static_cast<long long>(m_info.nPageCount) + nPages);
}

void CParseSink::SetPageCount(long long nPages) {
    int nCount = static_cast<int>(nPages < 0 ? 0 : (nPages > INT_MAX ? INT_MAX : nPages));
    if (nCount == m_info.nPageCount)
        return;
    m_info.nPageCount = nCount;
    Notify();
}

void CParseSink::Notify() {
    if (m_onProgress)
        m_onProgress(m_info);
}
