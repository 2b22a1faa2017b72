#include "printparser/FormatReaders.h"

#include "Include/LogFile.h"
#include "printparser/ZipArchive.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

// XPS lengths are in 1/96 inch.
constexpr double kUnitsPerInch = 96.0;
constexpr size_t kMaxDocuments = 10000;

using Attributes = std::map<std::string, std::string>;

std::string LocalName(const std::string& strName) {
    size_t nColon = strName.rfind(':');
    return nColon == std::string::npos ? strName : strName.substr(nColon + 1);
}

std::string DecodeEntities(const std::string& strText) {
    static const std::pair<const char*, char> kEntities[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    std::string strOut;
    for (size_t i = 0; i < strText.size(); ++i) {
        bool bReplaced = false;
        for (const auto& entity : kEntities) {
            size_t nLength = std::strlen(entity.first);
            if (strText.compare(i, nLength, entity.first) == 0) {
                strOut.push_back(entity.second);
                i += nLength - 1;
                bReplaced = true;
                break;
            }
        }
        if (!bReplaced)
            strOut.push_back(strText[i]);
    }
    return strOut;
}

// Calls onElement with the attributes of every start tag named strLocalName (any prefix) in
// document order, until it returns false. Comments, processing instructions and declarations
// are skipped. A small scanner rather than a DOM: it keeps nothing but one tag's attributes.
void ForEachElement(const std::string& strXml, const char* szLocalName,
                    const std::function<bool(const Attributes&)>& onElement) {
    size_t nAt = 0;
    while ((nAt = strXml.find('<', nAt)) != std::string::npos) {
        if (strXml.compare(nAt, 4, "<!--") == 0) {
            size_t nEnd = strXml.find("-->", nAt + 4);
            nAt = nEnd == std::string::npos ? strXml.size() : nEnd + 3;
            continue;
        }
        size_t nEnd = strXml.find('>', nAt);
        if (nEnd == std::string::npos)
            return;
        std::string strTag = strXml.substr(nAt + 1, nEnd - nAt - 1);
        nAt = nEnd + 1;
        size_t nNameEnd = strTag.find_first_of(" \t\r\n/");
        if (LocalName(strTag.substr(0, nNameEnd)) != szLocalName)
            continue;
        Attributes attributes;
        for (size_t nPos = nNameEnd; nPos < strTag.size();) {
            size_t nEqual = strTag.find('=', nPos);
            size_t nQuote = strTag.find_first_of("\"'", nEqual == std::string::npos ? nEqual : nEqual + 1);
            if (nEqual == std::string::npos || nQuote == std::string::npos)
                break;
            size_t nClose = strTag.find(strTag[nQuote], nQuote + 1);
            if (nClose == std::string::npos)
                break;
            size_t nKeyStart = strTag.find_first_not_of(" \t\r\n", nPos);
            std::string strKey = strTag.substr(nKeyStart, nEqual - nKeyStart);
            strKey = strKey.substr(0, strKey.find_first_of(" \t\r\n"));
            attributes[LocalName(strKey)] = DecodeEntities(strTag.substr(nQuote + 1, nClose - nQuote - 1));
            nPos = nClose + 1;
        }
        if (!onElement(attributes))
            return;
    }
}

std::string Attribute(const Attributes& attributes, const char* szName) {
    auto it = attributes.find(szName);
    return it == attributes.end() ? std::string() : it->second;
}

// A part name from a reference inside strFromPart: absolute ("/Documents/1/FixedDoc.fdoc") or
// relative to strFromPart's folder, with "." and ".." resolved and %XX decoded, without the
// leading '/' as zip entries store it.
std::string ResolvePartName(const std::string& strFromPart, const std::string& strReference) {
    std::string strPath = strReference;
    if (strPath.empty() || strPath[0] != '/') {
        size_t nSlash = strFromPart.rfind('/');
        strPath = (nSlash == std::string::npos ? std::string() : strFromPart.substr(0, nSlash + 1)) + strPath;
    }
    std::vector<std::string> parts;
    size_t nStart = 0;
    while (nStart <= strPath.size()) {
        size_t nSlash = strPath.find('/', nStart);
        std::string strPart =
            strPath.substr(nStart, nSlash == std::string::npos ? std::string::npos : nSlash - nStart);
        if (strPart == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!strPart.empty() && strPart != ".") {
            parts.push_back(strPart);
        }
        if (nSlash == std::string::npos)
            break;
        nStart = nSlash + 1;
    }
    std::string strName;
    for (const std::string& strPart : parts)
        strName += (strName.empty() ? "" : "/") + strPart;
    std::string strDecoded;
    for (size_t i = 0; i < strName.size(); ++i) {
        if (strName[i] == '%' && i + 2 < strName.size() &&
            std::isxdigit(static_cast<unsigned char>(strName[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(strName[i + 2]))) {
            strDecoded.push_back(
                static_cast<char>(std::strtol(strName.substr(i + 1, 2).c_str(), nullptr, 16)));
            i += 2;
        } else {
            strDecoded.push_back(strName[i]);
        }
    }
    return strDecoded;
}

class CXpsReader {
  public:
    CXpsReader(CByteSource& source, CParseSink& sink) : m_zip(source), m_sink(sink) {}

    void Run();

  private:
    std::string FindSequence();
    void ReadDocument(const std::string& strDocument);
    void ReadFirstPage(const std::string& strPage, const Attributes& pageContent);

    CZipArchive m_zip;
    CParseSink& m_sink;
};

std::string CXpsReader::FindSequence() {
    std::string strRels;
    std::string strSequence;
    if (m_zip.ReadPart("_rels/.rels", strRels)) {
        ForEachElement(strRels, "Relationship", [&](const Attributes& attributes) {
            std::string strType = Attribute(attributes, "Type");
            const char* szEnd = "/fixedrepresentation";
            size_t nEndLength = std::strlen(szEnd);
            if (strType.size() < nEndLength ||
                strType.compare(strType.size() - nEndLength, nEndLength, szEnd) != 0)
                return true;
            strSequence = ResolvePartName("", Attribute(attributes, "Target"));
            return false;
        });
    }
    return strSequence.empty() ? m_zip.FindEntryEndingWith(".fdseq") : strSequence;
}

void CXpsReader::ReadFirstPage(const std::string& strPage, const Attributes& pageContent) {
    std::string strXml;
    double dWidth = 0.0, dHeight = 0.0;
    if (m_zip.ReadPart(strPage, strXml)) {
        ForEachElement(strXml, "FixedPage", [&](const Attributes& attributes) {
            dWidth = std::strtod(Attribute(attributes, "Width").c_str(), nullptr);
            dHeight = std::strtod(Attribute(attributes, "Height").c_str(), nullptr);
            return false;
        });
    }
    if (dWidth <= 0.0 || dHeight <= 0.0) {
        // The document's hint of the page size, when the page itself cannot be read.
        dWidth = std::strtod(Attribute(pageContent, "Width").c_str(), nullptr);
        dHeight = std::strtod(Attribute(pageContent, "Height").c_str(), nullptr);
    }
    m_sink.SetFirstPageSize(dWidth / kUnitsPerInch, dHeight / kUnitsPerInch);
}

void CXpsReader::ReadDocument(const std::string& strDocument) {
    std::string strXml;
    if (!m_zip.ReadPart(strDocument, strXml)) {
        LogTrace("--W: XPS document \"%s\" cannot be read", strDocument.c_str());
        return;
    }
    ForEachElement(strXml, "PageContent", [&](const Attributes& attributes) {
        if (m_sink.PageCount() == 0)
            ReadFirstPage(ResolvePartName(strDocument, Attribute(attributes, "Source")), attributes);
        m_sink.AddPages(1);
        return true;
    });
}

void CXpsReader::Run() {
    if (!m_zip.Open())
        return;
    std::string strSequence = FindSequence();
    std::string strXml;
    if (strSequence.empty() || !m_zip.ReadPart(strSequence, strXml))
        return; // a zip archive, but no XPS document
    m_sink.SetFormat(kFormatXps);
    size_t nDocuments = 0;
    ForEachElement(strXml, "DocumentReference", [&](const Attributes& attributes) {
        ReadDocument(ResolvePartName(strSequence, Attribute(attributes, "Source")));
        return ++nDocuments < kMaxDocuments;
    });
}

} // namespace

void ReadXps(CByteSource& source, CParseSink& sink) {
    CXpsReader reader(source, sink);
    reader.Run();
}
