#include "client/HttpRequest.h"

#include "client/ConnectionPool.h"
#include "platform/Clock.h"
#include "platform/win32/WideText.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <winhttp.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

// The codes the log shows for the failures an operator acts on, the same on every system.
constexpr int kTimedOut = 28;
constexpr int kGivenUpByAgent = 42;

// When exchanges are given up for the stop, as a count of the steady clock; the largest value: never.
std::atomic<Clock::rep> g_nAbortAt{std::numeric_limits<Clock::rep>::max()};

Clock::time_point AbortTime() {
    return Clock::time_point(Clock::duration(g_nAbortAt.load()));
}

bool IsAbortTimeReached() {
    return Clock::now().time_since_epoch().count() >= g_nAbortAt.load();
}

// Owns one WinHTTP handle.
class CInternetHandle {
  public:
    CInternetHandle() = default;
    explicit CInternetHandle(HINTERNET hHandle) : m_hHandle(hHandle) {}
    ~CInternetHandle() { Reset(); }
    CInternetHandle(const CInternetHandle&) = delete;
    CInternetHandle& operator=(const CInternetHandle&) = delete;

    HINTERNET Get() const { return m_hHandle; }
    HINTERNET Release() { return std::exchange(m_hHandle, nullptr); }
    void Reset(HINTERNET hHandle = nullptr) {
        if (m_hHandle != nullptr)
            ::WinHttpCloseHandle(m_hHandle);
        m_hHandle = hHandle;
    }

  private:
    HINTERNET m_hHandle = nullptr;
};

// The parts of a URL a connection and a request need.
struct SUrl {
    bool bSecure = false;
    std::wstring wstrHost;
    INTERNET_PORT nPort = 0;
    std::wstring wstrPathAndQuery;

    // What a connection leads to.
    std::wstring Server() const {
        return (bSecure ? L"https://" : L"http://") + wstrHost + L":" + std::to_wstring(nPort);
    }
};

// False, with the error left for GetLastError, when the URL is not an http or https URL.
bool CrackUrl(const std::string& strUrl, SUrl& url) {
    std::wstring wstrUrl = Win32::ToWide(strUrl);
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (wstrUrl.empty()) {
        ::SetLastError(ERROR_WINHTTP_INVALID_URL);
        return false;
    }
    if (!::WinHttpCrackUrl(wstrUrl.c_str(), static_cast<DWORD>(wstrUrl.size()), 0, &parts))
        return false;
    if ((parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) ||
        parts.dwHostNameLength == 0) {
        ::SetLastError(ERROR_WINHTTP_UNRECOGNIZED_SCHEME);
        return false;
    }
    url.bSecure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    url.wstrHost.assign(parts.lpszHostName, parts.dwHostNameLength);
    url.nPort = parts.nPort;
    url.wstrPathAndQuery.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    url.wstrPathAndQuery.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (url.wstrPathAndQuery.empty())
        url.wstrPathAndQuery = L"/";
    return true;
}

