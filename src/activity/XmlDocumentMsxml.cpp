#include "activity/XmlDocument.h"

#include "Include/LogFile.h"
#include "Include/StringUtil.h"
#include "platform/win32/WideText.h"

#include <windows.h>

#include <msxml2.h>
#include <objbase.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <atomic>
#include <cstring>
#include <vector>

using Microsoft::WRL::ComPtr;

// Node handles are MSXML node interfaces; the document keeps a reference to each one it hands out,
// so that a handle stays valid while the document lives.
struct SXmlDocumentImpl {
    ComPtr<IXMLDOMDocument> pDocument;
    std::vector<ComPtr<IXMLDOMNode>> handedOut;
};

namespace {

// IXMLDOMDocument2, for setProperty; the import library does not carry its identifier.
const IID kIidXmlDomDocument2 = {
    0x2933bf95, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};

// COM is entered once on each thread that makes a document (any apartment the thread already has
// will do) and left when that thread ends.
class CComOnThisThread {
  public:
    CComOnThisThread() : m_bEntered(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {}
    ~CComOnThisThread() {
        if (m_bEntered)
            ::CoUninitialize();
    }
    CComOnThisThread(const CComOnThisThread&) = delete;
    CComOnThisThread& operator=(const CComOnThisThread&) = delete;

  private:
    bool m_bEntered;
};

void EnterComOnThisThread() {
    thread_local CComOnThisThread s_com;
}

// Owns one BSTR.
class CBstr {
  public:
    CBstr() = default;
    explicit CBstr(const std::wstring& wstrText)
        : m_bstrText(::SysAllocStringLen(wstrText.data(), static_cast<UINT>(wstrText.size()))) {}
    explicit CBstr(const std::string& strUtf8) : CBstr(Win32::ToWide(strUtf8)) {}
    ~CBstr() { ::SysFreeString(m_bstrText); }
    CBstr(const CBstr&) = delete;
    CBstr& operator=(const CBstr&) = delete;

    BSTR Get() const { return m_bstrText; }
    BSTR* Out() {
        ::SysFreeString(m_bstrText);
        m_bstrText = nullptr;
        return &m_bstrText;
    }
    std::string ToUtf8() const { return Win32::FromWide(m_bstrText, ::SysStringLen(m_bstrText)); }
    bool Equals(const std::wstring& wstrText) const {
        return ::SysStringLen(m_bstrText) == wstrText.size() &&
               std::wmemcmp(m_bstrText, wstrText.data(), wstrText.size()) == 0;
    }

  private:
    BSTR m_bstrText = nullptr;
};

// Clears a VARIANT it owns.
struct SVariant {
    VARIANT value;
    SVariant() { ::VariantInit(&value); }
    ~SVariant() { ::VariantClear(&value); }
    SVariant(const SVariant&) = delete;
    SVariant& operator=(const SVariant&) = delete;
};

bool SetProperty(IXMLDOMDocument2* pDocument, const wchar_t* szName, VARIANT value) {
    CBstr name{std::wstring(szName)};
    return SUCCEEDED(pDocument->setProperty(name.Get(), value));
}

VARIANT BoolVariant(bool bValue) {
    VARIANT value;
    ::VariantInit(&value);
    value.vt = VT_BOOL;
    value.boolVal = bValue ? VARIANT_TRUE : VARIANT_FALSE;
    return value;
}

VARIANT IntVariant(int nValue) {
    VARIANT value;
    ::VariantInit(&value);
    value.vt = VT_I4;
    value.lVal = nValue;
    return value;
}

// A document that never fetches anything: synchronous, no validation, no external resources, no
// DTD. The depth limit (MSXML 6's own default) is set for the older MSXML too, where it takes it.
bool Harden(IXMLDOMDocument* pDocument) {
    ComPtr<IXMLDOMDocument2> pDocument2;
    if (FAILED(pDocument->put_async(VARIANT_FALSE)) ||
        FAILED(pDocument->put_validateOnParse(VARIANT_FALSE)) ||
        FAILED(pDocument->put_resolveExternals(VARIANT_FALSE)) ||
        FAILED(pDocument->put_preserveWhiteSpace(VARIANT_FALSE)) ||
        FAILED(pDocument->QueryInterface(kIidXmlDomDocument2,
                                         reinterpret_cast<void**>(pDocument2.GetAddressOf()))))
        return false;
    SetProperty(pDocument2.Get(), L"ProhibitDTD", BoolVariant(true));
    SetProperty(pDocument2.Get(), L"MaxElementDepth", IntVariant(256));
    return true;
}

ComPtr<IXMLDOMDocument> NewDocument() {
    static std::atomic<bool> s_bFailureLogged{false};
    HRESULT hResult = E_FAIL;
    for (const wchar_t* szProgId : {L"Msxml2.DOMDocument.6.0", L"Msxml2.DOMDocument.3.0"}) {
        CLSID clsid;
        ComPtr<IXMLDOMDocument> pDocument;
        hResult = ::CLSIDFromProgID(szProgId, &clsid);
        if (SUCCEEDED(hResult))
            hResult = ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument,
                                         reinterpret_cast<void**>(pDocument.GetAddressOf()));
        if (SUCCEEDED(hResult) && Harden(pDocument.Get()))
            return pDocument;
    }
    if (!s_bFailureLogged.exchange(true))
        LogTrace("--F: no MSXML document (Msxml2.DOMDocument.6.0 or 3.0) error(0x%08lx)",
                 static_cast<unsigned long>(hResult));
    return nullptr;
}

IXMLDOMNode* ToNode(XmlNode node) {
    return reinterpret_cast<IXMLDOMNode*>(node);
}

bool IsOfType(IXMLDOMNode* pNode, DOMNodeType type) {
    DOMNodeType actual;
    return pNode != nullptr && SUCCEEDED(pNode->get_nodeType(&actual)) && actual == type;
}

ComPtr<IXMLDOMElement> AsElement(XmlNode node) {
    ComPtr<IXMLDOMElement> pElement;
    if (IsOfType(ToNode(node), NODE_ELEMENT))
        ToNode(node)->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(pElement.GetAddressOf()));
    return pElement;
}

