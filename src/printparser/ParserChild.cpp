#include "printparser/ParserChild.h"

#include "Include/StringUtil.h"

#include "platform/ProcessLauncher.h"
#include "printparser/PrintFileParser.h"

#include <cmath>
#include <cstdlib>
#include <sstream>

std::string FormatProgressLine(const FILEFORMATINFO& info) {
    char szLine[256];
    std::snprintf(szLine, sizeof(szLine), "pages=%d pages2=%d width=%.6f length=%.6f format=%d",
                  info.nPageCount, info.nPageCount2, info.dWidth, info.dLength, info.nFormat);
    return szLine;
}

namespace {

bool ReadField(std::istringstream& stream, const char* szName, std::string& strValue) {
    std::string strField;
    if (!(stream >> strField))
        return false;
    std::string strPrefix = std::string(szName) + "=";
    if (strField.compare(0, strPrefix.size(), strPrefix) != 0)
        return false;
    strValue = strField.substr(strPrefix.size());
    return !strValue.empty();
}

bool ToInt(const std::string& strText, int& nValue) {
    char* szEnd = nullptr;
    long nParsed = std::strtol(strText.c_str(), &szEnd, 10);
    if (*szEnd != '\0' || nParsed < 0 || nParsed > 1000000000)
        return false;
    nValue = static_cast<int>(nParsed);
    return true;
}

// Sizes are inches of real paper: anything negative, not finite or beyond 1000 in is not believed.
bool ToInches(const std::string& strText, double& dValue) {
    char* szEnd = nullptr;
    dValue = std::strtod(strText.c_str(), &szEnd);
    return *szEnd == '\0' && std::isfinite(dValue) && dValue >= 0.0 && dValue <= 1000.0;
}

} // namespace

bool ParseProgressLine(const std::string& strLine, FILEFORMATINFO& info) {
    std::istringstream stream(strLine);
    std::string strPages, strPages2, strWidth, strLength, strFormat;
    FILEFORMATINFO parsed;
    if (!ReadField(stream, "pages", strPages) || !ReadField(stream, "pages2", strPages2) ||
        !ReadField(stream, "width", strWidth) || !ReadField(stream, "length", strLength) ||
        !ReadField(stream, "format", strFormat))
        return false;
    if (!ToInt(strPages, parsed.nPageCount) || !ToInt(strPages2, parsed.nPageCount2) ||
        !ToInches(strWidth, parsed.dWidth) || !ToInches(strLength, parsed.dLength) ||
        !ToInt(strFormat, parsed.nFormat))
        return false;
    info = parsed;
    return true;
}

std::string EscapePathLine(const std::string& strPath) {
    return EscapeBytes(strPath, "\n\r");
}

std::string UnescapePathLine(const std::string& strLine) {
    std::string strPath;
    // A line that is no escaped path (typed by hand, say) is taken as it stands.
    return UnescapeBytes(strLine, "\n\r", strPath) ? strPath : strLine;
}

namespace {

void Report(std::FILE* pOut, const std::string& strLine) {
    std::fprintf(pOut, "%s\n", strLine.c_str());
    std::fflush(pOut);
}

} // namespace

int RunParserWorker(std::FILE* pOut) {
    Platform::CParentInput input;
    std::string strLine;
    std::string strFilePath;
    while (input.ReadLine(strLine, strFilePath)) {
        CPrintFileParser parser;
        parser.SetFilePath(strFilePath.empty() ? UnescapePathLine(strLine) : strFilePath);
        parser.SetProgressCallback(
            [pOut](const FILEFORMATINFO& info) { Report(pOut, FormatProgressLine(info)); });
        FILEFORMATINFO info;
        parser.GetFileInfo(info, -1);
        input.ReleaseFile();
        Report(pOut, FormatProgressLine(info));
        Report(pOut, kParserEndLine);
    }
    return 0;
}
