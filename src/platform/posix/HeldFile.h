#pragma once

#include "platform/FileAccess.h"

namespace Platform {

// The Linux implementations' way to the descriptor of the file a CFileBeneath holds (-1 when none).
struct CHeldFileAccess {
    static int Handle(const CFileBeneath& file);
};

} // namespace Platform
