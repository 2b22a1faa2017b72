#pragma once

namespace Platform {

// The kernel's id of the calling thread (what the log prints in front of every line).
int GetThreadId();

// The calling thread's last system error code (errno on Linux), in decimal as the log prints it.
int GetLastError();
void SetLastError(int nError);

// The system error of a post to a queue that was closed (a completion port's invalid handle).
int ClosedQueueError();

} // namespace Platform
