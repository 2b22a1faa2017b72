#include "printparser/FormatReaders.h"

#include "Include/LogFile.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Lines longer than this are cut for inspection; the rest of the line is still skipped.
constexpr size_t kMaxLine = 4096;
// Embedded documents nest rarely more than a few levels; deeper nesting is counted up to here.
constexpr int kMaxNesting = 1000;
constexpr double kPointsPerInch = 72.0;
const char kUel[] = "\x1b%-12345X";

bool StartsWith(const std::string& strLine, const char* szPrefix) {
    return strLine.compare(0, std::strlen(szPrefix), szPrefix) == 0;
}

// The text after a DSC keyword such as "%%Pages:", without leading blanks.
std::string ValueAfter(const std::string& strLine, const char* szKeyword) {
    size_t nPos = std::strlen(szKeyword);
    while (nPos < strLine.size() && (strLine[nPos] == ' ' || strLine[nPos] == '\t'))
        ++nPos;
    return strLine.substr(nPos);
}

// Up to nMax numbers at the start of szText; returns how many were read.
int ParseNumbers(const char* szText, double* pOut, int nMax) {
    int nCount = 0;
    while (nCount < nMax) {
        char* pEnd = nullptr;
        double dValue = std::strtod(szText, &pEnd);
        if (pEnd == szText)
            break;
        pOut[nCount++] = dValue;
        szText = pEnd;
    }
    return nCount;
}

class CPostScriptReader {
  public:
    CPostScriptReader(CByteSource& source, CParseSink& sink) : m_source(source), m_sink(sink) {}

    void Run(const SPaperSize& pjlPaper);

  private:
    bool ReadLine(std::string& strLine);
    void HandleComment(const std::string& strLine);
    void SkipDataSection(const std::string& strLine, const char* szKeyword);
    void SetBox(SPaperSize& size, const std::string& strValue) const;
    void ScanTokens(const std::string& strLine);
    void NoteWord(const std::string& strWord);
    void ReportSize(const SPaperSize& pjlPaper);

    CByteSource& m_source;
    CParseSink& m_sink;
    int m_nNesting = 0;
    bool m_bTrailer = false;
    long long m_nDscPages = 0;
    long long m_nDeclaredPages = -1;
    long long m_nShowPages = 0;
    // Tokenizer state carried from line to line.
    int m_nBraceDepth = 0;
    int m_nStringDepth = 0;
    bool m_bHexString = false;
    std::string m_strWord;
    bool m_bAfterPageSize = false;
    SPaperSize m_pageBox, m_documentMedia, m_boundingBox, m_pageSize;
};

bool CPostScriptReader::ReadLine(std::string& strLine) {
    strLine.clear();
    int nByte = m_source.Get();
    if (nByte < 0)
        return false;
    while (nByte >= 0 && nByte != '\n' && nByte != '\r') {
        if (strLine.size() < kMaxLine)
            strLine.push_back(static_cast<char>(nByte));
        nByte = m_source.Get();
    }
    if (nByte == '\r' && m_source.Peek() == '\n')
        m_source.Get();
    return true;
}

void CPostScriptReader::SetBox(SPaperSize& size, const std::string& strValue) const {
    double box[4];
    if (size.IsKnown() || ParseNumbers(strValue.c_str(), box, 4) != 4)
        return;
    size.dWidth = (box[2] - box[0]) / kPointsPerInch;
    size.dLength = (box[3] - box[1]) / kPointsPerInch;
}

// %%BeginBinary: n skips n bytes; %%BeginData: n [type [Bytes|Lines]] skips n bytes or lines.
void CPostScriptReader::SkipDataSection(const std::string& strLine, const char* szKeyword) {
    std::string strValue = ValueAfter(strLine, szKeyword);
    char* pEnd = nullptr;
    long long nCount = std::strtoll(strValue.c_str(), &pEnd, 10);
    if (pEnd == strValue.c_str() || nCount <= 0)
        return;
    if (strValue.find("Lines") == std::string::npos) {
        m_source.Skip(static_cast<uint64_t>(nCount));
        return;
    }
    std::string strSkipped;
    for (long long i = 0; i < nCount && ReadLine(strSkipped); ++i) {
    }
}

