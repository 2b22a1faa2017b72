#include "request/DocumentProperties.h"

#include "Include/LogFile.h"
#include "Include/StringUtil.h"
#include "activity/Activity.h"
#include "config/IniFile.h"
#include "platform/Accounts.h"
#include "platform/FileAccess.h"
#include "platform/Thread.h"
#include "pool/FileRequest.h"
#include "request/FileOwner.h"
#include "request/ParserWorkers.h"

namespace {

std::string DigitsOf(const std::string& strText) {
    std::string strDigits;
    for (char c : strText)
        if (c >= '0' && c <= '9')
            strDigits += c;
    return strDigits;
}

} // namespace

int CJobTicketReader::ReadTicket(const std::string& strContent, std::string& strJobName, double& dFieldWidth,
                                 double& dFieldHeight, int& nCopies, int& nTimer) {
    CIniFile ticket = CIniFile::FromContent(strContent);
    strJobName = ticket.GetString("PRINTJOB", "JobName", "");
    nCopies = ParseLeadingInt(ticket.GetString("PRINTJOB", "Copies", "1"));
    dFieldHeight = ParseLeadingDouble(ticket.GetString("PRINTJOB", "FieldHeight", "1"));
    dFieldWidth = ParseLeadingDouble(ticket.GetString("PRINTJOB", "FieldWidth", "1"));
    nTimer = ParseLeadingInt(ticket.GetString("PRINTJOB", "Timer", "0"));
    return 1;
}

std::string AbandonedParseName(const std::string& strName) {
    return ReplaceAll(ReplaceAll(strName, ".tmp", ".klendo"), "ppr", "FATAL-");
}

CDocumentProperties::CDocumentProperties(const CFileRequest& request, const Platform::IFileBeneath& source,
                                         const CRequestEnvironment& environment, CLoggedOnUser& loggedOnUser)
    : m_request(request), m_source(source), m_environment(environment), m_loggedOnUser(loggedOnUser),
      m_strSourcePath(JoinPath(request.source, request.filename)) {}

int CDocumentProperties::Read(const std::string& strTicketContent, CActivity& activity) {
    try {
        double dFirst = 0.0;
        double dSecond = 0.0;
        int nPages = 0;
        int nTime = 0;
        std::string strJobName;
        int nResult = 1;
        if (m_request.IsTicketFolder()) {
            CJobTicketReader().ReadTicket(strTicketContent, strJobName, dFirst, dSecond, nPages, nTime);
            activity.m_document.m_strName = strJobName;
            activity.m_document.m_fWidth = ClampToFloat(dFirst);
            activity.m_document.m_fLength = ClampToFloat(dSecond);
            activity.m_document.m_nPages = nTime / 1000;
            activity.m_document.m_nCopies = 1;
            activity.m_strType = "Time";
            ReadFileOwner(m_source, m_strSourcePath, &m_loggedOnUser, m_environment.pSessions, activity);
            if (nTime == 0) {
                nResult = 0;
                m_bNoJob = true;
            } else {
                activity.m_strJobId += DigitsOf(m_strSourcePath);
                activity.m_document.m_strMachineName = Platform::GetHostComputerName(15);
            }
        } else {
            RunPrintFileParser(dFirst, dSecond, nPages);
            if (m_request.halfsize == 1) {
                LogTrace("--I: before half size L=%f W=%f", dFirst, dSecond);
                dFirst *= 0.5;
                dSecond *= 0.5;
            }
            activity.m_document.m_fWidth = ClampToFloat(dFirst);
            activity.m_document.m_fLength = ClampToFloat(dSecond);
            activity.m_document.m_nPages = nPages;
            activity.m_document.m_nCopies = m_request.copies;
            activity.m_strType = "Print";
            activity.m_document.m_strName = m_request.filename;
        }
        LogTrace("--I: doc properties s=%s L=%f W=%f pages=%d, qty=%d", strJobName.c_str(), dFirst, dSecond,
                 nPages, nTime);
        return nResult;
    } catch (...) {
        LogTrace("**** E: CFileRequestHandler ParseDocument ***");
        return 0;
    }
}

// The parse runs in a worker process, because a parse that hangs must be abandoned and a thread
// cannot be ended safely; a parser that crashes on a hostile file ends only the worker. The worker
// reports its values as it finds them, so an abandoned parse still gives the values read so far. A
// worker that ends without an answer (a crash, a kill from outside) is not believed and gets one
// successor; a hung parse is not tried again, it would only hang again.
void CDocumentProperties::RunPrintFileParser(double& dFirst, double& dSecond, int& nPages) {
    const std::string& strPath = m_strSourcePath;
    FILEFORMATINFO info;
    // A busy moment may make the file wait for a worker; the parse's own time starts once it has one.
    CParserWorkers::CLease worker(*m_environment.pParserWorkers, m_environment.strParserPath,
                                  std::chrono::steady_clock::now() + m_environment.parseLimit);
    // The worker parses the very file held open below the hot folder, never what the path names later.
    const Platform::IFileBeneath* pFile = m_source.IsHeld() ? &m_source : nullptr;
    auto result = worker.Parse(strPath, pFile, m_environment.parseLimit, info);
    if (result == CParserWorkers::CLease::ParseResult::Ended) {
        LogTrace("--F: print file parser ended without a result p=%s, trying a new worker", strPath.c_str());
        info = FILEFORMATINFO();
        worker.Retake(std::chrono::steady_clock::now() + m_environment.parseLimit);
        result = worker.Parse(strPath, pFile, m_environment.parseLimit, info);
        if (result == CParserWorkers::CLease::ParseResult::Ended) {
            LogTrace("--F: print file parser ended without a result again p=%s, the job goes on with zeros",
                     strPath.c_str());
            info = FILEFORMATINFO();
        }
    }
    if (result == CParserWorkers::CLease::ParseResult::NoWorker) {
        LogTrace("--F: failed to start the print file parser p=%s error =%d",
                 m_environment.strParserPath.c_str(), worker.GetError());
    } else if (result == CParserWorkers::CLease::ParseResult::TimedOut) {
        LogTrace("--F: print file parse abandoned after %lld ms p=%s",
                 static_cast<long long>(m_environment.parseLimit.count()), strPath.c_str());
        m_bParseAbandoned = true;
    }
    dFirst = info.dWidth;
    dSecond = info.dLength;
    nPages = std::max(info.nPageCount, info.nPageCount2);
}
