#pragma once

#include <memory>
#include <string>

// A writer that holds a file open for appending until the test lets it go; it then appends strTail
// and ends. On Linux it is another process; on Windows a handle of the test process itself, which
// the share-mode probe tells apart from the prober's own handle alike. Deterministic: the
// constructor returns once the file is held.
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
    struct CImpl;
    std::unique_ptr<CImpl> m_pImpl;
    bool m_bHolding = false;
};
