#pragma once

#include "platform/ChangeWatcher.h"

#include <cstddef>

// Seams of the inotify watcher for its own tests, not reachable from the settings.
namespace Platform::Posix {

// The number of changes waiting for this watcher's thread beyond which they are dropped and an
// overflow is reported instead. watcher must come from SystemChangeWatchers().
void SetPendingChangeLimitForTest(IChangeWatcher& watcher, size_t nLimit);

// With bHold the reader thread stops reading the kernel's queue (returning once it has stopped), so
// that changes pile up there until the kernel reports an overflow; without, it reads again. False
// when no queue runs.
bool HoldChangeReadingForTest(bool bHold);

} // namespace Platform::Posix
