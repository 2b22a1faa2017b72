#include "support/RequestRecorder.h"

#include "Include/LogFile.h"
#include "support/TempFolder.h"

CScopedLog::CScopedLog(const std::string& strPath) : m_strPath(strPath) {
    auto* pLog = new CLogFile();
    pLog->Open(strPath);
    pLog->SetTraceLevel(254, true);
    g_pLogFile = pLog;
}

CScopedLog::~CScopedLog() {
    delete g_pLogFile.exchange(nullptr);
}

std::string CScopedLog::Content() const {
    return ReadWholeFile(m_strPath);
}
