// KlendoReferenceServer: a stand-in accounting server for tests, the demo and the benchmarks.
#include "ReferenceServer.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

namespace {

volatile std::sig_atomic_t g_bStopRequested = 0;

void OnStopSignal(int) {
    g_bStopRequested = 1;
}

const char* const kUsage =
    "Usage: KlendoReferenceServer [options]\n"
    "Takes add-activity posts (POST /KlendoWebServices/KlendoWebServicesExt.dll?AddKlendoActivity),\n"
    "stores every activity in SQLite and answers with the verdicts chosen below.\n"
    "GET /activities[?after=SEQ&limit=N] lists stored activities as JSON, GET / as an HTML table.\n"
    "\n"
    "  --port N               port to listen on; 0 picks a free one (default 0)\n"
    "  --address A            address to listen on (default 127.0.0.1)\n"
    "  --db FILE              SQLite database, created when missing; :memory: keeps nothing\n"
    "                         (default KlendoReferenceServer.db)\n"
    "  --status TEXT          status attribute of the reply's root (default 1)\n"
    "  --no-status            reply without a status attribute on the root\n"
    "  --activity-status L    statuses given to the activities received, comma-separated and used in\n"
    "                         turn across posts: 1 takes all (default), 0 refuses all, 1,0 alternates\n"
    "  --no-activities        reply without activity elements\n"
    "  --http-status N        answer every post with this HTTP status and an HTML page, storing nothing\n"
    "  --max-body-bytes N     answer a post with a longer body 413 and an HTML page, storing nothing\n"
    "  --delay-ms N           wait N ms before answering each post\n"
    "  --reply-file FILE      answer every post with this file's content (activities are still stored)\n"
    "  --lenient              take any body pugixml can read; by default a body that is not\n"
    "                         well-formed XML 1.0 in UTF-8 is refused with 400 and nothing stored\n"
    "  --threads N            worker threads; each open connection holds one, also while it is kept\n"
    "                         alive between requests (default 64)\n"
    "  --keep-alive-seconds N close a kept-alive connection idle this long (default 5)\n"
    "  --keep-alive-requests N  close a connection after N requests; 1 closes it after each (default 1000)\n"
    "  --help                 this text\n"
    "Prints \"KlendoReferenceServer listening on ADDRESS:PORT\" once it accepts connections; stops on\n"
    "SIGTERM or SIGINT.\n";

std::vector<std::string> SplitList(const std::string& strList) {
    std::vector<std::string> items;
    std::istringstream stream(strList);
    for (std::string strItem; std::getline(stream, strItem, ',');)
        items.push_back(strItem);
    return items;
}

bool ToNumber(const std::string& strText, int& nValue) {
    char* szEnd = nullptr;
    long nParsed = std::strtol(strText.c_str(), &szEnd, 10);
    if (strText.empty() || *szEnd != '\0' || nParsed < 0 || nParsed > 1000000000)
        return false;
    nValue = static_cast<int>(nParsed);
    return true;
}

bool ReadFile(const std::string& strPath, std::string& strContent) {
    std::ifstream stream(strPath, std::ios::binary);
    std::ostringstream content;
    content << stream.rdbuf();
    strContent = content.str();
    return static_cast<bool>(stream);
}

// Fills options from the command line; false with a message for an unknown or incomplete option.
bool ParseArguments(int argc, char** argv, SReferenceServerOptions& options, bool& bHelp,
                    std::string& strError) {
    for (int i = 1; i < argc; ++i) {
        std::string strOption = argv[i];
        if (strOption == "--help" || strOption == "-h") {
            bHelp = true;
            continue;
        }
        if (strOption == "--no-status") {
            options.bOmitStatus = true;
            continue;
        }
        if (strOption == "--no-activities") {
            options.bOmitActivities = true;
            continue;
        }
        if (strOption == "--lenient") {
            options.bStrictXml = false;
            continue;
        }
        if (i + 1 >= argc) {
            strError = "missing value or unknown option: " + strOption;
            return false;
        }
        std::string strValue = argv[++i];
        bool bGood = true;
        if (strOption == "--port")
            bGood = ToNumber(strValue, options.nPort) && options.nPort <= 65535;
        else if (strOption == "--address")
            options.strAddress = strValue;
        else if (strOption == "--db")
            options.strDatabase = strValue;
        else if (strOption == "--status")
            options.strStatus = strValue;
        else if (strOption == "--activity-status")
            bGood = !(options.activityStatuses = SplitList(strValue)).empty();
        else if (strOption == "--http-status")
            bGood = ToNumber(strValue, options.nHttpStatus) && options.nHttpStatus >= 100 &&
                    options.nHttpStatus <= 599;
        else if (strOption == "--max-body-bytes") {
            int nBytes = 0;
            bGood = ToNumber(strValue, nBytes);
            options.nMaxBodyBytes = static_cast<size_t>(nBytes);
        } else if (strOption == "--delay-ms")
            bGood = ToNumber(strValue, options.nDelayMs);
        else if (strOption == "--reply-file")
            bGood = ReadFile(strValue, options.strReplyBody) && !options.strReplyBody.empty();
        else if (strOption == "--threads")
            bGood = ToNumber(strValue, options.nThreads) && options.nThreads >= 1 && options.nThreads <= 1024;
        else if (strOption == "--keep-alive-seconds")
            bGood = ToNumber(strValue, options.nKeepAliveSeconds) && options.nKeepAliveSeconds >= 1 &&
                    options.nKeepAliveSeconds <= 3600;
        else if (strOption == "--keep-alive-requests")
            bGood = ToNumber(strValue, options.nKeepAliveRequests) && options.nKeepAliveRequests >= 1;
        else {
            strError = "unknown option: " + strOption;
            return false;
        }
        if (!bGood) {
            strError = "bad value for " + strOption + ": " + strValue;
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    SReferenceServerOptions options;
    bool bHelp = false;
    std::string strError;
    if (!ParseArguments(argc, argv, options, bHelp, strError)) {
        std::cerr << "KlendoReferenceServer: " << strError << "\n" << kUsage;
        return 2;
    }
    if (bHelp) {
        std::cout << kUsage;
        return 0;
    }
    std::signal(SIGTERM, OnStopSignal);
    std::signal(SIGINT, OnStopSignal);
    CReferenceServer server(options);
    if (!server.Start(strError)) {
        std::cerr << "KlendoReferenceServer: " << strError << "\n";
        return 1;
    }
    std::cout << "KlendoReferenceServer listening on " << options.strAddress << ":" << server.GetPort()
              << std::endl;
    while (!g_bStopRequested)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    server.Stop();
    std::cout << "KlendoReferenceServer stopped after " << server.GetPostCount() << " posts, "
              << server.GetStoredCount() << " activities stored, " << server.GetConnectionCount()
              << " connections" << std::endl;
    return 0;
}
