#pragma once

#include <string>

// The settings of one hot folder, copied by value into each folder monitor and each request.
struct CHotFolderInfo {
    std::string source;
    std::string destination;
    std::string devicename;
    int halfsize = 0;
    int copies = 1;
    std::string type;
    std::string usernamefrom;

    // "ULS" in any case selects the job-ticket mode; every other value the print-file mode.
    bool IsTicketFolder() const;
};
