// phonesim's command line: parsing it into server options, and turning a
// phone configuration back into switches (the test harness starts phonesim
// with them).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/pty_server.h"

namespace sim {

struct PhonesimOptions {
    ServerOptions server;
    std::string transcriptPath;  // the last run's transcript
    std::string dumpPath;        // the flash at the end
    std::string reportPath;      // verdict, notes and images of the last run
    bool help = false;
    bool quiet = false;
    // Sample files: written, then phonesim ends without serving.
    std::string writeLoader;
    std::string writeCrcImage;
    std::string writeBlockImage;
    size_t imageSize = 100000;
    std::string blockPattern = "dbzdbzd";
};

// False with a message on a bad command line.
bool parsePhonesimArgs(const std::vector<std::string>& args, PhonesimOptions* options,
                       std::string* error);
// The switches that give a phone this configuration.
std::vector<std::string> phoneSwitches(const PhoneConfig& config);
const char* phonesimUsage();

// The report file: "ended 1", "hungup 0", "violation <text>", "note <text>",
// "image <address> <size> <erased> <blocks> <data> <blank> <zero> <complete>
// [<checksum> <crc>]", "loader <lines> <bytes>".
std::string formatReport(const RunReport& report);
bool parseReport(const std::string& text, RunReport* report);

// phonesim's exit status for the runs it served.
int exitStatusFor(const std::vector<RunReport>& reports, bool timedOut);

}  // namespace sim
