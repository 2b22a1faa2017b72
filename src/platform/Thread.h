#pragma once

// How every platform call tells of a failure: its result alone says that it failed (false, -1, an
// empty string, a null pointer, an enum value), and the native error number (errno on Linux, the
// system error code on Windows) is left in GetLastError() by the platform itself, once, where the
// system call failed; a failure of the platform's own checks sets the closest native number. Only
// results that gather several failures at once (a watch failure list, a probe's refused lease)
// hold each native number in a field named nError. A text for the user may come besides, never
// instead. Callers read GetLastError() right after the failed call.

#include <functional>

namespace Platform {

// Runs task on a new thread that nobody waits for; what the thread holds goes back to the system when
// it ends. False, with the system error in GetLastError(), when no thread could be started; task has
// then not run.
bool StartDetachedThread(std::function<void()> task);

// The kernel's id of the calling thread (what the log prints in front of every line).
int GetThreadId();

// The calling thread's last system error code (errno on Linux), in decimal as the log prints it.
int GetLastError();
void SetLastError(int nError);

// The system error of a post to a queue that was closed (a completion port's invalid handle).
int ClosedQueueError();

} // namespace Platform
