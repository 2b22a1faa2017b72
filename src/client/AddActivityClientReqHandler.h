#pragma once

#include "activity/Activity.h"
#include "client/HttpRequest.h"

#include <map>
#include <string>

// The in/out record of one post, owned by the caller: the server in, the verdict out.
class CAddActivityContext {
  public:
    std::string m_strServerAddress;
    int m_nServerPort = 0;
    CHttpSettings m_http;
    // The server's overall verdict (0 or 1); the caller sets 0 before the post.
    int m_bSuccess = 0;
    // Activity id to the status text the server gave it; "1" means the server has taken it.
    std::map<std::string, std::string> m_mapActivityStatus;
    // The HTTP status of the server's answer; -1 when no answer came.
    int m_nHttpStatus = -1;
};

// Posts a list of activities to the accounting server in one request and reads its verdict. Made on
// the caller's stack for one Execute; it owns neither the context nor the list. Runs on the calling
// thread and blocks it for the whole exchange.
class CAddActivityClientReqHandler {
  public:
    CAddActivityClientReqHandler(CAddActivityContext* pContext, CActivityList* pList);
    virtual ~CAddActivityClientReqHandler() = default;

    // Posts the list; the overall verdict afterwards. Activities without an id get a new one, which
    // they keep. Nothing is sent for a list without activities (0). Without an answer, and with a
    // reply longer than 64 KiB plus 1 KiB per activity posted (not read), the context keeps the
    // values the caller gave it.
    int Execute();

    // http://<address>:<port>/KlendoWebServices/KlendoWebServicesExt.dll?AddKlendoActivity; a port
    // of 0 becomes 80, also in the context.
    std::string BuildURL();

    // "<activities>" + the XML of every activity + "</activities>", or "" when there is nothing to send.
    std::string BuildRequestXML();

    // Reads the reply into the context; 1 when the status map holds an entry afterwards, else 0.
    int ParseResponse(const std::string& strResponse);

  private:
    CAddActivityContext* m_pContext;
    CActivityList* m_pList;
};
