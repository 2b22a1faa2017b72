#pragma once

#include "config/HotFolderInfo.h"

#include <cstdint>
#include <memory>
#include <string>

class CTicketLedger;
class CWriteWait;

// One unit of work: the hot folder's settings, the changed file's name relative to the hot folder
// (folder names separated by the platform separator) and the change's action code (1 added,
// 2 removed, 3 modified, 4 old name, 5 new name of a rename). Owned by the pool while queued, then
// by the request thread that processes it.
struct CFileRequest : CHotFolderInfo {
    std::string filename;
    uint32_t action = 0;
    // How often the file was kept after a failure and tried again.
    int nRetries = 0;
    // A ticket folder's record of the ticket versions it has processed; null for other folders.
    std::shared_ptr<CTicketLedger> pTicketLedger;
    // The write-complete wait in progress while the request waits in the pool for its file's writer;
    // null when no wait has begun.
    std::shared_ptr<CWriteWait> pWriteWait;
};
