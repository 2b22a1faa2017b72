#pragma once

#include <string>
#include <vector>

// One custom field of an activity's billing part.
class CCustomField {
  public:
    std::string m_strName;
    std::string m_strId;
    std::string m_strValue;
    std::string m_strKey;
};

// The document part of an activity: what was printed, by whom, when and where.
class CActivityDocument {
  public:
    std::string m_strName;
    std::string m_strUserName;
    std::string m_strDateTime;
    float m_fWidth = 0.0f;
    float m_fLength = 0.0f;
    int m_nCopies = 1;
    int m_nPages = 1;
    int m_nColorSheets = 0;
    bool m_bColor = false;
    std::string m_strDevice;
    std::string m_strPageSizeRef;
    std::string m_strMachineName;
    double m_dClrC = 0.0;
    double m_dClrM = 0.0;
    double m_dClrY = 0.0;
    double m_dClrK = 0.0;
};

// The billing part, carried through the XML unchanged. Owns the custom fields it points to.
class CActivityBilling {
  public:
    CActivityBilling() = default;
    ~CActivityBilling();
    CActivityBilling(const CActivityBilling&) = delete;
    CActivityBilling& operator=(const CActivityBilling&) = delete;

    std::string m_strProjectNumber;
    std::string m_strPhaseNumber;
    std::string m_strBillCodeName;
    std::string m_strNotes;
    std::string m_strMediaName;
    std::string m_strUnlistedProjectNum;
    std::string m_strUnlistedPhaseNum;
    // Fields in document order, each owned by this object and deleted with it.
    std::vector<CCustomField*> m_customFields;
};

// One job as reported to the accounting server. Used by one thread at a time.
class CActivity {
  public:
    std::string m_strDevSerial;
    std::string m_strJobId;
    std::string m_strId;
    std::string m_strType;
    std::string m_strStatus;
    std::string m_strSource;
    int m_nFlags = 0;
    CActivityDocument m_document;
    CActivityBilling m_billing;
};

// The activities of one post, in order. An activity handed to Add belongs to the list from then on,
// unless RemoveAt takes it out again: Clear and the destructor delete every activity still held.
class CActivityList {
  public:
    CActivityList() = default;
    ~CActivityList();
    CActivityList(const CActivityList&) = delete;
    CActivityList& operator=(const CActivityList&) = delete;

    // Appends and returns the new entry's index.
    int Add(CActivity* pActivity);
    // Takes one entry out without deleting it; the caller owns it again. Out-of-range indexes are ignored.
    void RemoveAt(int nIndex);
    int GetCount() const;
    // The entry at nIndex (still owned by the list), or null when out of range.
    CActivity* GetAt(int nIndex) const;
    void Clear();

  private:
    std::vector<CActivity*> m_activities;
};
