// The child that ProcessLauncherWindowsTest starts: one mode per behaviour a parse worker may show.
#include "platform/FileSystem.h"
#include "platform/ProcessLauncher.h"
#include "platform/ResourceLimits.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

namespace {

void Say(const std::string& strLine) {
    std::printf("%s\n", strLine.c_str());
    std::fflush(stdout);
}

// Lines are echoed back as "got <line>"; at the end of input a last unterminated text, exit code 3.
int Echo() {
    std::string strLine;
    while (std::getline(std::cin, strLine))
        Say("got " + strLine);
    std::printf("unterminated");
    std::fflush(stdout);
    return 3;
}

int Long() {
    Say(std::string(5000, ' '));
    std::string strGo;
    std::getline(std::cin, strGo);
    Say("tail");
    Say("next");
    return 0;
}

int SayIdAndHang() {
    Say(std::to_string(::GetCurrentProcessId()));
    ::Sleep(INFINITE);
    return 0;
}

int Hang() {
    Say("started");
    ::Sleep(INFINITE);
    return 0;
}

// Starts a copy of itself that hangs holding the output too, says its process id, then hangs.
int SpawnAndHang(const char* szSelf) {
    std::string strCommand = std::string("\"") + szSelf + "\" hang";
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION started{};
    if (!::CreateProcessA(szSelf, &strCommand[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                          &started))
        return 1;
    Say(std::to_string(started.dwProcessId));
    ::Sleep(INFINITE);
    return 0;
}

int Crash() {
    Say("crashing");
    ::RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    return 0;
}

int Spin() {
    std::string strGo;
    std::getline(std::cin, strGo);
    for (volatile unsigned long long n = 0;; n = n + 1) {
    }
}

// For each line, the file sent along it: whether one came, and its first line, read as a parser
// reads it (Platform::OpenReadStream on the path given).
int ReadFiles() {
    Platform::CParentInput input;
    std::string strLine;
    std::string strPath;
    while (input.ReadLine(strLine, strPath)) {
        std::string strFirst = "<none>";
        if (!strPath.empty()) {
            std::FILE* pStream = Platform::OpenReadStream(strPath);
            char buffer[256] = {};
            if (pStream != nullptr && std::fgets(buffer, sizeof(buffer), pStream) != nullptr)
                strFirst = std::string(buffer).substr(0, std::string(buffer).find('\n'));
            if (pStream != nullptr)
                std::fclose(pStream);
        }
        Say(strLine + ": " + strFirst);
    }
    return 0;
}

// Whether the handle value given names the file the parent opened: it must not have been inherited.
int CheckHandle(const char* szValue) {
    HANDLE hFile = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(std::strtoull(szValue, nullptr, 10)));
    wchar_t szPath[1024];
    DWORD nLength = ::GetFinalPathNameByHandleW(hFile, szPath, 1024, FILE_NAME_NORMALIZED);
    bool bInherited = nLength > 0 && nLength < 1024 && std::wcsstr(szPath, L"open-in-the-agent") != nullptr;
    Say(bInherited ? "inherited" : "clean");
    return 0;
}

// Starts a hanging child of its own through the launcher, says both process ids, then hangs.
int LaunchAndHang(const char* szSelf) {
    auto pChild = Platform::SystemProcessLauncher().Start(szSelf, {"say-id-and-hang"}, {}, false);
    std::string strLine;
    if (!pChild || pChild->ReadLine(strLine, std::chrono::steady_clock::now() + std::chrono::seconds(120)) !=
                       Platform::IChildProcess::ReadResult::Line)
        return 1;
    Say(std::to_string(::GetCurrentProcessId()) + " " + strLine);
    ::Sleep(INFINITE);
    return 0;
}

// Limits itself as the parser run by hand does, then says what its job holds it to and whether a
// commit beyond the memory limit was refused.
int LimitSelf() {
    if (!Platform::LimitProcessResources(64ull << 20, 5, 8ull << 20)) {
        Say("failed " + std::to_string(::GetLastError()));
        return 1;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION info{};
    if (!::QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &info, sizeof(info),
                                     nullptr)) {
        Say("no job " + std::to_string(::GetLastError()));
        return 1;
    }
    void* pLarge = ::VirtualAlloc(nullptr, 256ull << 20, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    Say("memory " + std::to_string(info.ProcessMemoryLimit) + " seconds " +
        std::to_string(info.BasicLimitInformation.PerProcessUserTimeLimit.QuadPart / 10000000) +
        (pLarge == nullptr ? " refused" : " granted"));
    return 0;
}

} // namespace

int main(int nArgs, char** ppArgs) {
    std::string strMode = nArgs > 1 ? ppArgs[1] : "";
    // Each argument after the mode on a line of its own, between brackets.
    if (strMode == "args") {
        for (int nArg = 2; nArg < nArgs; ++nArg)
            Say("[" + std::string(ppArgs[nArg]) + "]");
        return 0;
    }
    if (strMode == "echo")
        return Echo();
    if (strMode == "long")
        return Long();
    if (strMode == "hang")
        return Hang();
    if (strMode == "spawn-and-hang")
        return SpawnAndHang(ppArgs[0]);
    if (strMode == "say-id-and-hang")
        return SayIdAndHang();
    if (strMode == "launch-and-hang")
        return LaunchAndHang(ppArgs[0]);
    if (strMode == "limit-self")
        return LimitSelf();
    if (strMode == "crash")
        return Crash();
    if (strMode == "spin")
        return Spin();
    if (strMode == "files")
        return ReadFiles();
    if (strMode == "check-handle" && nArgs > 2)
        return CheckHandle(ppArgs[2]);
    return 2;
}
