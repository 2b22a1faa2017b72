#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

// What the re-sends of pending activities remember beside the archive, across restarts, until the
// archive is next rewritten:
// - KlendoActivity.settled.dat: the ids of archived activities that the server acknowledged or that
//   were moved to the rejected file; a re-send skips them, and the next rewrite drops their records;
// - KlendoActivity.refusals.dat: one line for each re-send in which the server answered but did not
//   acknowledge an activity; their count says how often in a row it was refused.
// Both grow by durable appends of one line per id ("%", CR and LF escaped); a torn last line is
// ignored. Losing or damaging either loses no activity: acknowledged activities are sent again, or
// refusals are counted afresh. One re-send at a time uses them (the sender's thread).
class CResendLedger {
  public:
    static constexpr const char* kSettledName = "KlendoActivity.settled.dat";
    static constexpr const char* kRefusalsName = "KlendoActivity.refusals.dat";

    explicit CResendLedger(const std::string& strFolder);

    // Reads both files; what cannot be read counts as empty.
    void Load();

    bool IsSettled(const std::string& strId) const { return m_settled.count(strId) != 0; }
    int GetRefusals(const std::string& strId) const;

    // Remembers the ids as settled, on the disk before returning. False when the file did not take
    // them (they are remembered for this re-send anyway).
    bool AddSettled(const std::vector<std::string>& ids);

    // Counts one more refusal for each id, on the disk before returning. False when the file did not
    // take them (they count for this re-send anyway).
    bool AddRefusals(const std::vector<std::string>& ids);

    // After the archive was rewritten: keeps only what is known of ids still archived, rewriting a
    // file (crash-safe) where that drops anything.
    void Prune(const std::function<bool(const std::string&)>& isStillArchived);

  private:
    std::string m_strSettledPath;
    std::string m_strRefusalsPath;
    std::set<std::string> m_settled;
    std::map<std::string, int> m_refusals;
    // Whole lines in each file, so that a rewrite happens only when it drops something.
    size_t m_nSettledLines = 0;
    size_t m_nRefusalLines = 0;
};
