// KlendoReferenceServer: a stand-in accounting server for tests, the demo and the benchmarks.
#include "ReferenceServer.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
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
        // The reply's text comes from a file on the command line.
        std::string strName = strOption.compare(0, 2, "--") == 0 ? strOption.substr(2) : "";
        if (strName.empty() || strName == "reply") {
            strError = "unknown option: " + strOption;
            return false;
        }
        bool bFlag = IsReferenceServerFlag(strName);
        if (!bFlag && i + 1 >= argc) {
            strError = "missing value or unknown option: " + strOption;
            return false;
        }
        std::string strValue = bFlag ? "1" : argv[++i];
        if (strName != "reply-file") {
            if (!SetReferenceServerOption(options, strName, strValue, strError))
                return false;
        } else if (!ReadFile(strValue, options.strReplyBody) || options.strReplyBody.empty()) {
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
