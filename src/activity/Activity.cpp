#include "activity/Activity.h"

CActivityBilling::~CActivityBilling() {
    for (CCustomField* pField : m_customFields)
        delete pField;
}

CActivityList::~CActivityList() {
    Clear();
}

int CActivityList::Add(CActivity* pActivity) {
    m_activities.push_back(pActivity);
    return static_cast<int>(m_activities.size()) - 1;
}

void CActivityList::RemoveAt(int nIndex) {
    if (nIndex >= 0 && nIndex < GetCount())
        m_activities.erase(m_activities.begin() + nIndex);
}

int CActivityList::GetCount() const {
    return static_cast<int>(m_activities.size());
}

CActivity* CActivityList::GetAt(int nIndex) const {
    if (nIndex < 0 || nIndex >= GetCount())
        return nullptr;
    return m_activities[static_cast<size_t>(nIndex)];
}

void CActivityList::Clear() {
    for (CActivity* pActivity : m_activities)
        delete pActivity;
    m_activities.clear();
}
