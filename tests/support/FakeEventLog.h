#pragma once

#include "platform/EventLog.h"

#include <mutex>
#include <string>
#include <vector>

// An event log that keeps what it was told, each kind in its own list; any thread.
class CFakeEventLog : public Platform::IEventLog {
  public:
    void WriteEvent(const std::string& strSource, const std::string& strMessage) override;
    void PrintLine(const std::string& strLine) override;
    void ShowMessage(const std::string& strText) override;

    // Events as "source: message".
    std::vector<std::string> GetEvents() const;
    std::vector<std::string> GetPrintedLines() const;
    std::vector<std::string> GetMessages() const;
    void Clear();

  private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_events;
    std::vector<std::string> m_printedLines;
    std::vector<std::string> m_messages;
};
