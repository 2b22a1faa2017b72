#pragma once

#include <string>

// Reads the PRINTJOB section of a job ticket, with the defaults and conversions of the Windows
// agent (atoi, atof).
class CJobTicketReader {
  public:
    virtual ~CJobTicketReader() = default;
    int ReadTicket(std::string strPath, std::string& strJobName, double& dFieldWidth, double& dFieldHeight,
                   int& nCopies, int& nTimer);
};

// The name an abandoned print file is moved to: every ".tmp" becomes ".klendo", then every "ppr"
// becomes "FATAL-", over the whole path.
std::string AbandonedParseName(const std::string& strPath);
