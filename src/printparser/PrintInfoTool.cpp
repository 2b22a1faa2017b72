#include "printparser/PrintInfoTool.h"

#include "Include/LogFile.h"
#include "platform/ResourceLimits.h"
#include "platform/Thread.h"
#include "printparser/ParserChild.h"
#include "printparser/PrintFileParser.h"

#include <algorithm>

namespace {

constexpr unsigned long long kStackBytes = 8ull * 1024 * 1024;

std::string JsonString(const std::string& strText) {
    std::string strOut = "\"";
    for (unsigned char c : strText) {
        if (c == '"' || c == '\\') {
            strOut += '\\';
            strOut += static_cast<char>(c);
        } else if (c < 0x20) {
            char szEscape[8];
            std::snprintf(szEscape, sizeof(szEscape), "\\u%04x", c);
            strOut += szEscape;
        } else {
            strOut += static_cast<char>(c);
        }
    }
    return strOut + "\"";
}

void PrintLine(std::FILE* pOut, const std::string& strFile, const FILEFORMATINFO* pInfo) {
    if (pInfo == nullptr) {
        std::fprintf(pOut, "%s: error=cannot read file\n", strFile.c_str());
        return;
    }
    std::fprintf(pOut, "%s: format=%s pages=%d width=%.3f length=%.3f\n", strFile.c_str(),
                 PrintFormatName(pInfo->nFormat), std::max(pInfo->nPageCount, pInfo->nPageCount2),
                 pInfo->dWidth, pInfo->dLength);
}

void PrintJson(std::FILE* pOut, const std::string& strFile, const FILEFORMATINFO* pInfo, bool bFirst) {
    std::fprintf(pOut, "%s\n  {\"file\": %s, ", bFirst ? "" : ",", JsonString(strFile).c_str());
    if (pInfo == nullptr) {
        std::fprintf(pOut, "\"error\": \"cannot read file\"}");
        return;
    }
    std::fprintf(pOut, "\"format\": \"%s\", \"pages\": %d, \"width\": %.3f, \"length\": %.3f}",
                 PrintFormatName(pInfo->nFormat), std::max(pInfo->nPageCount, pInfo->nPageCount2),
                 pInfo->dWidth, pInfo->dLength);
}

bool ApplyParserResourceLimits(unsigned long long nCpuSeconds) {
    if (Platform::LimitProcessResources(kParserMemoryBytes, nCpuSeconds, kStackBytes))
        return true;
    LogTrace("--W: resource limits for the parser could not be set (%d)", Platform::GetLastError());
    return false;
}

} // namespace

int RunPrintInfoTool(const std::vector<std::string>& args, std::FILE* pOut, std::FILE* pErr) {
    bool bJson = false;
    std::vector<std::string> files;
    for (const std::string& strArg : args) {
        if (strArg == "--json")
            bJson = true;
        else
            files.push_back(strArg);
    }
    if (files.empty()) {
        std::fprintf(pErr, "usage: KlendoPrintInfo [--json] FILE...\n");
        return 2;
    }
    if (!ApplyParserResourceLimits(kParserCpuSecondsPerFile * files.size()))
        std::fprintf(pErr, "KlendoPrintInfo: resource limits could not be set\n");
    int nExitCode = 0;
    if (bJson)
        std::fprintf(pOut, "[");
    for (size_t i = 0; i < files.size(); ++i) {
        CPrintFileParser parser;
        parser.SetFilePath(files[i]);
        FILEFORMATINFO info;
        bool bRead = parser.GetFileInfo(info, -1) == 1;
        if (!bRead)
            nExitCode = 1;
        if (bJson)
            PrintJson(pOut, files[i], bRead ? &info : nullptr, i == 0);
        else
            PrintLine(pOut, files[i], bRead ? &info : nullptr);
    }
    if (bJson)
        std::fprintf(pOut, "\n]\n");
    std::fflush(pOut);
    return nExitCode;
}
