#pragma once

#include "request/RequestEnvironment.h"

#include <cstddef>
#include <string>

class CActivity;
struct CFileRequest;
namespace Platform {
class IFileBeneath;
}

// Reads the PRINTJOB section of a job ticket, with the defaults and conversions of the Windows
// agent (atoi, atof). The ticket's content was read once from the file held open below its hot
// folder (never by its path again), so the job billed is the version recorded as processed.
class CJobTicketReader {
  public:
    virtual ~CJobTicketReader() = default;
    int ReadTicket(const std::string& strContent, std::string& strJobName, double& dFieldWidth,
                   double& dFieldHeight, int& nCopies, int& nTimer);

    // A ticket describes one job in a few lines; more than this is not read.
    static constexpr size_t kMaxTicketBytes = 1024 * 1024;
};

// The name an abandoned print file is moved to: every ".tmp" becomes ".klendo", then every "ppr"
// becomes "FATAL-". Applied to the file's own name only, so the file stays in its folder.
std::string AbandonedParseName(const std::string& strName);

// The document step of one request: the job a ticket describes, or the pages and size of a print
// file, written into the activity. The print file is parsed in a worker process from the very file
// held open below the hot folder, never from what its path names later.
class CDocumentProperties {
  public:
    // loggedOnUser: who a job ticket is charged to; it outlives this object.
    CDocumentProperties(const CFileRequest& request, const Platform::IFileBeneath& source,
                        const CRequestEnvironment& environment, CLoggedOnUser& loggedOnUser);

    // 1 when the document was read; 0 on failure, and for a ticket that describes no job (IsNoJob).
    // strTicketContent: a ticket's content as read from the file held.
    int Read(const std::string& strTicketContent, CActivity& activity);
    // A ticket without a time: done, nothing to post.
    bool IsNoJob() const { return m_bNoJob; }
    // The parse ran past its limit.
    bool IsParseAbandoned() const { return m_bParseAbandoned; }

  private:
    void RunPrintFileParser(double& dFirst, double& dSecond, int& nPages);

    const CFileRequest& m_request;
    const Platform::IFileBeneath& m_source;
    const CRequestEnvironment& m_environment;
    CLoggedOnUser& m_loggedOnUser;
    std::string m_strSourcePath;
    bool m_bNoJob = false;
    bool m_bParseAbandoned = false;
};
