#pragma once

#include "ReferenceServer.h"
#include "client/AddActivityClientReqHandler.h"
#include "client/RawSockets.h"

#include <gtest/gtest.h>

#include <string>

// A reference server on 127.0.0.1, a free port and an in-memory database, for one test.
class CTestServer {
  public:
    explicit CTestServer(SReferenceServerOptions options = SReferenceServerOptions())
        : m_server(WithTestDefaults(std::move(options))) {
        std::string strError;
        m_bStarted = m_server.Start(strError);
        EXPECT_TRUE(m_bStarted) << strError;
    }

    int Port() const { return m_server.GetPort(); }
    std::string Url(const std::string& strPathAndQuery) const {
        return "http://127.0.0.1:" + std::to_string(Port()) + strPathAndQuery;
    }
    CReferenceServer& Server() { return m_server; }

    // A context that posts to this server.
    CAddActivityContext Context() const {
        CAddActivityContext context;
        context.m_strServerAddress = "127.0.0.1";
        context.m_nServerPort = Port();
        return context;
    }

  private:
    static SReferenceServerOptions WithTestDefaults(SReferenceServerOptions options) {
        options.strAddress = "127.0.0.1";
        options.nPort = 0;
        options.strDatabase = ":memory:";
        return options;
    }

    CReferenceServer m_server;
    bool m_bStarted = false;
};
