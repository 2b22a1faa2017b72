#include "printparser/FormatReaders.h"

#include "Include/LogFile.h"
#include "Include/StringUtil.h"

#include <cctype>
#include <string>

namespace {

const char kUel[] = "\x1b%-12345X";
constexpr size_t kUelLength = sizeof(kUel) - 1;
// PJL lines are short; a longer one is cut for reading.
constexpr size_t kMaxPjlLine = 1024;
// A header of more PJL lines than this is not a PJL header.
constexpr int kMaxPjlLines = 10000;
// libqpdf finds a PDF header within this many bytes from the start.
constexpr size_t kPdfHeaderWindow = 1024;

enum class ELanguage { Unknown, Pdf, PostScript, Pcl5, PclXl, Xps };

struct SPjlHeader {
    ELanguage eLanguage = ELanguage::Unknown;
    SPaperSize paper;
};

std::string ReadPjlLine(CByteSource& source) {
    std::string strLine;
    for (int nByte = source.Get(); nByte >= 0 && nByte != '\n'; nByte = source.Get()) {
        if (strLine.size() < kMaxPjlLine && nByte != '\r')
            strLine.push_back(static_cast<char>(std::toupper(nByte)));
    }
    return strLine;
}

// The value after "KEY =" in an upper-case PJL line, or empty when the line does not hold KEY.
std::string PjlValue(const std::string& strLine, const char* szKey) {
    size_t nKey = strLine.find(szKey);
    if (nKey == std::string::npos)
        return std::string();
    size_t nEqual = strLine.find('=', nKey);
    return nEqual == std::string::npos ? std::string() : TrimBlanks(strLine.substr(nEqual + 1));
}

void ReadPjlCommand(const std::string& strLine, SPjlHeader& header) {
    std::string strLanguage = PjlValue(strLine, "ENTER LANGUAGE");
    if (strLanguage == "POSTSCRIPT")
        header.eLanguage = ELanguage::PostScript;
    else if (strLanguage == "PDF")
        header.eLanguage = ELanguage::Pdf;
    else if (strLanguage == "PCLXL")
        header.eLanguage = ELanguage::PclXl;
    else if (strLanguage == "PCL")
        header.eLanguage = ELanguage::Pcl5;
    bool bPaper = strLine.find("@PJL SET ") == 0 || strLine.find("@PJL DEFAULT ") == 0;
    if (bPaper && PjlValue(strLine, " PAPER").size() > 0) {
        SPaperSize paper = PaperFromName(PjlValue(strLine, " PAPER"));
        if (paper.IsKnown())
            header.paper = paper;
    }
}

void SkipBlanks(CByteSource& source) {
    for (int nByte = source.Peek();
         nByte == ' ' || nByte == '\t' || nByte == '\r' || nByte == '\n' || nByte == 0x04 || nByte == 0x00;
         nByte = source.Peek())
        source.Get();
}

// Reads UELs and @PJL lines up to the job's data; leaves the source at its first byte.
SPjlHeader ReadPjlHeader(CByteSource& source) {
    SPjlHeader header;
    for (int nLines = 0; nLines < kMaxPjlLines; ++nLines) {
        SkipBlanks(source);
        if (source.LookingAt(kUel))
            source.Skip(kUelLength);
        else if (source.LookingAt("@PJL") || source.LookingAt("@pjl"))
            ReadPjlCommand(ReadPjlLine(source), header);
        else
            break;
    }
    return header;
}

bool FindPdfHeader(CByteSource& source) {
    uint64_t nStart = source.Tell();
    for (size_t i = 0; i < kPdfHeaderWindow && source.Tell() < source.Size(); ++i) {
        if (source.LookingAt("%PDF-"))
            return true;
        source.Get();
    }
    source.Seek(nStart);
    return false;
}

ELanguage DetectLanguage(CByteSource& source) {
    if (source.LookingAt("%!") || source.LookingAt("\xc5\xd0\xd3\xc6"))
        return ELanguage::PostScript;
    if (source.LookingAt(") HP-PCL XL") || source.LookingAt("( HP-PCL XL"))
        return ELanguage::PclXl;
    if (source.Tell() == 0 && source.LookingAt("PK\x03\x04"))
        return ELanguage::Xps;
    if (source.Peek() == 0x1b)
        return ELanguage::Pcl5;
    if (FindPdfHeader(source))
        return ELanguage::Pdf;
    return ELanguage::Unknown;
}

// A DOS EPS file: a binary header giving the offset of its PostScript section.
void SkipEpsBinaryHeader(CByteSource& source) {
    uint8_t header[12];
    uint64_t nStart = source.Tell();
    if (!source.LookingAt("\xc5\xd0\xd3\xc6") || source.Read(header, sizeof(header)) != sizeof(header))
        return;
    uint64_t nOffset =
        header[4] | (header[5] << 8) | (header[6] << 16) | (static_cast<uint64_t>(header[7]) << 24);
    source.Seek(nStart + nOffset);
}

} // namespace

void ReadPrintStream(CByteSource& source, CParseSink& sink) {
    SkipBlanks(source);
    bool bPjl = source.LookingAt(kUel) || source.LookingAt("@PJL");
    SPjlHeader header = bPjl ? ReadPjlHeader(source) : SPjlHeader{};
    ELanguage eDetected = DetectLanguage(source);
    // The data decides where it is plain; ENTER LANGUAGE only where the data does not tell.
    ELanguage eLanguage = eDetected != ELanguage::Unknown ? eDetected : header.eLanguage;
    switch (eLanguage) {
    case ELanguage::Pdf:
        ReadPdf(source, sink);
        break;
    case ELanguage::PostScript:
        SkipEpsBinaryHeader(source);
        ReadPostScript(source, sink, header.paper);
        break;
    case ELanguage::Pcl5:
        ReadPcl5(source, sink, header.paper);
        break;
    case ELanguage::PclXl:
        ReadPclXl(source, sink, header.paper);
        break;
    case ELanguage::Xps:
        ReadXps(source, sink);
        break;
    case ELanguage::Unknown:
        LogTraceDetail("--I: print file format not recognised");
        break;
    }
}
