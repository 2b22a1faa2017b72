#pragma once

#include "platform/Accounts.h"

#include <mutex>
#include <string>

// Sessions the test sets: one user, or none with the error of reading them.
class CFakeSessions : public Platform::ISessionInfo {
  public:
    void SetUser(const std::string& strUser);
    void SetNone(int nError);

    bool GetFirstSessionUser(std::string& strUser) override;

  private:
    std::mutex m_mutex;
    std::string m_strUser;
    int m_nError = 0;
};
