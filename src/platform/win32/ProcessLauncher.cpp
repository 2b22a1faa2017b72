#include "platform/ProcessLauncher.h"

#include "platform/FileAccess.h"
#include "platform/win32/HeldFile.h"
#include "platform/win32/ReceivedFile.h"
#include "platform/win32/UniqueHandle.h"
#include "platform/win32/WideText.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>

// Children run in a job object of their own: its limits bind before the child's first instruction
// (the child starts suspended and resumes inside the job), whatever it starts joins the job, closing
// the job's handle (the agent's end included) kills them all, and an unhandled exception ends a
// child at once instead of showing a dialog. The child has no console (Ctrl-C of the agent's console
// never reaches it) and inherits exactly its three standard handles.
//
// The parent reads the child's output through a named pipe opened for overlapped I/O, so that a
// read waits on an event with the deadline and can be cancelled: no thread per child, and nothing
// left reading after the child is gone. The child writes into it as into any pipe.
namespace Platform {

namespace {

// The exit code a kill gives: an NTSTATUS error code, so it reads as a kill whatever the program.
constexpr UINT kKilledExitCode = 0xC000013A;
// Exit codes from here on are NTSTATUS errors: the process ended by a fault.
constexpr DWORD kFirstFaultCode = 0xC0000000;
constexpr DWORD kOutputPipeBytes = 64 * 1024;
constexpr ULONGLONG kTicksPerSecond = 10000000;
// Marks a line that carries a file handle: "\x01<handle value>\x01<line>". The byte cannot start a
// path nor be typed by an operator by accident.
constexpr char kFileMark = '\x01';

// One argument as the C runtime's command-line parser reads it back.
std::wstring QuoteArgument(const std::wstring& wstrArgument) {
    if (!wstrArgument.empty() && wstrArgument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return wstrArgument;
    std::wstring wstrQuoted = L"\"";
    size_t nBackslashes = 0;
    for (wchar_t cChar : wstrArgument) {
        if (cChar == L'\\') {
            ++nBackslashes;
            continue;
        }
        // Backslashes before a quote are doubled, and the quote escaped.
        wstrQuoted.append(cChar == L'"' ? nBackslashes * 2 + 1 : nBackslashes, L'\\');
        nBackslashes = 0;
        wstrQuoted += cChar;
    }
    // Backslashes before the closing quote are doubled.
    wstrQuoted.append(nBackslashes * 2, L'\\');
    return wstrQuoted + L"\"";
}

std::wstring CommandLine(const std::string& strExecutable, const std::vector<std::string>& arguments) {
    std::wstring wstrLine = QuoteArgument(Win32::ToWide(strExecutable));
    for (const std::string& strArgument : arguments)
        wstrLine += L" " + QuoteArgument(Win32::ToWide(strArgument));
    return wstrLine;
}

SECURITY_ATTRIBUTES Inheritable() {
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof(attributes);
    attributes.bInheritHandle = TRUE;
    return attributes;
}

// The parent's overlapped reading end and the child's inheritable writing end of a new pipe.
bool MakeOutputPipe(Win32::CUniqueHandle& reader, Win32::CUniqueHandle& writer) {
    static std::atomic<unsigned> s_nPipeCount{0};
    std::wstring wstrName = L"\\\\.\\pipe\\klendo-child-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                            std::to_wstring(::GetTickCount64()) + L"-" + std::to_wstring(++s_nPipeCount);
    // The first instance, and the only one: no other process can have made the name or join it.
    reader.Reset(::CreateNamedPipeW(
        wstrName.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0, kOutputPipeBytes,
        0, nullptr));
    if (!reader)
        return false;
    SECURITY_ATTRIBUTES inherit = Inheritable();
    writer.Reset(::CreateFileW(wstrName.c_str(), GENERIC_WRITE, 0, &inherit, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    return writer.IsValid();
}

Win32::CUniqueHandle OpenNullDevice() {
    SECURITY_ATTRIBUTES inherit = Inheritable();
    return Win32::CUniqueHandle(::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                                              nullptr));
}

// The job every child runs in, with its limits.
Win32::CUniqueHandle MakeJob(const CProcessLimits& limits) {
    Win32::CUniqueHandle job(::CreateJobObjectW(nullptr, nullptr));
    if (!job)
        return job;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION info{};
    info.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
    if (limits.nMemoryBytes != 0) {
        info.BasicLimitInformation.LimitFlags |= JOB_OBJECT_LIMIT_PROCESS_MEMORY;
        info.ProcessMemoryLimit = static_cast<SIZE_T>(limits.nMemoryBytes);
    }
    if (limits.nCpuSeconds != 0) {
        info.BasicLimitInformation.LimitFlags |= JOB_OBJECT_LIMIT_JOB_TIME;
        info.BasicLimitInformation.PerJobUserTimeLimit.QuadPart =
            static_cast<LONGLONG>(std::min<ULONGLONG>(limits.nCpuSeconds, 100000000ull) * kTicksPerSecond);
    }
    if (!::SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &info, sizeof(info)))
        return Win32::CUniqueHandle();
    return job;
}

class CWin32ChildProcess final : public IChildProcess {
  public:
    CWin32ChildProcess(Win32::CUniqueHandle job, Win32::CUniqueHandle process, Win32::CUniqueHandle output,
                       Win32::CUniqueHandle input)
        : m_job(std::move(job)), m_process(std::move(process)), m_output(std::move(output)),
          m_input(std::move(input)), m_readDone(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~CWin32ChildProcess() override {
        Kill();
        Wait();
        EndPendingRead();
    }
    CWin32ChildProcess(const CWin32ChildProcess&) = delete;
    CWin32ChildProcess& operator=(const CWin32ChildProcess&) = delete;

    bool IsReady() const { return m_readDone.IsValid(); }

    bool WriteLine(const std::string& strLine, const IFileBeneath* pFile) override;
    ReadResult ReadLine(std::string& strLine, std::chrono::steady_clock::time_point deadline) override;
    bool AllowCpuTimeFromNow(uint64_t nCpuSeconds) override;
    void Kill() override;
    int Wait() override;

  private:
    // Reads what the child wrote before the deadline into m_strPending; false when nothing came.
    bool ReadMore(std::chrono::steady_clock::time_point deadline);
    // Takes the bytes of a finished read; marks the end when the child closed its output.
    void TakeRead();
    // Cancels a read still pending, and waits until the kernel is done with its buffer.
    void EndPendingRead();
    // The file's handle made the child's own, read-only; 0 when it cannot be.
    uint64_t HandForFile(const IFileBeneath* pFile);

    Win32::CUniqueHandle m_job;
    Win32::CUniqueHandle m_process;
    Win32::CUniqueHandle m_output;
    Win32::CUniqueHandle m_input;
    Win32::CUniqueHandle m_readDone;
    OVERLAPPED m_overlapped{};
    char m_buffer[4096];
    bool m_bReadPending = false;
    std::string m_strPending;
    bool m_bEnded = false;
    // A line was handed over cut: its rest, up to its line end, is no line of its own.
    bool m_bSkippingCutRest = false;
    bool m_bKilled = false;
    bool m_bWaited = false;
    int m_nExitCode = -1;
};

uint64_t CWin32ChildProcess::HandForFile(const IFileBeneath* pFile) {
    // Only a file this layer opened has a handle to send; any other goes by its path alone.
    const auto* pHeld = dynamic_cast<const CFileBeneath*>(pFile);
    HANDLE hFile = pHeld != nullptr ? CHeldFileAccess::Handle(*pHeld) : INVALID_HANDLE_VALUE;
    if (hFile == INVALID_HANDLE_VALUE || hFile == nullptr)
        return 0;
    HANDLE hChildFile = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), hFile, m_process.Get(), &hChildFile, FILE_GENERIC_READ,
                           FALSE, 0))
        return 0;
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(hChildFile));
}

