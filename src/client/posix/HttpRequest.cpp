#include "client/HttpRequest.h"

#include <curl/curl.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>

namespace {

std::atomic<long> g_nConnectTimeoutMs{30000};
std::atomic<long> g_nTotalTimeoutMs{120000};

// curl_global_init is not safe to race with other threads' first use, so it runs once, here.
void InitCurlOnce() {
    static std::once_flag s_once;
    std::call_once(s_once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
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

struct SCurlCleanup {
    void operator()(CURL* pCurl) const { curl_easy_cleanup(pCurl); }
};
struct SListCleanup {
    void operator()(curl_slist* pList) const { curl_slist_free_all(pList); }
};

std::string FailureText(int nCode) {
    return "Failed to send request error(" + std::to_string(nCode) + ")";
}

} // namespace

CHttpRequest::CHttpRequest(std::string strMethod, std::string strUrl)
    : m_strMethod(std::move(strMethod)), m_strUrl(std::move(strUrl)) {}

void CHttpRequest::SetTimeoutsForTest(long nConnectMs, long nTotalMs) {
    g_nConnectTimeoutMs = nConnectMs;
    g_nTotalTimeoutMs = nTotalMs;
}

void CHttpRequest::SetResponseLimit(size_t nBytes) {
    m_nResponseLimit = nBytes < kMaxResponseBytes ? nBytes : kMaxResponseBytes;
}

bool CHttpRequest::Send(const std::string& strBody) {
    CURLcode code = CURLE_FAILED_INIT;
    try {
        InitCurlOnce();
        std::unique_ptr<CURL, SCurlCleanup> pCurl(curl_easy_init());
        if (!pCurl) {
            m_strErrorText = FailureText(code);
            return false;
        }
        // libcurl would add a form content type and "Expect: 100-continue" to a body of its own
        // accord; empty values remove them, so only the body goes out.
        curl_slist* pRaw = curl_slist_append(nullptr, "Content-Type:");
        std::unique_ptr<curl_slist, SListCleanup> pHeaders(pRaw);
        if (pRaw == nullptr || curl_slist_append(pRaw, "Expect:") == nullptr) {
            m_strErrorText = FailureText(code);
            return false;
        }
        SResponseSink sink;
        sink.nLimit = m_nResponseLimit;
        CURL* pHandle = pCurl.get();
        curl_easy_setopt(pHandle, CURLOPT_URL, m_strUrl.c_str());
        curl_easy_setopt(pHandle, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(pHandle, CURLOPT_CUSTOMREQUEST, m_strMethod.c_str());
        curl_easy_setopt(pHandle, CURLOPT_POSTFIELDS, strBody.data());
        curl_easy_setopt(pHandle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(strBody.size()));
        curl_easy_setopt(pHandle, CURLOPT_HTTPHEADER, pHeaders.get());
        curl_easy_setopt(pHandle, CURLOPT_WRITEFUNCTION, OnBodyBytes);
        curl_easy_setopt(pHandle, CURLOPT_WRITEDATA, &sink);
        curl_easy_setopt(pHandle, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(pHandle, CURLOPT_CONNECTTIMEOUT_MS, g_nConnectTimeoutMs.load());
        curl_easy_setopt(pHandle, CURLOPT_TIMEOUT_MS, g_nTotalTimeoutMs.load());
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