// A session of its own keeps at most one connection alive between requests: one per pool slot.
HINTERNET OpenSession() {
    HINTERNET hSession = ::WinHttpOpen(L"KlendoHotFolderAgent", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                       WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (hSession == nullptr) // before Windows 8.1
        hSession = ::WinHttpOpen(L"KlendoHotFolderAgent", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                 WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (hSession != nullptr) {
        DWORD nConnections = 1;
        ::WinHttpSetOption(hSession, WINHTTP_OPTION_MAX_CONNS_PER_SERVER, &nConnections,
                           sizeof(nConnections));
    }
    return hSession;
}

// The process's connections: one WinHTTP session and connect handle per pool slot, and the server it
// leads to. A slot's entries are touched only by the thread that holds the slot.
struct SSlot {
    CInternetHandle session;
    CInternetHandle connect;
    std::wstring wstrServer;
};

struct SConnections {
    // CHttpRequest is made anywhere, with no environment at hand: the pool takes the system's clock.
    Platform::IClock& clock = Platform::SystemClock();
    CConnectionPool pool{clock, CHttpRequest::kMaxConnections};
    std::array<SSlot, CHttpRequest::kMaxConnections> slots;
};

// Never destroyed: a request thread that outlives the agent's stop wait may still hold a connection
// when the process ends.
SConnections& Connections() {
    static SConnections* s_pConnections = new SConnections;
    return *s_pConnections;
}

// One loan of a pooled connection for the length of one exchange.
class CPooledConnection {
  public:
    // Waits at most wait for a free connection.
    CPooledConnection(std::chrono::milliseconds wait, const CConnectionPool::SLimits& limits)
        : m_loan(Connections().pool, Connections().clock.DeadlineAfter(wait.count()), limits) {}

    bool IsHeld() const { return m_loan.IsHeld(); }

    // The slot's connect handle for the URL's server: made afresh when the pool says so, when bFresh
    // asks for it, or when the URL leads to another server than the connection kept (the kept one is
    // closed first, so a slot never holds two); null, with the error left, when WinHTTP cannot make
    // one. bKept tells whether it may carry a connection opened for an earlier exchange.
    HINTERNET GetConnect(const SUrl& url, bool bFresh, bool& bKept) {
        SSlot& slot = Connections().slots[m_loan.GetSlot()];
        std::wstring wstrServer = url.Server();
        bKept = !(m_loan.TakeRenewal() || bFresh || slot.connect.Get() == nullptr ||
                  slot.wstrServer != wstrServer);
        if (!bKept) {
            slot.connect.Reset();
            slot.session.Reset();
            slot.session.Reset(OpenSession());
            if (slot.session.Get() != nullptr)
                slot.connect.Reset(::WinHttpConnect(slot.session.Get(), url.wstrHost.c_str(), url.nPort, 0));
            slot.wstrServer = slot.connect.Get() != nullptr ? wstrServer : std::wstring();
        }
        return slot.connect.Get();
    }

  private:
    CConnectionLoan m_loan;
};

// The request handle of an exchange under way, which the stop may close from another thread.
struct SInFlight {
    HINTERNET hRequest = nullptr;
    bool bClosedByStop = false;
};

// Closes the request handles of the exchanges under way when the stop's deadline comes: a pending
// WinHTTP call on a closed handle returns at once. Its thread starts with the first deadline set.
class CStopWatch {
  public:
    // False when the deadline has already passed: the exchange must not begin.
    bool Enter(SInFlight& exchange) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (IsAbortTimeReached())
            return false;
        m_inFlight.insert(&exchange);
        return true;
    }

    // Afterwards the caller owns the handle again unless the stop closed it.
    void Leave(SInFlight& exchange) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_inFlight.erase(&exchange);
    }

    bool WasClosed(const SInFlight& exchange) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return exchange.bClosedByStop;
    }

    void DeadlineChanged() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_thread.joinable())
            m_thread = std::thread([this] { Watch(); });
        m_changed.notify_all();
    }

  private:
    void Watch() {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            // The deadline may move while this waits; "never" is waited for without a time.
            while (!IsAbortTimeReached()) {
                if (g_nAbortAt.load() == std::numeric_limits<Clock::rep>::max())
                    m_changed.wait(lock);
                else
                    m_changed.wait_until(lock, AbortTime());
            }
            for (SInFlight* pExchange : m_inFlight)
                if (!pExchange->bClosedByStop) {
                    pExchange->bClosedByStop = true;
                    ::WinHttpCloseHandle(pExchange->hRequest);
                }
            m_changed.wait(lock, [] { return !IsAbortTimeReached(); });
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::set<SInFlight*> m_inFlight;
    std::thread m_thread;
};

// Never destroyed, for the same reason as the connections.
CStopWatch& StopWatch() {
    static CStopWatch* s_pStopWatch = new CStopWatch;
    return *s_pStopWatch;
}

std::string FailureText(int nCode) {
    return "Failed to send request error(" + std::to_string(nCode) + ")";
}

// What is left until deadline, for a WinHTTP time-out; at least 1 ms, as 0 means none.
int RemainingMs(Clock::time_point deadline) {
    auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::clamp<long long>(remaining.count(), 1, std::numeric_limits<int>::max()));
}

