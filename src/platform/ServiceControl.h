#pragma once

#include <string>

namespace Platform {

// True when the service manager started this process as a notify service and waits for its status
// reports (systemd sets NOTIFY_SOCKET for Type=notify units).
bool IsStartedByServiceManager();

// Status reports to the service manager; they do nothing when it did not start the process.
void ReportServiceRunning();
void ReportServiceStopping();
// The one line of free text the service manager shows for the service.
void ReportServiceStatus(const std::string& strStatus);

// The stop control of the agent: SIGTERM and SIGINT, plus a stop that code of this process
// requests. No signal handler runs: Open blocks the signals in the calling thread, and every thread
// created by it afterwards inherits that, so the kernel keeps a stop pending until Wait reads it. A
// stop that arrives after Open and before Wait is therefore not lost. Every other signal that would
// end or stop the process by default although the agent does not expect it (SIGIO of a broken
// write lease, SIGXFSZ, SIGPIPE, SIGHUP, SIGTTIN, SIGTTOU, SIGUSR1 and the like) is ignored from
// Open on, for the whole process; faults, SIGQUIT and SIGTSTP keep their default action.
//
// Open must run before the process creates its other threads: a thread that exists already keeps
// the default action of the stop signals, which ends the process at once. Child processes inherit
// the blocked and the ignored signals across exec, so whoever starts one must give it the default
// dispositions and an empty signal mask.
class CStopControl {
  public:
    CStopControl();
    ~CStopControl();
    CStopControl(const CStopControl&) = delete;
    CStopControl& operator=(const CStopControl&) = delete;

    // Takes over the stop signals and ignores the unexpected ones. False, with GetLastError(), on
    // failure; the stop signals then keep their default action.
    bool Open();

    // Blocks until a stop arrives: a signal taken over by Open, or RequestStop. Returns the signal
    // number, 0 for RequestStop, -1 when the wait itself failed (GetLastError() tells why).
    int Wait();

    // Makes the current or next Wait return 0. Safe from any thread, also before Open.
    void RequestStop();

  private:
    int m_nSignalHandle = -1;
    int m_nRequestHandle = -1;
};

} // namespace Platform