bool CWin32ChildProcess::WriteLine(const std::string& strLine, const IFileBeneath* pFile) {
    if (!m_input)
        return false;
    std::string strData;
    if (pFile != nullptr && dynamic_cast<const CFileBeneath*>(pFile) != nullptr) {
        uint64_t nChildFile = HandForFile(pFile);
        if (nChildFile == 0)
            return false;
        strData = kFileMark + std::to_string(nChildFile) + kFileMark;
    }
    strData += strLine + "\n";
    for (size_t nSent = 0; nSent < strData.size();) {
        DWORD nWritten = 0;
        DWORD nChunk = static_cast<DWORD>(std::min<size_t>(strData.size() - nSent, 1 << 20));
        // A child that ended breaks the pipe: the write fails, nothing more.
        if (!::WriteFile(m_input.Get(), strData.data() + nSent, nChunk, &nWritten, nullptr) || nWritten == 0)
            return false;
        nSent += nWritten;
    }
    return true;
}

void CWin32ChildProcess::TakeRead() {
    DWORD nRead = 0;
    m_bReadPending = false;
    if (!::GetOverlappedResult(m_output.Get(), &m_overlapped, &nRead, FALSE) || nRead == 0) {
        m_bEnded = true;
        return;
    }
    m_strPending.append(m_buffer, nRead);
}

