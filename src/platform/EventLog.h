#pragma once

#include <string>

namespace Platform {

// Where the agent tells people what it does outside its own log file. Any thread; failures drop
// the text silently, as an event source that cannot be opened.
class IEventLog {
  public:
    virtual ~IEventLog() = default;

    // One informational event in the system's event log under strSource.
    virtual void WriteEvent(const std::string& strSource, const std::string& strMessage) = 0;
    // One line on the console of a process that runs without a service manager.
    virtual void PrintLine(const std::string& strLine) = 0;
    // A message the user must see, from a command-line action (registration) or a refused start.
    virtual void ShowMessage(const std::string& strText) = 0;
};

// The system log of this platform.
class CSystemEventLog : public IEventLog {
  public:
    void WriteEvent(const std::string& strSource, const std::string& strMessage) override;
    void PrintLine(const std::string& strLine) override;
    void ShowMessage(const std::string& strText) override;
};

} // namespace Platform
