#pragma once

#include <chrono>
#include <string>

// How long one exchange may take, and how long a kept connection may serve it.
struct CHttpSettings {
    std::chrono::milliseconds connectTimeout{30000};
    // The whole exchange, the wait for a connection and the connect included.
    std::chrono::milliseconds totalTimeout{120000};
    // A connection idle this long is closed rather than used again: well within the keep-alive time
    // of common servers, so that a request never races a server closing it.
    std::chrono::milliseconds maxConnectionIdle{2000};
    // A connection this old is replaced, so that a changed name resolution takes effect.
    std::chrono::milliseconds maxConnectionLifetime{60000};
};

// One synchronous HTTP exchange with the accounting server. Any HTTP status is an answer: its body is
// kept as raw bytes (no character set conversion), cut at its first zero byte and at the response
// limit, so that a broken or hostile server cannot exhaust memory; the transfer ends at the limit. A
// hung server is given up after the connect and exchange time-outs. Logs nothing. One object per
// exchange, used by one thread.
//
// Exchanges run over a few connections that the whole process shares and keeps open between them
// (HTTP keep-alive), so that a burst of posts neither floods the server with connections nor keeps
// many posts in flight. A connection that the server closed is replaced before use. A request whose
// body may have reached the server is never sent a second time by the transport: if its connection
// breaks before an answer, Send fails and the caller decides.
class CHttpRequest {
  public:
    // The ceiling of every response limit, and the limit of a request that sets none.
    static constexpr size_t kMaxResponseBytes = 16 * 1024 * 1024;
    // Connections open at once, over every thread; a request that finds them all busy waits for one.
    static constexpr int kMaxConnections = 6;

    CHttpRequest(std::string strMethod, std::string strUrl, const CHttpSettings& settings = CHttpSettings());
    virtual ~CHttpRequest() = default;

    // The most body bytes that Send keeps and reads; at most kMaxResponseBytes.
    void SetResponseLimit(size_t nBytes);
    // True after a Send whose answer went past the limit: the response text is then cut short.
    bool IsResponseCut() const { return m_bResponseCut; }

    // Sends strBody with the method to the URL and waits for the answer. True when an answer came,
    // whatever its status; false when none did, with GetErrorText() telling why. The wait for a free
    // connection counts toward both time-outs: no connection within the connect time-out fails as a
    // time-out (error 28).
    bool Send(const std::string& strBody);

    std::string GetResponseText() const { return m_strResponseText; }
    // The HTTP status of the last answer, -1 before one came.
    int GetStatus() const { return m_nStatus; }
    // "Failed to send request error(%d)" after a failed Send, with the transport's error code.
    const std::string& GetErrorText() const { return m_strErrorText; }

    // Opens and closes one connection to the server of the URL, outside the shared connections,
    // sending nothing: true when the server accepts connections within nTimeoutMs. False otherwise,
    // with strError telling why.
    static bool CanConnect(const std::string& strUrl, long nTimeoutMs, std::string& strError);

    // For the agent's stop: from now on a request that finds every connection busy fails at once as
    // timed out, and so do the requests waiting for one now. Any thread; for the rest of the process.
    static void StopWaitingForConnections();

    // For the agent's stop: an exchange still running at that moment is given up and fails (error
    // 42), and so does every later one, so that a hung or slow server cannot hold the stop past the
    // service manager's patience. Any thread; for the rest of the process.
    static void AbortExchangesAt(std::chrono::steady_clock::time_point at);

  private:
    std::string m_strMethod;
    std::string m_strUrl;
    CHttpSettings m_settings;
    std::string m_strResponseText;
    std::string m_strErrorText;
    int m_nStatus = -1;
    size_t m_nResponseLimit = kMaxResponseBytes;
    bool m_bResponseCut = false;
};
