#pragma once

#include "Include/LogFile.h"
#include "support/TempFolder.h"

#include <sstream>
#include <string>
#include <vector>

// Installs a real log in a temporary folder as the process's log for the life of the object, so that
// a test can read back exactly what the code under test logged.
class CLogCapture {
  public:
    CLogCapture() {
        m_log.Open(m_folder / "test.log");
        m_log.SetTraceLevel(254, true);
        g_pLogFile = &m_log;
    }
    ~CLogCapture() { g_pLogFile = nullptr; }
    CLogCapture(const CLogCapture&) = delete;
    CLogCapture& operator=(const CLogCapture&) = delete;

    // The messages logged so far, without the banner, the thread id, the time and the line end.
    std::vector<std::string> Messages() const {
        std::vector<std::string> messages;
        std::istringstream stream(ReadWholeFile(m_folder / "test.log"));
        std::string strLine;
        std::getline(stream, strLine);
        while (std::getline(stream, strLine)) {
            size_t nTime = strLine.find(' ', strLine.find_first_not_of(' '));
            size_t nText = strLine.find(' ', strLine.find(' ', nTime + 1) + 1);
            std::string strMessage = strLine.substr(nText + 1);
            if (!strMessage.empty() && strMessage.back() == '\r')
                strMessage.pop_back();
            messages.push_back(strMessage);
        }
        return messages;
    }

  private:
    CTempFolder m_folder;
    CLogFile m_log;
};
