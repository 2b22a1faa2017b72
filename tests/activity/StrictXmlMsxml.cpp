#include "StrictXml.h"

#include <windows.h>

#include <msxml2.h>
#include <objbase.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <climits>

// MSXML's parser as it is, without the leniency CXmlDocument adds on loading: it refuses every
// character and reference XML 1.0 forbids. Bytes that are not UTF-8 are refused before it sees them.
bool IsStrictlyWellFormedXml(const std::string& strText) {
    if (strText.empty() || strText.size() > INT_MAX)
        return false;
    int nInput = static_cast<int>(strText.size());
    int nLength = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, strText.data(), nInput, nullptr, 0);
    if (nLength <= 0)
        return false;
    BSTR bstrText = ::SysAllocStringLen(nullptr, static_cast<UINT>(nLength));
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, strText.data(), nInput, bstrText, nLength);
    bool bComInitialised = SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    bool bWellFormed = false;
    {
        CLSID clsid;
        Microsoft::WRL::ComPtr<IXMLDOMDocument> pDocument;
        VARIANT_BOOL bLoaded = VARIANT_FALSE;
        bWellFormed = SUCCEEDED(::CLSIDFromProgID(L"Msxml2.DOMDocument.6.0", &clsid)) &&
                      SUCCEEDED(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument,
                                                   reinterpret_cast<void**>(pDocument.GetAddressOf()))) &&
                      SUCCEEDED(pDocument->put_async(VARIANT_FALSE)) &&
                      SUCCEEDED(pDocument->put_resolveExternals(VARIANT_FALSE)) &&
                      pDocument->loadXML(bstrText, &bLoaded) == S_OK && bLoaded == VARIANT_TRUE;
    }
    ::SysFreeString(bstrText);
    if (bComInitialised)
        ::CoUninitialize();
    return bWellFormed;
}
