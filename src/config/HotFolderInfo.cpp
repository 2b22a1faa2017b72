#include "config/HotFolderInfo.h"

#include "Include/StringUtil.h"

bool CHotFolderInfo::IsTicketFolder() const {
    return EqualsNoCase(type, "ULS");
}
