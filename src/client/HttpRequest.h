#pragma once

#include <string>

// One synchronous HTTP exchange with the accounting server. Any HTTP status is an answer: its body is
// kept as raw bytes (no character set conversion), cut at its first zero byte and at the response
// limit, so that a broken or hostile server cannot exhaust memory; the transfer ends at the limit. A
// hung server is given up after the connect and exchange time-outs. Logs nothing. One object per
// exchange, used by one thread.
class CHttpRequest {
  public:
    // The ceiling of every response limit, and the limit of a request that sets none.
    static constexpr size_t kMaxResponseBytes = 16 * 1024 * 1024;

    CHttpRequest(std::string strMethod, std::string strUrl);
    virtual ~CHttpRequest() = default;

    // The most body bytes that Send keeps and reads; at most kMaxResponseBytes.
    void SetResponseLimit(size_t nBytes);
    // True after a Send whose answer went past the limit: the response text is then cut short.
    bool IsResponseCut() const { return m_bResponseCut; }

    // Sends strBody with the method to the URL and waits for the answer. True when an answer came,
    // whatever its status; false when none did, with GetErrorText() telling why.
    bool Send(const std::string& strBody);

    std::string GetResponseText() const { return m_strResponseText; }
    // The HTTP status of the last answer, -1 before one came.
    int GetStatus() const { return m_nStatus; }
    // "Failed to send request error(%d)" after a failed Send, with the transport's error code.
    const std::string& GetErrorText() const { return m_strErrorText; }

    // Test seam, not reachable from the settings: the time-outs of every later Send, in milliseconds.
    // The product keeps 30 s to connect and 120 s for the whole exchange.
    static void SetTimeoutsForTest(long nConnectMs, long nTotalMs);

  private:
    std::string m_strMethod;
    std::string m_strUrl;
    std::string m_strResponseText;
    std::string m_strErrorText;
    int m_nStatus = -1;
    size_t m_nResponseLimit = kMaxResponseBytes;
    bool m_bResponseCut = false;
};
