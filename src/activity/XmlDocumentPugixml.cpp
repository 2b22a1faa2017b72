#include "activity/XmlDocument.h"

#include "Include/StringUtil.h"

#include <pugixml.hpp>

#include <sstream>

struct SXmlDocumentImpl {
    pugi::xml_document document;
};

namespace {

// Handles are pugixml's own node records, so a handle and a pugi::xml_node convert without lookup.
pugi::xml_node ToNode(XmlNode node) {
    return pugi::xml_node(reinterpret_cast<pugi::xml_node_struct*>(node));
}

XmlNode ToHandle(pugi::xml_node node) {
    return reinterpret_cast<XmlNode>(node.internal_object());
}

bool IsElement(pugi::xml_node node) {
    return node.type() == pugi::node_element;
}

// pugixml skips text before and after the markup without a word; XML allows only white space there.
bool IsMarkupOnly(const std::string& strText) {
    size_t nStart = strText.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    size_t nFirst = strText.find_first_not_of(" \t\r\n", nStart);
    size_t nLast = strText.find_last_not_of(" \t\r\n");
    return nFirst != std::string::npos && strText[nFirst] == '<' && strText[nLast] == '>';
}

// pugixml takes a second root element or text beside the root; XML, and MSXML, take neither.
bool IsOneDocument(const pugi::xml_document& document) {
    int nElements = 0;
    for (pugi::xml_node child : document.children()) {
        if (IsElement(child))
            ++nElements;
        else if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata)
            return false;
    }
    return nElements == 1;
}

} // namespace

CXmlDocument::CXmlDocument() : m_pImpl(new SXmlDocumentImpl) {}

CXmlDocument::~CXmlDocument() {
    delete m_pImpl;
}

bool CXmlDocument::LoadXML(const std::string& strText) {
    // parse_default leaves DOCTYPE declarations out and never resolves external entities.
    pugi::xml_parse_result result = m_pImpl->document.load_buffer(strText.data(), strText.size(),
                                                                  pugi::parse_default, pugi::encoding_utf8);
    if (result && IsMarkupOnly(strText) && IsOneDocument(m_pImpl->document))
        return true;
    m_pImpl->document.reset();
    return false;
}

XmlNode CXmlDocument::GetDocumentElement() const {
    return ToHandle(m_pImpl->document.document_element());
}

std::string CXmlDocument::GetXml() const {
    std::ostringstream stream;
    m_pImpl->document.save(stream, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);
    return stream.str();
}

std::string CXmlDocument::GetAttribute(XmlNode node, const std::string& strName,
                                       const std::string& strDefault) const {
    pugi::xml_attribute attribute = ToNode(node).attribute(strName.c_str());
    return attribute ? ToXmlSafeUtf8(attribute.value()) : strDefault;
}

void CXmlDocument::SetAttribute(XmlNode node, const std::string& strName, const std::string& strValue) {
    pugi::xml_node element = ToNode(node);
    if (!IsElement(element))
        return;
    pugi::xml_attribute attribute = element.attribute(strName.c_str());
    if (!attribute)
        attribute = element.append_attribute(strName.c_str());
    attribute.set_value(ToXmlSafeUtf8(strValue).c_str());
}

XmlNode CXmlDocument::AddChildElement(XmlNode parent, const std::string& strName,
                                      const std::string& strText) {
    pugi::xml_node parentNode = ToNode(parent);
    if (!IsElement(parentNode))
        return nullptr;
    pugi::xml_node child = parentNode.append_child(strName.c_str());
    if (!child)
        return nullptr;
    if (!strText.empty() && !child.text().set(ToXmlSafeUtf8(strText).c_str())) {
        parentNode.remove_child(child);
        return nullptr;
    }
    return ToHandle(child);
}

XmlNode CXmlDocument::SelectSingleNode(XmlNode node, const std::string& strName) const {
    pugi::xml_node start = node != nullptr ? ToNode(node) : pugi::xml_node(m_pImpl->document);
    return ToHandle(start.child(strName.c_str()));
}

std::vector<XmlNode> CXmlDocument::SelectNodes(XmlNode node, const std::string& strName) const {
    pugi::xml_node start = node != nullptr ? ToNode(node) : pugi::xml_node(m_pImpl->document);
    std::vector<XmlNode> nodes;
    for (pugi::xml_node child : start.children(strName.c_str()))
        nodes.push_back(ToHandle(child));
    return nodes;
}
