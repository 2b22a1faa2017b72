#pragma once

#include "activity/Activity.h"

#include <string>
#include <vector>

// Turns activities into their XML form and back. Holds no data; safe to use on any thread.
class CKlendoActivityParser {
  public:
    virtual ~CKlendoActivityParser() = default;

    // The "activity" element of one activity as text, or "" on failure.
    std::string BuildActivityXML(const CActivity& activity);

    // Deletes what the list holds, then fills it with the "activity" children of the text's root
    // element, in document order. The number of activities in the list, or -1 when the text is not
    // XML or holds no activity; after a caught failure the activities read so far stay in the list.
    int ParseActivityFromString(const std::string& strXml, CActivityList& list);
};

// The records of an archive text, in order: each begins with an "activity" start tag, and the text
// before the first one, unless blank, is a record of its own. The agent never nests activities and its
// serialiser escapes every "<" inside a value, so in the text it writes each such tag begins a record;
// in a damaged text a record holds whatever lies up to the next one.
std::vector<std::string> SplitActivityRecords(const std::string& strText);

// A new activity id: a GUID as 36 lower-case characters; "" when the system could not make one and
// "NULL" after a caught failure.
std::string CreateGuidString();
