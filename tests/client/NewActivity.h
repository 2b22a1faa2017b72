#pragma once

#include "activity/Activity.h"

#include <string>

// A print activity with the id and document name given, for the lists the client posts; the list
// takes it over.
inline CActivity* NewActivity(const std::string& strId, const std::string& strName) {
    auto pActivity = new CActivity;
    pActivity->m_strId = strId;
    pActivity->m_strType = "Print";
    pActivity->m_document.m_strName = strName;
    return pActivity;
}
