#include "client/HttpRequest.h"

#include "client/ConnectionPool.h"
#include "platform/Clock.h"

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>

namespace {

using Clock = std::chrono::steady_clock;

// When exchanges are given up for the stop, as a count of the steady clock; the largest value: never.
std::atomic<Clock::rep> g_nAbortAt{std::numeric_limits<Clock::rep>::max()};

// curl_global_init is not safe to race with other threads' first use, so it runs once, here.
void InitCurlOnce() {
    static std::once_flag s_once;
    std::call_once(s_once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// The process's connections: one easy handle per pool slot, each keeping at most one connection
// alive between requests, and the server it leads to. A slot's entries are touched only by the
// thread that holds the slot.
struct SConnections {
    // CHttpRequest is made anywhere, with no environment at hand: the pool takes the system's clock.
    Platform::IClock& clock = Platform::SystemClock();
    CConnectionPool pool{clock, CHttpRequest::kMaxConnections};
    std::array<CURL*, CHttpRequest::kMaxConnections> handles{};
    std::array<std::string, CHttpRequest::kMaxConnections> servers;
};

// Never destroyed: a request thread that outlives the agent's stop wait may still hold a connection
// when the process ends.
SConnections& Connections() {
    static SConnections* s_pConnections = new SConnections;
    return *s_pConnections;
}

// The scheme, credentials, host and port of a URL: what a connection leads to.
std::string ServerOf(const std::string& strUrl) {
    size_t nHostStart = strUrl.find("://");
    nHostStart = nHostStart == std::string::npos ? 0 : nHostStart + 3;
    return strUrl.substr(0, strUrl.find_first_of("/?#", nHostStart));
}

// One loan of a pooled connection for the length of one exchange.
class CPooledConnection {
  public:
    // Waits at most wait for a free connection.
    CPooledConnection(std::chrono::milliseconds wait, const CConnectionPool::SLimits& limits)
        : m_loan(Connections().pool, Connections().clock.DeadlineAfter(wait.count()), limits) {}

    bool IsHeld() const { return m_loan.IsHeld(); }

    // The slot's handle for a request to the URL: made afresh when the pool says so or the URL leads
    // to another server than the connection kept (the kept one is closed first, so a slot never holds
    // two); null when libcurl cannot make one.
    CURL* GetHandle(const std::string& strUrl) {
        CURL*& pHandle = Connections().handles[m_loan.GetSlot()];
        std::string& strServer = Connections().servers[m_loan.GetSlot()];
        std::string strUrlServer = ServerOf(strUrl);
        if (m_loan.TakeRenewal() || pHandle == nullptr || strServer != strUrlServer) {
            curl_easy_cleanup(pHandle);
            pHandle = curl_easy_init();
            strServer = strUrlServer;
        }
        return pHandle;
    }

  private:
    CConnectionLoan m_loan;
};

// The request body, handed to libcurl piece by piece so that this side knows what has gone out.
struct SRequestBody {
    const std::string& strBody;
    size_t nHandedOut = 0;
    int nAttempts = 0;
};

size_t OnBodyWanted(char* pBuffer, size_t nSize, size_t nCount, void* pSource) {
    auto* pBody = static_cast<SRequestBody*>(pSource);
    size_t nBytes = std::min(nSize * nCount, pBody->strBody.size() - pBody->nHandedOut);
    std::memcpy(pBuffer, pBody->strBody.data() + pBody->nHandedOut, nBytes);
    pBody->nHandedOut += nBytes;
    return nBytes;
}

// libcurl calls this before every attempt to send the request. It tries again on a fresh connection
// when a reused one broke before the answer, even after the server may have read the whole request
// and acted on it; a post must not be applied twice, so a further attempt is allowed only while no
// byte of the body has gone out. (Where body bytes were written, libcurl asks to rewind the body
// first, which this side never allows, so that attempt fails too.)
int OnAttempt(void* pSource, char*, char*, int, int) {
    auto* pBody = static_cast<SRequestBody*>(pSource);
    ++pBody->nAttempts;
    return pBody->nAttempts > 1 && pBody->nHandedOut > 0 ? CURL_PREREQFUNC_ABORT : CURL_PREREQFUNC_OK;
}

struct SResponseSink {
    std::string strBody;
    size_t nLimit = 0;
    bool bCapped = false;
};

// Keeps the body up to the limit; going past it ends the transfer, which then still counts as answered.
size_t OnBodyBytes(char* pData, size_t nSize, size_t nCount, void* pSink) {
    auto* pResponse = static_cast<SResponseSink*>(pSink);
    size_t nBytes = nSize * nCount;
    size_t nRoom = pResponse->nLimit - pResponse->strBody.size();
    if (nBytes > nRoom) {
        pResponse->strBody.append(pData, nRoom);
        pResponse->bCapped = true;
        return 0;
    }
    pResponse->strBody.append(pData, nBytes);
    return nBytes;
}

struct SListCleanup {
    void operator()(curl_slist* pList) const { curl_slist_free_all(pList); }
};

std::string FailureText(int nCode) {
    return "Failed to send request error(" + std::to_string(nCode) + ")";
}

// libcurl asks about once a second, and at every transfer step, whether to go on.
int OnProgress(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return Clock::now().time_since_epoch().count() >= g_nAbortAt.load() ? 1 : 0;
}

// What is left of a time-out that started at the request's start; at least 1 ms, as 0 means none.
long RemainingMs(Clock::time_point deadline) {
    auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return std::max<long>(1, static_cast<long>(remaining.count()));
}

} // namespace

CHttpRequest::CHttpRequest(std::string strMethod, std::string strUrl, const CHttpSettings& settings)
    : m_strMethod(std::move(strMethod)), m_strUrl(std::move(strUrl)), m_settings(settings) {}

void CHttpRequest::StopWaitingForConnections() {
    Connections().pool.StopWaiting();
}

void CHttpRequest::AbortExchangesAt(std::chrono::steady_clock::time_point at) {
    g_nAbortAt = at.time_since_epoch().count();
}

void CHttpRequest::SetResponseLimit(size_t nBytes) {
    m_nResponseLimit = nBytes < kMaxResponseBytes ? nBytes : kMaxResponseBytes;
}

bool CHttpRequest::Send(const std::string& strBody) {
    CURLcode code = CURLE_FAILED_INIT;
    try {
        InitCurlOnce();
        Clock::time_point start = Clock::now();
        Clock::time_point connectDeadline = start + m_settings.connectTimeout;
        Clock::time_point totalDeadline = start + m_settings.totalTimeout;
        CPooledConnection connection(std::min(m_settings.connectTimeout, m_settings.totalTimeout),
                                     {m_settings.maxConnectionIdle, m_settings.maxConnectionLifetime});
        if (!connection.IsHeld()) {
            m_strErrorText = FailureText(CURLE_OPERATION_TIMEDOUT);
            return false;
        }
        CURL* pHandle = connection.GetHandle(m_strUrl);
        // libcurl would add a form content type and "Expect: 100-continue" to a body of its own
        // accord; empty values remove them, so only the body goes out.
        curl_slist* pRaw = curl_slist_append(nullptr, "Content-Type:");
        std::unique_ptr<curl_slist, SListCleanup> pHeaders(pRaw);
        if (pHandle == nullptr || pRaw == nullptr || curl_slist_append(pRaw, "Expect:") == nullptr) {
            m_strErrorText = FailureText(code);
            return false;
        }
        SRequestBody body{strBody};
        SResponseSink sink;
        sink.nLimit = m_nResponseLimit;
        // Every option is set afresh; a reset keeps the handle's live connection.
        curl_easy_reset(pHandle);
        curl_easy_setopt(pHandle, CURLOPT_URL, m_strUrl.c_str());
        curl_easy_setopt(pHandle, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(pHandle, CURLOPT_CUSTOMREQUEST, m_strMethod.c_str());
        curl_easy_setopt(pHandle, CURLOPT_POST, 1L);
        curl_easy_setopt(pHandle, CURLOPT_READFUNCTION, OnBodyWanted);
        curl_easy_setopt(pHandle, CURLOPT_READDATA, &body);
        curl_easy_setopt(pHandle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(strBody.size()));
        curl_easy_setopt(pHandle, CURLOPT_PREREQFUNCTION, OnAttempt);
        curl_easy_setopt(pHandle, CURLOPT_PREREQDATA, &body);
        curl_easy_setopt(pHandle, CURLOPT_HTTPHEADER, pHeaders.get());
        curl_easy_setopt(pHandle, CURLOPT_WRITEFUNCTION, OnBodyBytes);
        curl_easy_setopt(pHandle, CURLOPT_WRITEDATA, &sink);
        curl_easy_setopt(pHandle, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(pHandle, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(pHandle, CURLOPT_XFERINFOFUNCTION, OnProgress);
        curl_easy_setopt(pHandle, CURLOPT_MAXCONNECTS, 1L);
        // Each new connection resolves the name again, as the agent did before connections were kept.
        curl_easy_setopt(pHandle, CURLOPT_DNS_CACHE_TIMEOUT, 0L);
        curl_easy_setopt(pHandle, CURLOPT_CONNECTTIMEOUT_MS, RemainingMs(connectDeadline));
        curl_easy_setopt(pHandle, CURLOPT_TIMEOUT_MS, RemainingMs(totalDeadline));
        code = curl_easy_perform(pHandle);
        if (code != CURLE_OK && !(code == CURLE_WRITE_ERROR && sink.bCapped)) {
            m_strErrorText = FailureText(code);
            return false;
        }
        long nStatus = -1;
        curl_easy_getinfo(pHandle, CURLINFO_RESPONSE_CODE, &nStatus);
        m_nStatus = static_cast<int>(nStatus);
        m_bResponseCut = sink.bCapped;
        m_strResponseText.assign(sink.strBody.c_str(), std::strlen(sink.strBody.c_str()));
        return true;
    } catch (...) {
        m_strErrorText = FailureText(code);
        return false;
    }
}

bool CHttpRequest::CanConnect(const std::string& strUrl, long nTimeoutMs, std::string& strError) {
    InitCurlOnce();
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> pHandle(curl_easy_init(), curl_easy_cleanup);
    if (!pHandle) {
        strError = curl_easy_strerror(CURLE_FAILED_INIT);
        return false;
    }
    curl_easy_setopt(pHandle.get(), CURLOPT_URL, strUrl.c_str());
    curl_easy_setopt(pHandle.get(), CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(pHandle.get(), CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(pHandle.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(pHandle.get(), CURLOPT_CONNECTTIMEOUT_MS, nTimeoutMs);
    CURLcode code = curl_easy_perform(pHandle.get());
    if (code != CURLE_OK)
        strError = curl_easy_strerror(code);
    return code == CURLE_OK;
}