bool CWin32ChildProcess::ReadMore(std::chrono::steady_clock::time_point deadline) {
    auto remaining =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (remaining.count() <= 0)
        return false;
    if (!m_bReadPending) {
        m_overlapped = OVERLAPPED{};
        m_overlapped.hEvent = m_readDone.Get();
        ::ResetEvent(m_readDone.Get());
        if (!::ReadFile(m_output.Get(), m_buffer, sizeof(m_buffer), nullptr, &m_overlapped) &&
            ::GetLastError() != ERROR_IO_PENDING) {
            m_bEnded = true;
            return true;
        }
        m_bReadPending = true;
    }
    DWORD nWait = ::WaitForSingleObject(m_readDone.Get(),
                                        static_cast<DWORD>(std::min<long long>(remaining.count(), 60000)));
    if (nWait == WAIT_OBJECT_0)
        TakeRead();
    else if (nWait != WAIT_TIMEOUT)
        m_bEnded = true;
    return true;
}

void CWin32ChildProcess::EndPendingRead() {
    if (!m_bReadPending)
        return;
    ::CancelIoEx(m_output.Get(), &m_overlapped);
    DWORD nRead = 0;
    ::GetOverlappedResult(m_output.Get(), &m_overlapped, &nRead, TRUE);
    m_bReadPending = false;
}

IChildProcess::ReadResult CWin32ChildProcess::ReadLine(std::string& strLine,
                                                       std::chrono::steady_clock::time_point deadline) {
    while (true) {
        if (m_bSkippingCutRest) {
            size_t nRestEnd = m_strPending.find('\n');
            m_strPending.erase(0, nRestEnd == std::string::npos ? nRestEnd : nRestEnd + 1);
            m_bSkippingCutRest = nRestEnd == std::string::npos;
        }
        size_t nEnd = m_strPending.find('\n');
        if (nEnd != std::string::npos) {
            // A program of the C runtime in text mode ends its lines with "\r\n".
            size_t nLength = nEnd > 0 && m_strPending[nEnd - 1] == '\r' ? nEnd - 1 : nEnd;
            strLine = m_strPending.substr(0, std::min(nLength, kMaxLineLength));
            m_strPending.erase(0, nEnd + 1);
            return ReadResult::Line;
        }
        // A line that never ends is handed over cut, instead of growing without bound; the rest of it
        // is dropped whenever it comes.
        if (m_strPending.size() >= kMaxLineLength) {
            strLine = m_strPending.substr(0, kMaxLineLength);
            m_strPending.clear();
            m_bSkippingCutRest = true;
            return ReadResult::Line;
        }
        if (m_bEnded) {
            if (m_strPending.empty())
                return ReadResult::End;
            strLine.swap(m_strPending);
            m_strPending.clear();
            return ReadResult::Line;
        }
        if (!ReadMore(deadline)) {
            Kill();
            return ReadResult::TimedOut;
        }
    }
}

