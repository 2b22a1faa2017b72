#include "platform/win32/ReceivedFile.h"

#include <mutex>

namespace Win32 {

namespace {

struct SReceivedFile {
    std::mutex mutex;
    std::string strPath;
    HANDLE hFile = INVALID_HANDLE_VALUE;
};

SReceivedFile& Received() {
    static SReceivedFile s_received;
    return s_received;
}

} // namespace

void SetReceivedFile(const std::string& strPath, HANDLE hFile) {
    std::lock_guard<std::mutex> lock(Received().mutex);
    Received().strPath = strPath;
    Received().hFile = hFile;
}

void ForgetReceivedFile() {
    SetReceivedFile(std::string(), INVALID_HANDLE_VALUE);
}

bool ReopenReceivedFile(const std::string& strPath, HANDLE& hFile) {
    std::lock_guard<std::mutex> lock(Received().mutex);
    if (strPath.empty() || strPath != Received().strPath || Received().hFile == INVALID_HANDLE_VALUE)
        return false;
    // The same open file, not a new open of its name (ReOpenFile under Wine opens the name again). It
    // shares its position with the parent's handle, which reads at explicit offsets, and a worker
    // reads one file at a time.
    if (!::DuplicateHandle(::GetCurrentProcess(), Received().hFile, ::GetCurrentProcess(), &hFile, 0, FALSE,
                           DUPLICATE_SAME_ACCESS))
        hFile = INVALID_HANDLE_VALUE;
    return true;
}

} // namespace Win32