std::string NodeName(IXMLDOMNode* pNode) {
    CBstr name;
    pNode->get_nodeName(name.Out());
    return name.ToUtf8();
}

// The value of a text, CDATA or attribute node, as stored (the text property would trim it).
std::string NodeValue(IXMLDOMNode* pNode) {
    SVariant value;
    if (pNode->get_nodeValue(&value.value) != S_OK || value.value.vt != VT_BSTR)
        return std::string();
    return Win32::FromWide(value.value.bstrVal, ::SysStringLen(value.value.bstrVal));
}

ComPtr<IXMLDOMNode> FirstChild(IXMLDOMNode* pNode) {
    ComPtr<IXMLDOMNode> pChild;
    if (pNode->get_firstChild(pChild.GetAddressOf()) != S_OK)
        pChild.Reset();
    return pChild;
}

ComPtr<IXMLDOMNode> NextSibling(IXMLDOMNode* pNode) {
    ComPtr<IXMLDOMNode> pSibling;
    if (pNode->get_nextSibling(pSibling.GetAddressOf()) != S_OK)
        pSibling.Reset();
    return pSibling;
}

// Calls onMatch with each child element of pParent named strName, in order, while it returns true.
template <typename Callback>
void ForEachChildElement(IXMLDOMNode* pParent, const std::string& strName, Callback onMatch) {
    std::wstring wstrName = Win32::ToWide(strName);
    for (ComPtr<IXMLDOMNode> pChild = FirstChild(pParent); pChild; pChild = NextSibling(pChild.Get())) {
        CBstr name;
        if (IsOfType(pChild.Get(), NODE_ELEMENT) && SUCCEEDED(pChild->get_nodeName(name.Out())) &&
            name.Equals(wstrName) && !onMatch(pChild))
            return;
    }
}

// Markup written as the Linux build writes it: attribute values in double quotes with &, <, " and
// every control character escaped; text with &, < and > and the control characters but tab, line
// feed and carriage return escaped.
void AppendEscaped(std::string& strOut, const std::string& strText, bool bAttribute) {
    for (char c : strText) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '&')
            strOut += "&amp;";
        else if (c == '<')
            strOut += "&lt;";
        else if (c == '>' && !bAttribute)
            strOut += "&gt;";
        else if (c == '"' && bAttribute)
            strOut += "&quot;";
        else if (u < 32 && (bAttribute || (c != '\t' && c != '\n' && c != '\r')))
            strOut += "&#" + std::string(1, static_cast<char>('0' + u / 10)) +
                      static_cast<char>('0' + u % 10) + ";";
        else
            strOut += c;
    }
}