// Setting the job's time limit again without JOB_OBJECT_LIMIT_PRESERVE_JOB_TIME counts it from the
// time the job's processes used so far.
bool CWin32ChildProcess::AllowCpuTimeFromNow(uint64_t nCpuSeconds) {
    if (m_bWaited || ::WaitForSingleObject(m_process.Get(), 0) != WAIT_TIMEOUT) {
        ::SetLastError(ERROR_PROCESS_ABORTED);
        return false;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION info{};
    if (!::QueryInformationJobObject(m_job.Get(), JobObjectExtendedLimitInformation, &info, sizeof(info),
                                     nullptr))
        return false;
    info.BasicLimitInformation.LimitFlags |= JOB_OBJECT_LIMIT_JOB_TIME;
    info.BasicLimitInformation.LimitFlags &= ~static_cast<DWORD>(JOB_OBJECT_LIMIT_PRESERVE_JOB_TIME);
    info.BasicLimitInformation.PerJobUserTimeLimit.QuadPart =
        static_cast<LONGLONG>((std::min<uint64_t>(nCpuSeconds, 100000000ull) + 1) * kTicksPerSecond);
    return ::SetInformationJobObject(m_job.Get(), JobObjectExtendedLimitInformation, &info, sizeof(info)) !=
           FALSE;
}

// The whole job: whatever the child started goes with it.
void CWin32ChildProcess::Kill() {
    if (m_bWaited)
        return;
    if (::WaitForSingleObject(m_process.Get(), 0) == WAIT_TIMEOUT)
        m_bKilled = true;
    ::TerminateJobObject(m_job.Get(), kKilledExitCode);
}

int CWin32ChildProcess::Wait() {
    if (m_bWaited)
        return m_nExitCode;
    ::WaitForSingleObject(m_process.Get(), INFINITE);
    DWORD nExitCode = 0;
    bool bKnown = ::GetExitCodeProcess(m_process.Get(), &nExitCode) != FALSE;
    // What the child left running ends with it.
    ::TerminateJobObject(m_job.Get(), kKilledExitCode);
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
    bool bLimitHit = ::QueryInformationJobObject(m_job.Get(), JobObjectBasicAccountingInformation,
                                                 &accounting, sizeof(accounting), nullptr) &&
                     accounting.TotalTerminatedProcesses > 0;
    m_bWaited = true;
    if (!bKnown || m_bKilled || bLimitHit || nExitCode >= kFirstFaultCode)
        m_nExitCode = -1;
    else
        m_nExitCode = static_cast<int>(nExitCode);
    return m_nExitCode;
}

// Every handle in the child's list must be inheritable and named once.
std::unique_ptr<IChildProcess> StartChild(const std::string& strExecutable,
                                          const std::vector<std::string>& arguments,
                                          const CProcessLimits& limits, bool bWithInput) {
    Win32::CUniqueHandle job = MakeJob(limits);
    if (!job)
        return nullptr;
    Win32::CUniqueHandle outputReader;
    Win32::CUniqueHandle outputWriter;
    if (!MakeOutputPipe(outputReader, outputWriter))
        return nullptr;
    Win32::CUniqueHandle nullDevice = OpenNullDevice();
    if (!nullDevice)
        return nullptr;
    Win32::CUniqueHandle inputReader;
    Win32::CUniqueHandle inputWriter;
    if (bWithInput) {
        SECURITY_ATTRIBUTES inherit = Inheritable();
        HANDLE hRead = nullptr;
        HANDLE hWrite = nullptr;
        if (!::CreatePipe(&hRead, &hWrite, &inherit, 0))
            return nullptr;
        inputReader.Reset(hRead);
        inputWriter.Reset(hWrite);
        if (!::SetHandleInformation(inputWriter.Get(), HANDLE_FLAG_INHERIT, 0))
            return nullptr;
    }
    HANDLE hInput = bWithInput ? inputReader.Get() : nullDevice.Get();
    HANDLE ahInherited[3] = {outputWriter.Get(), nullDevice.Get(), hInput};
    size_t nInherited = bWithInput ? 3 : 2;

    SIZE_T nListBytes = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &nListBytes);
    std::unique_ptr<char[]> pListMemory(new char[nListBytes]);
    auto pList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(pListMemory.get());
    if (!::InitializeProcThreadAttributeList(pList, 1, 0, &nListBytes))
        return nullptr;
    std::unique_ptr<_PROC_THREAD_ATTRIBUTE_LIST, decltype(&::DeleteProcThreadAttributeList)> listGuard(
        pList, &::DeleteProcThreadAttributeList);
    if (!::UpdateProcThreadAttribute(pList, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, ahInherited,
                                     nInherited * sizeof(HANDLE), nullptr, nullptr))
        return nullptr;

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof(startup);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = hInput;
    startup.StartupInfo.hStdOutput = outputWriter.Get();
    startup.StartupInfo.hStdError = nullDevice.Get();
    startup.lpAttributeList = pList;
    std::wstring wstrApplication = Win32::ToWide(strExecutable);
    std::wstring wstrCommandLine = CommandLine(strExecutable, arguments);
    PROCESS_INFORMATION started{};
    DWORD nFlags = CREATE_SUSPENDED | CREATE_NEW_PROCESS_GROUP | CREATE_NO_WINDOW |
                   EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT;
    if (!::CreateProcessW(wstrApplication.c_str(), &wstrCommandLine[0], nullptr, nullptr, TRUE, nFlags,
                          nullptr, nullptr, &startup.StartupInfo, &started))
        return nullptr;
    Win32::CUniqueHandle process(started.hProcess);
    Win32::CUniqueHandle thread(started.hThread);
    if (!::AssignProcessToJobObject(job.Get(), process.Get()) ||
        ::ResumeThread(thread.Get()) == static_cast<DWORD>(-1)) {
        DWORD nError = ::GetLastError();
        ::TerminateProcess(process.Get(), kKilledExitCode);
        ::SetLastError(nError);
        return nullptr;
    }
    auto pChild = std::make_unique<CWin32ChildProcess>(std::move(job), std::move(process),
                                                       std::move(outputReader), std::move(inputWriter));
    if (!pChild->IsReady())
        return nullptr;
    return pChild;
}

