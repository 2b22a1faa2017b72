#include "service/CommandLine.h"

#include "Include/StringUtil.h"

namespace {

constexpr size_t kLongestSwitch = sizeof("UnregServer") - 1;

} // namespace

std::string JoinCommandLine(int nArgc, const char* const* pArgv) {
    std::string strLine;
    for (int i = 0; i < nArgc; ++i) {
        if (i > 0)
            strLine += ' ';
        strLine += pArgv[i] != nullptr ? pArgv[i] : "";
    }
    return strLine;
}

AgentSwitch FindSwitch(const std::string& strCommandLine) {
    for (size_t nPos = strCommandLine.find_first_of("-/"); nPos != std::string::npos;
         nPos = strCommandLine.find_first_of("-/", nPos + 1)) {
        // Only the last few tokens can be as short as a switch name; the others are skipped unread.
        if (strCommandLine.size() - nPos - 1 > kLongestSwitch)
            continue;
        std::string strToken = strCommandLine.substr(nPos + 1);
        if (EqualsNoCase(strToken, "UnregServer"))
            return AgentSwitch::UnregServer;
        if (EqualsNoCase(strToken, "RegServer"))
            return AgentSwitch::RegServer;
        if (EqualsNoCase(strToken, "Service"))
            return AgentSwitch::Service;
        if (EqualsNoCase(strToken, "Check"))
            return AgentSwitch::Check;
    }
    return AgentSwitch::None;
}