void AppendStartTag(std::string& strOut, IXMLDOMNode* pElement) {
    strOut += "<" + NodeName(pElement);
    ComPtr<IXMLDOMNamedNodeMap> pAttributes;
    long nCount = 0;
    if (pElement->get_attributes(pAttributes.GetAddressOf()) == S_OK && pAttributes &&
        SUCCEEDED(pAttributes->get_length(&nCount)))
        for (long i = 0; i < nCount; ++i) {
            ComPtr<IXMLDOMNode> pAttribute;
            if (pAttributes->get_item(i, pAttribute.GetAddressOf()) != S_OK)
                continue;
            strOut += " " + NodeName(pAttribute.Get()) + "=\"";
            AppendEscaped(strOut, NodeValue(pAttribute.Get()), true);
            strOut += "\"";
        }
}

// Elements, texts and CDATA sections; comments, processing instructions and the document type are
// not part of the document the agent works with. Walks without recursion, as a loaded document may
// nest deeply.
std::string Serialise(IXMLDOMNode* pDocument) {
    std::string strOut;
    std::vector<ComPtr<IXMLDOMNode>> open;
    ComPtr<IXMLDOMNode> pNode = FirstChild(pDocument);
    while (pNode) {
        DOMNodeType type = NODE_INVALID;
        pNode->get_nodeType(&type);
        if (type == NODE_ELEMENT) {
            AppendStartTag(strOut, pNode.Get());
            ComPtr<IXMLDOMNode> pChild = FirstChild(pNode.Get());
            if (pChild) {
                strOut += ">";
                open.push_back(pNode);
                pNode = pChild;
                continue;
            }
            strOut += "/>";
        } else if (type == NODE_TEXT) {
            AppendEscaped(strOut, NodeValue(pNode.Get()), false);
        } else if (type == NODE_CDATA_SECTION) {
            strOut += "<![CDATA[" + NodeValue(pNode.Get()) + "]]>";
        }
        ComPtr<IXMLDOMNode> pNext = NextSibling(pNode.Get());
        while (!pNext && !open.empty()) {
            strOut += "</" + NodeName(open.back().Get()) + ">";
            pNext = NextSibling(open.back().Get());
            open.pop_back();
        }
        pNode = pNext;
    }
    return strOut;
}

bool StartsWith(const std::string& strText, size_t nPos, const char* szPrefix) {
    return strText.compare(nPos, std::strlen(szPrefix), szPrefix) == 0;
}

// The end of the construct that starts at nPos and ends with szEnd (past szEnd), or npos.
size_t EndOf(const std::string& strText, size_t nPos, const char* szEnd) {
    size_t nEnd = strText.find(szEnd, nPos);
    return nEnd == std::string::npos ? nEnd : nEnd + std::strlen(szEnd);
}

// The end of a document type declaration at nPos (past its ">"), internal subset included, or npos.
size_t EndOfDoctype(const std::string& strText, size_t nPos) {
    int nDepth = 0;
    for (size_t i = nPos + 2; i < strText.size(); ++i) {
        char c = strText[i];
        if (c == '"' || c == '\'') {
            i = strText.find(c, i + 1);
            if (i == std::string::npos)
                return i;
        } else if (StartsWith(strText, i, "<!--")) {
            i = strText.find("-->", i + 4);
            if (i == std::string::npos)
                return i;
            i += 2;
        } else if (c == '[') {
            ++nDepth;
        } else if (c == ']') {
            --nDepth;
        } else if (c == '>' && nDepth <= 0) {
            return i + 1;
        }
    }
    return std::string::npos;
}

bool IsXmlChar(unsigned long nCode) {
    return nCode == 0x9 || nCode == 0xA || nCode == 0xD || (nCode >= 0x20 && nCode <= 0xD7FF) ||
           (nCode >= 0xE000 && nCode <= 0xFFFD) || (nCode >= 0x10000 && nCode <= 0x10FFFF);
}

