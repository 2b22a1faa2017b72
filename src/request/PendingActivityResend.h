#pragma once

#include "activity/ActivityFileDataStorage.h"
#include "request/RequestEnvironment.h"
#include "request/ResendLedger.h"

#include <functional>
#include <string>
#include <vector>

class CActivityList;
class CAddActivityContext;

// What one re-send of the archive did.
struct SResendOutcome {
    // The archive could be read, and every batch sent got a reply of overall success that gave each
    // of its activities a verdict. False also when a batch got no answer at all (an unreachable
    // server, a time-out, an HTTP error page).
    bool bCompleted = true;
    int nAcknowledged = 0;
    int nRefused = 0;
    // Moved to the rejected file: refused too often, or not parseable.
    int nRejected = 0;
    // Records the archive holds afterwards (at least 1 when it could not be rewritten).
    size_t nLeft = 0;
};

// One re-send of the archive's pending activities. It reads the archive's records once, posts them in
// batches of at most kBatchActivities activities or kBatchBytes of XML, whichever comes first (a
// single larger record goes alone), and notes after each batch what the server acknowledged or
// refused (CResendLedger). At the end, also when it stops early, it rewrites the archive once
// without the records that are done. The archive lock is held only to read and to rewrite, never
// during a post, so archiving never waits for the server. Refused means that the reply gave the
// activity another status than "1", or that the server refused the request of that one activity as
// a whole (an HTTP client error, such as a body too large for a proxy): a batch refused as a whole is
// split and its halves sent again, so one bad activity cannot hold the others back. An activity
// refused in kRefusalLimit re-sends in a row (those without an answer do not count) is moved,
// unchanged, to the rejected file, and so is a record that does not parse. After kUnansweredLimit batches in
// a row without an answer the re-send gives up.
//
// Runs on the calling thread; only one re-send of an archive may run at a time (the sender's thread).
class CPendingActivityResend {
  public:
    static constexpr int kBatchActivities = 200;
    static constexpr size_t kBatchBytes = 256 * 1024;
    static constexpr int kRefusalLimit = 10;
    static constexpr int kUnansweredLimit = 2;

    // The archive and server of the environment. isStopping is asked before each batch: once it says
    // true, no further batch is sent.
    CPendingActivityResend(const CRequestEnvironment& environment, std::function<bool()> isStopping);

    SResendOutcome Run();

  private:
    struct SBatch;

    void SendAll();
    void Collect(SBatch& batch, size_t nRecord);
    bool ShouldSendMore() const;
    void Send(SBatch& batch);
    // A batch whose request the server refused as a whole: its halves are sent again, and a single
    // activity counts as refused.
    void SplitRefusedBatch(SBatch& batch, int nHttpStatus);
    void NoteVerdicts(const SBatch& batch, const CAddActivityContext& context, int nSuccess);
    void Reject(size_t nRecord);
    // False when the rejected file could not take them; they then stay, and the archive is not rewritten.
    bool SetAsideUnparsed();
    void Compact();
    void PruneLedger();

    CRequestEnvironment m_environment;
    std::string m_strFolder;
    std::function<bool()> m_isStopping;
    CActivityFileDataStorage m_storage;
    CResendLedger m_ledger;
    CArchiveSnapshot m_snapshot;
    // Per record of the snapshot: still to be archived after this re-send, and its activity's id as
    // sent (empty for a record not parsed).
    std::vector<bool> m_keep;
    std::vector<std::string> m_ids;
    std::vector<size_t> m_unparsed;
    int m_nUnansweredInARow = 0;
    bool m_bStopped = false;
    // Every record was looked at and every batch sent.
    bool m_bWhole = false;
    SResendOutcome m_outcome;
};
