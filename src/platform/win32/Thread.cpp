#include "platform/Thread.h"

#include <windows.h>

#include <process.h>

#include <memory>

namespace Platform {

namespace {

unsigned __stdcall RunDetachedTask(void* pTask) {
    std::unique_ptr<std::function<void()>> task(static_cast<std::function<void()>*>(pTask));
    (*task)();
    return 0;
}

} // namespace

// Not std::thread's detach: with winpthreads, a detach of a thread that had just ended was seen never
// to return under load (1 run in 30 of the pool's retry test under Wine), which stalls the pool's dispatcher.
bool StartDetachedThread(std::function<void()> task) {
    auto pTask = std::make_unique<std::function<void()>>(std::move(task));
    // The C runtime's own thread start, so that the runtime's per-thread data is set up and freed.
    uintptr_t nThread = ::_beginthreadex(nullptr, 0, RunDetachedTask, pTask.get(), 0, nullptr);
    if (nThread == 0)
        return false;
    pTask.release();
    ::CloseHandle(reinterpret_cast<HANDLE>(nThread));
    return true;
}

int GetThreadId() {
    return static_cast<int>(::GetCurrentThreadId());
}

int GetLastError() {
    return static_cast<int>(::GetLastError());
}

void SetLastError(int nError) {
    ::SetLastError(static_cast<DWORD>(nError));
}

int ClosedQueueError() {
    return ERROR_INVALID_HANDLE;
}

} // namespace Platform