void CPostScriptReader::HandleComment(const std::string& strLine) {
    if (StartsWith(strLine, "%%BeginBinary:"))
        SkipDataSection(strLine, "%%BeginBinary:");
    else if (StartsWith(strLine, "%%BeginData:"))
        SkipDataSection(strLine, "%%BeginData:");
    else if (StartsWith(strLine, "%%BeginDocument"))
        m_nNesting = m_nNesting < kMaxNesting ? m_nNesting + 1 : m_nNesting;
    else if (StartsWith(strLine, "%%EndDocument"))
        m_nNesting = m_nNesting > 0 ? m_nNesting - 1 : 0;
    if (m_nNesting > 0)
        return;
    if (StartsWith(strLine, "%%Page:")) {
        ++m_nDscPages;
        m_sink.AddPages(1);
    } else if (StartsWith(strLine, "%%Pages:")) {
        std::string strValue = ValueAfter(strLine, "%%Pages:");
        char* pEnd = nullptr;
        long long nPages = std::strtoll(strValue.c_str(), &pEnd, 10);
        if (pEnd != strValue.c_str() && nPages >= 0 && (m_bTrailer || m_nDeclaredPages < 0))
            m_nDeclaredPages = nPages;
    } else if (StartsWith(strLine, "%%Trailer")) {
        m_bTrailer = true;
    } else if (StartsWith(strLine, "%%PageBoundingBox:")) {
        SetBox(m_pageBox, ValueAfter(strLine, "%%PageBoundingBox:"));
    } else if (StartsWith(strLine, "%%BoundingBox:")) {
        SetBox(m_boundingBox, ValueAfter(strLine, "%%BoundingBox:"));
    } else if (StartsWith(strLine, "%%DocumentMedia:") && !m_documentMedia.IsKnown()) {
        // %%DocumentMedia: name width height weight colour type
        std::string strValue = ValueAfter(strLine, "%%DocumentMedia:");
        size_t nBlank = strValue.find_first_of(" \t");
        double size[2];
        if (nBlank != std::string::npos && ParseNumbers(strValue.c_str() + nBlank, size, 2) == 2)
            m_documentMedia = SPaperSize{size[0] / kPointsPerInch, size[1] / kPointsPerInch};
    }
}

// The first "/PageSize [w h]" in the program text.
void CPostScriptReader::NoteWord(const std::string& strWord) {
    if (m_nNesting > 0)
        return;
    if (strWord == "showpage" && m_nBraceDepth == 0)
        ++m_nShowPages;
    m_bAfterPageSize = strWord == "/PageSize";
}

// A small PostScript tokenizer: enough to find words outside strings, comments and procedure
// bodies, across line ends.
void CPostScriptReader::ScanTokens(const std::string& strLine) {
    for (size_t i = 0; i < strLine.size(); ++i) {
        char c = strLine[i];
        if (m_nStringDepth > 0) {
            if (c == '\\')
                ++i;
            else if (c == '(')
                ++m_nStringDepth;
            else if (c == ')')
                --m_nStringDepth;
            continue;
        }
        if (m_bHexString) {
            m_bHexString = c != '>';
            continue;
        }
        bool bDelimiter = std::strchr(" \t\f\v()<>[]{}/%", c) != nullptr || c == '\0';
        if (bDelimiter && !m_strWord.empty()) {
            NoteWord(m_strWord);
            m_strWord.clear();
        }
        if (c == '[' && m_bAfterPageSize && !m_pageSize.IsKnown()) {
            double size[2];
            if (ParseNumbers(strLine.c_str() + i + 1, size, 2) == 2)
                m_pageSize = SPaperSize{size[0] / kPointsPerInch, size[1] / kPointsPerInch};
        }
        if (c == '%')
            return;
        if (c == '(') {
            m_nStringDepth = 1;
        } else if (c == '<') {
            if (i + 1 < strLine.size() && strLine[i + 1] == '<')
                ++i;
            else if (i + 1 < strLine.size() && strLine[i + 1] == '~')
                m_strWord.clear(); // ASCII85 text is skipped as words that mean nothing here
            else
                m_bHexString = true;
        } else if (c == '{') {
            m_nBraceDepth = m_nBraceDepth < kMaxNesting ? m_nBraceDepth + 1 : m_nBraceDepth;
        } else if (c == '}') {
            m_nBraceDepth = m_nBraceDepth > 0 ? m_nBraceDepth - 1 : 0;
        } else if (c == '/' || !bDelimiter) {
            if (m_strWord.size() < 64)
                m_strWord.push_back(c);
        }
    }
    if (!m_strWord.empty()) {
        NoteWord(m_strWord);
        m_strWord.clear();
    }
}

void CPostScriptReader::ReportSize(const SPaperSize& pjlPaper) {
    const SPaperSize* sizes[] = {&m_pageBox, &m_documentMedia, &m_boundingBox, &m_pageSize, &pjlPaper};
    for (const SPaperSize* pSize : sizes) {
        if (pSize->IsKnown()) {
            m_sink.SetFirstPageSize(pSize->dWidth, pSize->dLength);
            return;
        }
    }
}

void CPostScriptReader::Run(const SPaperSize& pjlPaper) {
    m_sink.SetFormat(kFormatPostScript);
    std::string strLine;
    while (ReadLine(strLine)) {
        if (strLine.find(kUel) != std::string::npos)
            break;
        if (StartsWith(strLine, "%%"))
            HandleComment(strLine);
        else
            ScanTokens(strLine);
    }
    ReportSize(pjlPaper);
    if (m_nDscPages > 0)
        m_sink.SetPageCount(m_nDscPages);
    else if (m_nShowPages > 0)
        m_sink.SetPageCount(m_nShowPages);
    else if (m_nDeclaredPages > 0)
        m_sink.SetPageCount(m_nDeclaredPages);
    else
        LogTraceDetail("--I: PostScript file without page comments or showpage; page count unknown");
}

} // namespace

void ReadPostScript(CByteSource& source, CParseSink& sink, const SPaperSize& pjlPaper) {
    CPostScriptReader reader(source, sink);
    reader.Run(pjlPaper);
}