// The reference at nPos ("&...;") as MSXML is to read it: predefined entities and references to
// characters XML allows as they are, a reference to any other character as U+FFFD, and an "&" that
// begins no such reference as "&amp;". The Linux parser reads them that way.
std::string Reference(const std::string& strText, size_t nPos, size_t& nLength) {
    nLength = 1;
    for (const char* szEntity : {"&amp;", "&lt;", "&gt;", "&quot;", "&apos;"})
        if (StartsWith(strText, nPos, szEntity)) {
            nLength = std::strlen(szEntity);
            return szEntity;
        }
    bool bHex = StartsWith(strText, nPos, "&#x");
    size_t nDigits = nPos + (bHex ? 3 : 2);
    size_t nSemicolon = strText.find(';', nDigits);
    if (!StartsWith(strText, nPos, "&#") || nSemicolon == std::string::npos || nSemicolon == nDigits ||
        nSemicolon - nDigits > 8 ||
        strText.find_first_not_of(bHex ? "0123456789abcdefABCDEF" : "0123456789", nDigits) != nSemicolon)
        return "&amp;";
    nLength = nSemicolon + 1 - nPos;
    unsigned long nCode = std::stoul(strText.substr(nDigits, nSemicolon - nDigits), nullptr, bHex ? 16 : 10);
    return IsXmlChar(nCode) ? strText.substr(nPos, nLength) : "&#xFFFD;";
}

// Copies the construct at nPos that ends with szEnd unchanged, or the rest of the text when it has
// no end (MSXML then refuses it, as the Linux parser does).
size_t CopyThrough(const std::string& strText, size_t nPos, const char* szEnd, std::string& strOut) {
    size_t nEnd = EndOf(strText, nPos, szEnd);
    nEnd = nEnd == std::string::npos ? strText.size() : nEnd;
    strOut.append(strText, nPos, nEnd - nPos);
    return nEnd;
}

// The text as the Linux parser reads it, for MSXML, which is stricter: characters XML cannot hold
// become U+FFFD, the XML declaration and document type declarations go (no DTD is ever read), and
// references other than the predefined and numeric ones stay text instead of failing the parse.
std::string ForMsxml(const std::string& strRaw) {
    std::string strText = ToXmlSafeUtf8(strRaw);
    std::string strOut;
    strOut.reserve(strText.size());
    char cQuote = 0;
    bool bInTag = false;
    size_t nPos = 0;
    size_t nFirst = strText.find_first_not_of(" \t\r\n");
    if (nFirst != std::string::npos && StartsWith(strText, nFirst, "<?xml") &&
        EndOf(strText, nFirst, "?>") != std::string::npos)
        nPos = EndOf(strText, nFirst, "?>");
    while (nPos < strText.size()) {
        char c = strText[nPos];
        if (!bInTag && StartsWith(strText, nPos, "<!--")) {
            nPos = CopyThrough(strText, nPos, "-->", strOut);
        } else if (!bInTag && StartsWith(strText, nPos, "<![CDATA[")) {
            nPos = CopyThrough(strText, nPos, "]]>", strOut);
        } else if (!bInTag && StartsWith(strText, nPos, "<?")) {
            nPos = CopyThrough(strText, nPos, "?>", strOut);
        } else if (!bInTag && StartsWith(strText, nPos, "<!DOCTYPE") &&
                   EndOfDoctype(strText, nPos) != std::string::npos) {
            nPos = EndOfDoctype(strText, nPos);
        } else if (c == '&' && (!bInTag || cQuote != 0)) {
            size_t nLength;
            strOut += Reference(strText, nPos, nLength);
            nPos += nLength;
        } else {
            if (!bInTag && c == '<')
                bInTag = true;
            else if (bInTag && cQuote == 0 && (c == '"' || c == '\''))
                cQuote = c;
            else if (bInTag && c == cQuote)
                cQuote = 0;
            else if (bInTag && cQuote == 0 && c == '>')
                bInTag = false;
            strOut += c;
            ++nPos;
        }
    }
    return strOut;
}

} // namespace

CXmlDocument::CXmlDocument() : m_pImpl(new SXmlDocumentImpl) {
    EnterComOnThisThread();
    m_pImpl->pDocument = NewDocument();
}

CXmlDocument::~CXmlDocument() {
    delete m_pImpl;
}

bool CXmlDocument::LoadXML(const std::string& strText) {
    try {
        IXMLDOMDocument* pDocument = m_pImpl->pDocument.Get();
        if (pDocument == nullptr)
            return false;
        CBstr text(ForMsxml(strText));
        VARIANT_BOOL bLoaded = VARIANT_FALSE;
        if (SUCCEEDED(pDocument->loadXML(text.Get(), &bLoaded)) && bLoaded == VARIANT_TRUE)
            return true;
        for (ComPtr<IXMLDOMNode> pChild = FirstChild(pDocument); pChild; pChild = FirstChild(pDocument))
            if (FAILED(pDocument->removeChild(pChild.Get(), nullptr)))
                break;
        return false;
    } catch (...) {
        return false;
    }
}

