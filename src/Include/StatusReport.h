#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// The one line that systemd shows for the running agent ("systemctl status"): how many folders are
// watched, how many jobs were posted and archived, how many wait in the archive, and when a post
// last succeeded. The counting hooks only note the change; a thread of its own sends the line, at
// most once per kMinInterval and only after something changed, so an idle agent sends nothing and
// wakes no thread. The hooks may be called from any thread, also before Start and after Stop.
class CStatusReport {
  public:
    using Sink = std::function<void(const std::string&)>;
    static constexpr std::chrono::milliseconds kMinInterval{1000};

    // sink receives each line (the service manager's status text); Start may give it instead.
    explicit CStatusReport(Sink sink = Sink());
    ~CStatusReport();
    CStatusReport(const CStatusReport&) = delete;
    CStatusReport& operator=(const CStatusReport&) = delete;

    // Starts the thread, which sends the first line at once, to sink when one is given; false when it
    // cannot be started.
    bool Start(Sink sink = Sink());
    // Ends the thread; a change not sent yet is dropped.
    void Stop();

    void SetWatchedFolders(size_t nCount);
    // A new activity was acknowledged by the server.
    void NotePosted();
    // A new activity went to the archive instead.
    void NoteArchived();
    // The archive holds nPending activities; bSucceeded when a post of them was acknowledged.
    void SetPending(size_t nPending, bool bSucceeded);

    std::string BuildLine() const;
    // The line to send when a change is noted that no line has carried yet, which it then counts as
    // carried; false when nothing changed since the last line taken. The report's thread sends what
    // this gives.
    bool TakeUnsentLine(std::string& strLine);

  private:
    void ThreadMain();
    // Called with m_mutex held.
    std::string ComposeLine() const;
    // Called with m_mutex held.
    void Changed();

    Sink m_sink;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::thread m_thread;
    bool m_bStopping = false;
    long m_nVersion = 1;
    long m_nSentVersion = 0;
    size_t m_nWatched = 0;
    long m_nPosted = 0;
    long m_nArchived = 0;
    size_t m_nPending = 0;
    std::string m_strLastSuccess;
};
