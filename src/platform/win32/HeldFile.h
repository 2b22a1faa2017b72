#pragma once

#include "platform/FileAccess.h"

#include <windows.h>

namespace Platform {

// The Windows implementations' way to the handle of the file a CFileBeneath holds
// (INVALID_HANDLE_VALUE when none).
struct CHeldFileAccess {
    static HANDLE Handle(const CFileBeneath& file);
};

} // namespace Platform
