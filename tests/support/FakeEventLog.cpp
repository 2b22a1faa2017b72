#include "support/FakeEventLog.h"

void CFakeEventLog::WriteEvent(const std::string& strSource, const std::string& strMessage) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_events.push_back(strSource + ": " + strMessage);
}

void CFakeEventLog::PrintLine(const std::string& strLine) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_printedLines.push_back(strLine);
}

void CFakeEventLog::ShowMessage(const std::string& strText) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_messages.push_back(strText);
}

std::vector<std::string> CFakeEventLog::GetEvents() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_events;
}

std::vector<std::string> CFakeEventLog::GetPrintedLines() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_printedLines;
}

std::vector<std::string> CFakeEventLog::GetMessages() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_messages;
}

void CFakeEventLog::Clear() {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_events.clear();
    m_printedLines.clear();
    m_messages.clear();
}
