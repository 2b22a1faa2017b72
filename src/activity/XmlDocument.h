#pragma once

#include <string>
#include <vector>

// A node of a CXmlDocument. A plain handle: valid while its document lives, owns nothing, and null
// stands for "no node".
struct SXmlNode;
using XmlNode = SXmlNode*;

struct SXmlDocumentImpl;

// The DOM document that activities are built in and the server's reply is read from. One object per
// build, parse or reply, used by one thread. No operation throws or fetches anything: DTDs are
// skipped and only the predefined and numeric entities are expanded, so hostile text cannot pull in
// files or blow up in size. Texts written by SetAttribute and AddChildElement are taken as UTF-8 and
// stored as XML 1.0 can hold them (ToXmlSafeUtf8), so the serialised document is well-formed whatever
// a file name, a user name or an archived text holds. GetAttribute gives values in that same form, so
// a value read and written again goes out as it was read (an archived id is acknowledged as sent).
class CXmlDocument {
  public:
    CXmlDocument();
    virtual ~CXmlDocument();
    CXmlDocument(const CXmlDocument&) = delete;
    CXmlDocument& operator=(const CXmlDocument&) = delete;

    // Replaces the content with the parsed text. False when the text is not well-formed XML; the
    // document is then left without any node.
    bool LoadXML(const std::string& strText);

    // The root element, or null when the document has none.
    XmlNode GetDocumentElement() const;

    // The whole document as text, without declaration and without added whitespace.
    std::string GetXml() const;

    // The attribute's value; strDefault when the node is null or has no such attribute. An attribute
    // that exists with an empty value gives "".
    std::string GetAttribute(XmlNode node, const std::string& strName, const std::string& strDefault) const;

    // Sets (or adds, after the existing ones) an attribute of an element. Does nothing on a null node.
    void SetAttribute(XmlNode node, const std::string& strName, const std::string& strValue);

    // Appends a new element with the given text to parent; the new node, or null on failure.
    XmlNode AddChildElement(XmlNode parent, const std::string& strName, const std::string& strText);

    // The first child element of that name of node (of the document when node is null), or null.
    XmlNode SelectSingleNode(XmlNode node, const std::string& strName) const;

    // Every child element of that name of node (of the document when node is null), in order.
    std::vector<XmlNode> SelectNodes(XmlNode node, const std::string& strName) const;

  private:
    SXmlDocumentImpl* m_pImpl;
};
