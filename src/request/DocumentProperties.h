#pragma once

#include <cstddef>
#include <string>

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