XmlNode CXmlDocument::GetDocumentElement() const {
    ComPtr<IXMLDOMElement> pElement;
    if (m_pImpl->pDocument == nullptr ||
        m_pImpl->pDocument->get_documentElement(pElement.GetAddressOf()) != S_OK || !pElement)
        return nullptr;
    m_pImpl->handedOut.push_back(pElement);
    return reinterpret_cast<XmlNode>(m_pImpl->handedOut.back().Get());
}

std::string CXmlDocument::GetXml() const {
    try {
        return m_pImpl->pDocument == nullptr ? std::string() : Serialise(m_pImpl->pDocument.Get());
    } catch (...) {
        return std::string();
    }
}

std::string CXmlDocument::GetAttribute(XmlNode node, const std::string& strName,
                                       const std::string& strDefault) const {
    try {
        ComPtr<IXMLDOMElement> pElement = AsElement(node);
        SVariant value;
        CBstr name(strName);
        if (!pElement || pElement->getAttribute(name.Get(), &value.value) != S_OK ||
            value.value.vt != VT_BSTR)
            return strDefault;
        return ToXmlSafeUtf8(Win32::FromWide(value.value.bstrVal, ::SysStringLen(value.value.bstrVal)));
    } catch (...) {
        return strDefault;
    }
}

void CXmlDocument::SetAttribute(XmlNode node, const std::string& strName, const std::string& strValue) {
    try {
        ComPtr<IXMLDOMElement> pElement = AsElement(node);
        if (!pElement)
            return;
        CBstr name(strName);
        CBstr value(ToXmlSafeUtf8(strValue));
        VARIANT variant;
        ::VariantInit(&variant);
        variant.vt = VT_BSTR;
        variant.bstrVal = value.Get();
        pElement->setAttribute(name.Get(), variant);
    } catch (...) {
    }
}

XmlNode CXmlDocument::AddChildElement(XmlNode parent, const std::string& strName,
                                      const std::string& strText) {
    try {
        IXMLDOMDocument* pDocument = m_pImpl->pDocument.Get();
        ComPtr<IXMLDOMElement> pParent = AsElement(parent);
        CBstr name(strName);
        ComPtr<IXMLDOMElement> pChild;
        if (pDocument == nullptr || !pParent ||
            pDocument->createElement(name.Get(), pChild.GetAddressOf()) != S_OK)
            return nullptr;
        if (!strText.empty()) {
            CBstr text(ToXmlSafeUtf8(strText));
            ComPtr<IXMLDOMText> pText;
            if (pDocument->createTextNode(text.Get(), pText.GetAddressOf()) != S_OK ||
                FAILED(pChild->appendChild(pText.Get(), nullptr)))
                return nullptr;
        }
        ComPtr<IXMLDOMNode> pAdded;
        if (FAILED(pParent->appendChild(pChild.Get(), pAdded.GetAddressOf())) || !pAdded)
            return nullptr;
        m_pImpl->handedOut.push_back(pAdded);
        return reinterpret_cast<XmlNode>(pAdded.Get());
    } catch (...) {
        return nullptr;
    }
}

XmlNode CXmlDocument::SelectSingleNode(XmlNode node, const std::string& strName) const {
    std::vector<XmlNode> nodes;
    try {
        IXMLDOMNode* pStart = node != nullptr ? ToNode(node) : m_pImpl->pDocument.Get();
        if (pStart == nullptr)
            return nullptr;
        ForEachChildElement(pStart, strName, [&](const ComPtr<IXMLDOMNode>& pMatch) {
            m_pImpl->handedOut.push_back(pMatch);
            nodes.push_back(reinterpret_cast<XmlNode>(pMatch.Get()));
            return false;
        });
    } catch (...) {
        return nullptr;
    }
    return nodes.empty() ? nullptr : nodes.front();
}

std::vector<XmlNode> CXmlDocument::SelectNodes(XmlNode node, const std::string& strName) const {
    std::vector<XmlNode> nodes;
    try {
        IXMLDOMNode* pStart = node != nullptr ? ToNode(node) : m_pImpl->pDocument.Get();
        if (pStart == nullptr)
            return nodes;
        ForEachChildElement(pStart, strName, [&](const ComPtr<IXMLDOMNode>& pMatch) {
            m_pImpl->handedOut.push_back(pMatch);
            nodes.push_back(reinterpret_cast<XmlNode>(pMatch.Get()));
            return true;
        });
    } catch (...) {
        nodes.clear();
    }
    return nodes;
}
