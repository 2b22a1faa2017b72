#pragma once

#include <string>

// Another process that holds a file open for appending until the test lets it go; it then appends
// strTail and ends. Deterministic: the constructor returns once the file is held.
class CHoldingWriter {
  public:
    CHoldingWriter(const std::string& strPath, const std::string& strTail);
    ~CHoldingWriter();
    CHoldingWriter(const CHoldingWriter&) = delete;
    CHoldingWriter& operator=(const CHoldingWriter&) = delete;

    bool IsHolding() const { return m_bHolding; }
    // Lets the writer append its tail, close the file and end; waits for its end.
    void Release();

  private:
    int m_nProcess = -1;
    int m_nRelease = -1;
    bool m_bHolding = false;
};
