#pragma once

#include <string>

// True when strText is one well-formed XML 1.0 document in UTF-8, judged by expat: every byte valid
// UTF-8, every character and character reference one that XML 1.0 allows, one root element and
// nothing but comments, processing instructions and white space around it. Safe on any thread.
bool IsStrictlyWellFormedXml(const std::string& strText);