class CWin32ProcessLauncher final : public IProcessLauncher {
  public:
    std::unique_ptr<IChildProcess> Start(const std::string& strExecutable,
                                         const std::vector<std::string>& arguments,
                                         const CProcessLimits& limits, bool bWithInput) override {
        return StartChild(strExecutable, arguments, limits, bWithInput);
    }
};

} // namespace

IProcessLauncher& SystemProcessLauncher() {
    static CWin32ProcessLauncher launcher;
    return launcher;
}

struct CParentInput::CFiles {
    // The handle received with the line returned last, closed when the next line is asked for.
    Win32::CUniqueHandle current;
};

CParentInput::CParentInput() : m_pFiles(std::make_unique<CFiles>()) {}

CParentInput::~CParentInput() {
    Win32::ForgetReceivedFile();
}

bool CParentInput::ReadMore() {
    char buffer[4096];
    DWORD nRead = 0;
    if (!::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof(buffer), &nRead, nullptr) || nRead == 0)
        return false;
    m_strPending.append(buffer, nRead);
    return true;
}

namespace {

// A path this process can open that names exactly the file behind hFile; "" when hFile is no file.
std::string PathOfHandle(HANDLE hFile) {
    if (::GetFileType(hFile) != FILE_TYPE_DISK)
        return std::string();
    DWORD nLength = ::GetFinalPathNameByHandleW(hFile, nullptr, 0, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (nLength == 0)
        return std::string();
    std::wstring wstrPath(nLength, L'\0');
    nLength =
        ::GetFinalPathNameByHandleW(hFile, &wstrPath[0], nLength, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (nLength == 0 || nLength >= wstrPath.size())
        return std::string();
    wstrPath.resize(nLength);
    return Win32::FromWide(wstrPath);
}

// Splits "\x01<handle>\x01<line>" into the handle and the line; false when strLine carries none.
bool TakeFileMark(std::string& strLine, HANDLE& hFile) {
    if (strLine.size() < 3 || strLine[0] != kFileMark)
        return false;
    size_t nEnd = strLine.find(kFileMark, 1);
    if (nEnd == std::string::npos || nEnd == 1 || nEnd > 21)
        return false;
    char* szEnd = nullptr;
    std::string strValue = strLine.substr(1, nEnd - 1);
    unsigned long long nValue = std::strtoull(strValue.c_str(), &szEnd, 10);
    if (*szEnd != '\0' || nValue == 0)
        return false;
    hFile = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(nValue));
    strLine.erase(0, nEnd + 1);
    return true;
}

} // namespace

bool CParentInput::ReadLine(std::string& strLine, std::string& strFilePath) {
    Win32::ForgetReceivedFile();
    m_pFiles->current.Reset();
    strFilePath.clear();
    size_t nEnd;
    while ((nEnd = m_strPending.find('\n')) == std::string::npos) {
        if (!ReadMore()) {
            if (m_strPending.empty())
                return false;
            nEnd = m_strPending.size();
            break;
        }
    }
    strLine = m_strPending.substr(0, nEnd);
    m_strPending.erase(0, std::min(nEnd + 1, m_strPending.size()));
    if (!strLine.empty() && strLine.back() == '\r')
        strLine.pop_back();
    HANDLE hFile = nullptr;
    // Only a handle that is a file is taken (and closed after use): a mark typed by hand must not
    // close one of this process's own handles.
    if (TakeFileMark(strLine, hFile) && ::GetFileType(hFile) == FILE_TYPE_DISK) {
        m_pFiles->current.Reset(hFile);
        strFilePath = PathOfHandle(hFile);
        if (strFilePath.empty())
            m_pFiles->current.Reset();
        else
            Win32::SetReceivedFile(strFilePath, hFile);
    }
    return true;
}

void CParentInput::ReleaseFile() {
    Win32::ForgetReceivedFile();
    m_pFiles->current.Reset();
}

} // namespace Platform
