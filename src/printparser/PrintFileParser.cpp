#include "printparser/PrintFileParser.h"

#include "Include/LogFile.h"
#include "platform/Thread.h"
#include "printparser/FormatReaders.h"

#include <exception>
#include <utility>

namespace {

int ParseSource(CByteSource& source, FILEFORMATINFO& info, CParseSink::ProgressCallback onProgress,
                const std::string& strName) {
    info = FILEFORMATINFO{};
    try {
        CParseSink sink(info, std::move(onProgress));
        ReadPrintStream(source, sink);
        LogTraceDetail("--I: parsed \"%s\": format=%s pages=%d width=%.3f length=%.3f", strName.c_str(),
                       PrintFormatName(info.nFormat), info.nPageCount, info.dWidth, info.dLength);
        return 1;
    } catch (const std::exception& e) {
        LogTrace("--E: parsing \"%s\" failed: %s", strName.c_str(), e.what());
    } catch (...) {
        LogTrace("--E: parsing \"%s\" failed", strName.c_str());
    }
    return 0;
}

} // namespace

CPrintFileParser::CPrintFileParser() = default;

CPrintFileParser::~CPrintFileParser() = default;

int CPrintFileParser::GetFileInfo(FILEFORMATINFO& info, int /*nFlags*/) {
    info = FILEFORMATINFO{};
    try {
        CByteSource source(m_strPath);
        if (!source.IsOpen()) {
            LogTrace("--E: print file \"%s\" cannot be opened (%d)", m_strPath.c_str(),
                     Platform::GetLastError());
            return 0;
        }
        return ParseSource(source, info, m_onProgress, m_strPath);
    } catch (const std::exception& e) {
        LogTrace("--E: parsing \"%s\" failed: %s", m_strPath.c_str(), e.what());
    }
    return 0;
}

void CPrintFileParser::Cleanup() {
    m_strPath.clear();
    m_onProgress = nullptr;
}

int ParsePrintBuffer(const uint8_t* pData, size_t nSize, FILEFORMATINFO& info) {
    CByteSource source(pData, nSize);
    return ParseSource(source, info, nullptr, "print data");
}
