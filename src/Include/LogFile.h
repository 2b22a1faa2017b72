#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

// The printf check of the log's format strings: mingw-w64's "printf" checks the Microsoft formats,
// while the agent is built with the C library's standard ones there (%zu, %lld).
#ifdef __MINGW32__
#define KLENDO_PRINTF_CHECK gnu_printf
#else
#define KLENDO_PRINTF_CHECK printf
#endif

// The agent's one log, KlendoHotFolderAgent.log beside the executable. Any thread may log at any
// time, also while it holds a lock of its own: the log takes no other lock of the agent.
class CLogFile {
  public:
    // What a roll-over does with the file it moved aside: the agent deletes it, an archive of the
    // whole history keeps it.
    enum class RolledFile { Delete, Keep };

    explicit CLogFile(RolledFile rolled = RolledFile::Delete);
    virtual ~CLogFile();

    CLogFile(const CLogFile&) = delete;
    CLogFile& operator=(const CLogFile&) = delete;

    void Open(std::string strPath);
    void SetTraceLevel(unsigned int nLevel, bool bEnable);
    void Close();

    void Trace(const char* szFormat, ...) __attribute__((format(KLENDO_PRINTF_CHECK, 2, 3)));
    void TraceDetail(const char* szFormat, ...) __attribute__((format(KLENDO_PRINTF_CHECK, 2, 3)));

    // The body of Trace (bDetail false) and TraceDetail (bDetail true) for callers holding a va_list.
    void TraceArgs(bool bDetail, const char* szFormat, va_list args);

  private:
    void WriteString(const std::string& strText);
    void WriteFallback(const std::string& strText);
    bool OpenStream();
    void RollOverIfTooLong();
    std::string ComposeLine(const std::string& strText) const;

    // Guards the stream and the members below; recursive because Trace holds it while it calls
    // WriteString, timed so that no caller waits longer than the log's stated waits.
    std::recursive_timed_mutex m_mutex;
    // Held for every use of m_file, briefly. A writer that gave up waiting for m_mutex still writes
    // its fallback line, and this lock keeps that write out of a roll-over's close and reopen.
    std::timed_mutex m_streamLock;
    std::FILE* m_file = nullptr;
    std::atomic<bool> m_bEnabled{false};
    std::atomic<bool> m_bOpened{false};
    std::string m_strFilePath;
    std::atomic<unsigned int> m_nTraceLevel{0};
    const bool m_bDeleteRolledFile;
};

// The process's log; null while none exists, and then every log call does nothing.
extern std::atomic<CLogFile*> g_pLogFile;

// Counter in the names of rolled log files; starts at 1 and only changes under the log's mutex.
extern int g_nRollOverCount;

// Trace/TraceDetail through g_pLogFile, doing nothing while no log exists.
void LogTrace(const char* szFormat, ...) __attribute__((format(KLENDO_PRINTF_CHECK, 1, 2)));
void LogTraceDetail(const char* szFormat, ...) __attribute__((format(KLENDO_PRINTF_CHECK, 1, 2)));

// Cuts a path at its last separator or its last full stop without asking the file system:
// 0 file name, 1 base name, 2 extension, 3 folder, 4 path without extension, other values "".
std::string SplitPath(const std::string& strPath, int nPart);

// Existence test; false for an empty path or one made only of separators.
bool FileExists(const std::string& strPath);

// True for an empty path or a missing file, else the result of deleting it.
bool DeleteFileIfExists(const std::string& strPath);

// strFolder with one separator added unless it is empty or ends in one, then strName.
std::string JoinPath(const std::string& strFolder, const std::string& strName);
