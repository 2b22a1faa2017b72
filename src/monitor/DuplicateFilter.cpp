#include "monitor/DuplicateFilter.h"

#include "Include/StringUtil.h"

bool CDuplicateFilter::IsDuplicate(const std::string& strName, int64_t nNowMs) {
    bool bDuplicate =
        !m_strLastName.empty() && EqualsNoCase(strName, m_strLastName) && nNowMs - m_nLastTimeMs < kWindowMs;
    m_strLastName = strName;
    m_nLastTimeMs = nNowMs;
    return bDuplicate;
}
