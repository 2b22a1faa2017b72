#include "platform/Guid.h"

#include <uuid/uuid.h>

namespace Platform {

bool CreateGuid(std::string& strGuid) {
    uuid_t uuid;
    uuid_generate(uuid);
    char szText[37];
    uuid_unparse_lower(uuid, szText);
    strGuid.assign(szText, 36);
    return true;
}

} // namespace Platform
