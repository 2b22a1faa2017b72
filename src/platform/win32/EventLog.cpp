#include "platform/EventLog.h"

#include "platform/win32/WideText.h"

#include <windows.h>

#include <cstdio>

// Events go to the Application log under the source's name. The console is standard output, and
// a message the user must see is a line on standard error and, where someone can see one, a
// message box. Each line is flushed at once so that a reader of a pipe sees it.

namespace Platform {

namespace {

const wchar_t* const kMessageCaption = L"KlendoHotFolderAgent";

// A box needs a visible window station: a service's has none, and a box there would wait for a
// click nobody can give. Without a display (a headless machine) no window can be made, and the box
// would fail only after a long wait; a hidden window made and destroyed at once finds that out.
bool HasVisibleDesktop() {
    USEROBJECTFLAGS flags = {};
    HWINSTA hStation = ::GetProcessWindowStation();
    if (hStation == nullptr ||
        !::GetUserObjectInformationW(hStation, UOI_FLAGS, &flags, sizeof(flags), nullptr) ||
        (flags.dwFlags & WSF_VISIBLE) == 0)
        return false;
    HWND hProbe =
        ::CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    if (hProbe == nullptr)
        return false;
    ::DestroyWindow(hProbe);
    return true;
}

// A console shows bytes in its own code page, not UTF-8: a line for a console goes to it as UTF-16.
// Pipes and files get the UTF-8 bytes.
void WriteLine(FILE* pStream, DWORD nStandardHandle, const std::string& strLine) {
    std::fflush(pStream);
    HANDLE hOutput = ::GetStdHandle(nStandardHandle);
    DWORD nMode = 0;
    if (hOutput != nullptr && hOutput != INVALID_HANDLE_VALUE && ::GetConsoleMode(hOutput, &nMode)) {
        std::wstring wstrLine = Win32::ToWide(strLine) + L"\r\n";
        DWORD nWritten = 0;
        if (::WriteConsoleW(hOutput, wstrLine.data(), static_cast<DWORD>(wstrLine.size()), &nWritten,
                            nullptr))
            return;
    }
    std::fprintf(pStream, "%s\n", strLine.c_str());
    std::fflush(pStream);
}

} // namespace

void CSystemEventLog::WriteEvent(const std::string& strSource, const std::string& strMessage) {
    std::wstring wstrSource = Win32::ToWide(strSource);
    HANDLE hSource = ::RegisterEventSourceW(nullptr, wstrSource.c_str());
    if (hSource == nullptr)
        return;
    std::wstring wstrMessage = Win32::ToWide(strMessage);
    LPCWSTR apStrings[] = {wstrMessage.c_str()};
    (void)::ReportEventW(hSource, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0, apStrings, nullptr);
    ::DeregisterEventSource(hSource);
}

void CSystemEventLog::PrintLine(const std::string& strLine) {
    WriteLine(stdout, STD_OUTPUT_HANDLE, strLine);
}

void CSystemEventLog::ShowMessage(const std::string& strText) {
    WriteLine(stderr, STD_ERROR_HANDLE, strText);
    if (HasVisibleDesktop())
        (void)::MessageBoxW(nullptr, Win32::ToWide(strText).c_str(), kMessageCaption, MB_OK);
}

} // namespace Platform