// One request on one connection: the request handle, registered with the stop while it lives.
class CExchange {
  public:
    CExchange(Clock::time_point connectDeadline, Clock::time_point totalDeadline)
        : m_connectDeadline(std::min(connectDeadline, totalDeadline)), m_totalDeadline(totalDeadline) {}
    ~CExchange() { Close(); }
    CExchange(const CExchange&) = delete;
    CExchange& operator=(const CExchange&) = delete;

    // Opens the request and sends the request line and headers; nothing of the body goes out yet.
    bool Begin(HINTERNET hConnect, const std::string& strMethod, const SUrl& url, size_t nBodyBytes) {
        Close();
        m_exchange.hRequest = ::WinHttpOpenRequest(
            hConnect, Win32::ToWide(strMethod).c_str(), url.wstrPathAndQuery.c_str(), nullptr,
            WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, url.bSecure ? WINHTTP_FLAG_SECURE : 0);
        if (m_exchange.hRequest == nullptr)
            return Failed();
        if (!StopWatch().Enter(m_exchange))
            return Failed(kGivenUpByAgent);
        m_bRegistered = true;
        // A redirect is an answer: following one could send the body to a second place.
        DWORD nPolicy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
        ::WinHttpSetOption(Request(), WINHTTP_OPTION_REDIRECT_POLICY, &nPolicy, sizeof(nPolicy));
        DWORD nDisabled = WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_REDIRECTS;
        ::WinHttpSetOption(Request(), WINHTTP_OPTION_DISABLE_FEATURE, &nDisabled, sizeof(nDisabled));
        Clock::time_point deadline = TotalDeadline();
        int nConnectMs = RemainingMs(std::min(m_connectDeadline, deadline));
        if (nBodyBytes > std::numeric_limits<DWORD>::max() ||
            !::WinHttpSetTimeouts(Request(), nConnectMs, nConnectMs, RemainingMs(deadline),
                                  RemainingMs(deadline)))
            return Failed(ERROR_INVALID_PARAMETER);
        return ::WinHttpSendRequest(Request(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                                    static_cast<DWORD>(nBodyBytes), 0)
                   ? true
                   : Failed();
    }

    // The body goes out apart from the headers, so that WinHTTP holds no copy it could send again on
    // a connection of its choosing.
    bool WriteBody(const std::string& strBody) {
        size_t nWritten = 0;
        while (nWritten < strBody.size()) {
            DWORD nChunk = static_cast<DWORD>(std::min<size_t>(strBody.size() - nWritten, 1 << 20));
            DWORD nDone = 0;
            if (!SetReceiveTimeout() ||
                !::WinHttpWriteData(Request(), strBody.data() + nWritten, nChunk, &nDone))
                return Failed();
            nWritten += nDone;
        }
        return true;
    }

    // Waits for the answer and reads its body up to nLimit bytes.
    bool Receive(size_t nLimit, int& nStatus, std::string& strBody, bool& bCut) {
        DWORD nCode = 0;
        DWORD nSize = sizeof(nCode);
        if (!SetReceiveTimeout() || !::WinHttpReceiveResponse(Request(), nullptr) ||
            !::WinHttpQueryHeaders(Request(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                   WINHTTP_HEADER_NAME_BY_INDEX, &nCode, &nSize, WINHTTP_NO_HEADER_INDEX))
            return Failed();
        std::array<char, 64 * 1024> buffer;
        for (;;) {
            // Only what has arrived is read: a read for more could wait past the deadline for a
            // server that sends little at a time.
            DWORD nAvailable = 0;
            DWORD nRead = 0;
            if (!SetReceiveTimeout() || !::WinHttpQueryDataAvailable(Request(), &nAvailable) ||
                !::WinHttpReadData(Request(), buffer.data(),
                                   std::min(nAvailable, static_cast<DWORD>(buffer.size())), &nRead))
                return Failed();
            if (nRead == 0)
                break;
            size_t nRoom = nLimit - strBody.size();
            if (nRead > nRoom) {
                strBody.append(buffer.data(), nRoom);
                bCut = true;
                break;
            }
            strBody.append(buffer.data(), nRead);
        }
        nStatus = static_cast<int>(nCode);
        return true;
    }

    // The code of the last failure: the stop's and a time-out's as the log shows them on every
    // system, any other as WinHTTP gave it.
    int ErrorCode() const { return m_nError; }

  private:
    HINTERNET Request() const { return m_exchange.hRequest; }

    Clock::time_point TotalDeadline() const { return std::min(m_totalDeadline, AbortTime()); }

    // Each wait for the server gets what is left of the exchange's time; the wait for the answer's
    // headers has a time-out of its own. False once no time is left: a server that answers a byte at
    // a time never lets a single wait time out.
    bool SetReceiveTimeout() {
        if (Clock::now() >= TotalDeadline()) {
            ::SetLastError(ERROR_WINHTTP_TIMEOUT);
            return false;
        }
        int nMs = RemainingMs(TotalDeadline());
        return ::WinHttpSetOption(Request(), WINHTTP_OPTION_RECEIVE_TIMEOUT, &nMs, sizeof(nMs)) &&
               ::WinHttpSetOption(Request(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &nMs, sizeof(nMs)) &&
               ::WinHttpSetOption(Request(), WINHTTP_OPTION_SEND_TIMEOUT, &nMs, sizeof(nMs));
    }

    // A wait that timed out ended at the earlier of the exchange's deadline and the stop's.
    bool Failed(DWORD nError = ::GetLastError()) {
        // Wine reports some of WinHTTP's time-outs as Winsock's.
        bool bTimedOut =
            nError == ERROR_WINHTTP_TIMEOUT || nError == WSAETIMEDOUT || Clock::now() >= m_totalDeadline;
        if ((m_bRegistered && StopWatch().WasClosed(m_exchange)) || IsAbortTimeReached() ||
            (bTimedOut && AbortTime() < m_totalDeadline))
            m_nError = kGivenUpByAgent;
        else if (bTimedOut)
            m_nError = kTimedOut;
        else
            m_nError = static_cast<int>(nError);
        return false;
    }

    void Close() {
        if (m_bRegistered)
            StopWatch().Leave(m_exchange);
        if (m_exchange.hRequest != nullptr && !m_exchange.bClosedByStop)
            ::WinHttpCloseHandle(m_exchange.hRequest);
        m_exchange = SInFlight();
        m_bRegistered = false;
    }

    Clock::time_point m_connectDeadline;
    Clock::time_point m_totalDeadline;
    SInFlight m_exchange;
    bool m_bRegistered = false;
    int m_nError = 0;
};

// WSAStartup runs once for the process and is never undone: the agent connects until it ends.
bool StartWinsock() {
    static const bool s_bStarted = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return s_bStarted;
}

// Connects to one address within the time left; the Winsock error, or 0 when it connected, or
// WSAETIMEDOUT.
int ConnectWithin(const ADDRINFOW& address, Clock::time_point deadline) {
    SOCKET nSocket = ::socket(address.ai_family, address.ai_socktype, address.ai_protocol);
    if (nSocket == INVALID_SOCKET)
        return ::WSAGetLastError();
    u_long nNonBlocking = 1;
    int nError = 0;
    if (::ioctlsocket(nSocket, FIONBIO, &nNonBlocking) != 0 ||
        (::connect(nSocket, address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0 &&
         ::WSAGetLastError() != WSAEWOULDBLOCK)) {
        nError = ::WSAGetLastError();
    } else {
        fd_set writable, failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(nSocket, &writable);
        FD_SET(nSocket, &failed);
        int nMs = RemainingMs(deadline);
        timeval wait{nMs / 1000, (nMs % 1000) * 1000};
        int nReady = ::select(0, nullptr, &writable, &failed, &wait);
        int nLength = sizeof(nError);
        if (nReady == 0)
            nError = WSAETIMEDOUT;
        else if (nReady < 0)
            nError = ::WSAGetLastError();
        else if (::getsockopt(nSocket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&nError), &nLength) != 0)
            nError = ::WSAGetLastError();
    }
    ::closesocket(nSocket);
    return nError;
}

} // namespace

CHttpRequest::CHttpRequest(std::string strMethod, std::string strUrl, const CHttpSettings& settings)
    : m_strMethod(std::move(strMethod)), m_strUrl(std::move(strUrl)), m_settings(settings) {}

void CHttpRequest::StopWaitingForConnections() {
    Connections().pool.StopWaiting();
}

void CHttpRequest::AbortExchangesAt(std::chrono::steady_clock::time_point at) {
    g_nAbortAt = at.time_since_epoch().count();
    StopWatch().DeadlineChanged();
}

void CHttpRequest::SetResponseLimit(size_t nBytes) {
    m_nResponseLimit = nBytes < kMaxResponseBytes ? nBytes : kMaxResponseBytes;
}

bool CHttpRequest::Send(const std::string& strBody) {
    int nCode = static_cast<int>(ERROR_OUTOFMEMORY);
    try {
        Clock::time_point start = Clock::now();
        SUrl url;
        if (!CrackUrl(m_strUrl, url)) {
            m_strErrorText = FailureText(static_cast<int>(::GetLastError()));
            return false;
        }
        CPooledConnection connection(std::min(m_settings.connectTimeout, m_settings.totalTimeout),
                                     {m_settings.maxConnectionIdle, m_settings.maxConnectionLifetime});
        if (!connection.IsHeld()) {
            m_strErrorText = FailureText(kTimedOut);
            return false;
        }
        CExchange exchange(start + m_settings.connectTimeout, start + m_settings.totalTimeout);
        // A kept connection the server has closed fails the headers: the body has not gone out, so
        // one more try on a fresh connection cannot apply the post twice.
        bool bKept = false;
        bool bBegun = false;
        for (int nAttempt = 0; nAttempt < 2 && !bBegun; ++nAttempt) {
            HINTERNET hConnect = connection.GetConnect(url, nAttempt > 0, bKept);
            if (hConnect == nullptr) {
                m_strErrorText = FailureText(static_cast<int>(::GetLastError()));
                return false;
            }
            bBegun = exchange.Begin(hConnect, m_strMethod, url, strBody.size());
            if (!bBegun &&
                (!bKept || exchange.ErrorCode() == kTimedOut || exchange.ErrorCode() == kGivenUpByAgent))
                break;
        }
        std::string strResponse;
        bool bCut = false;
        int nStatus = -1;
        if (!bBegun || !exchange.WriteBody(strBody) ||
            !exchange.Receive(m_nResponseLimit, nStatus, strResponse, bCut)) {
            m_strErrorText = FailureText(exchange.ErrorCode());
            return false;
        }
        m_nStatus = nStatus;
        m_bResponseCut = bCut;
        m_strResponseText.assign(strResponse.c_str(), std::strlen(strResponse.c_str()));
        return true;
    } catch (...) {
        m_strErrorText = FailureText(nCode);
        return false;
    }
}

bool CHttpRequest::CanConnect(const std::string& strUrl, long nTimeoutMs, std::string& strError) {
    SUrl url;
    if (!CrackUrl(strUrl, url)) {
        strError = "URL using bad/illegal format or missing URL";
        return false;
    }
    if (!StartWinsock()) {
        strError = "Winsock did not start";
        return false;
    }
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(nTimeoutMs, 1L));
    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    ADDRINFOW* pAddresses = nullptr;
    int nError =
        ::GetAddrInfoW(url.wstrHost.c_str(), std::to_wstring(url.nPort).c_str(), &hints, &pAddresses);
    if (nError != 0) {
        strError = "Couldn't resolve host name (error " + std::to_string(nError) + ")";
        return false;
    }
    nError = WSAETIMEDOUT;
    for (const ADDRINFOW* pAddress = pAddresses; pAddress != nullptr && Clock::now() < deadline;
         pAddress = pAddress->ai_next)
        if ((nError = ConnectWithin(*pAddress, deadline)) == 0)
            break;
    ::FreeAddrInfoW(pAddresses);
    if (nError == WSAETIMEDOUT || (nError != 0 && Clock::now() >= deadline))
        strError = "Timeout was reached";
    else if (nError != 0)
        strError = "Couldn't connect to server (error " + std::to_string(nError) + ")";
    return nError == 0;
}
