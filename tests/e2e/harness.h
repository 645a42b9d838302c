// End-to-end runs of the real download tool against the virtual phone.
//
// A scenario in a few lines (files named tests/e2e/*_test.cpp are picked up):
//
//   #include "tests/e2e/harness.h"
//
//   TEST(Images, OneImageWritten) {
//       e2e::Scenario s;
//       s.phone.itest = "ITEST=011";              // any sim::PhoneConfig switch
//       s.files["rb7.s37"] = e2e::sampleLoader(); // written to the working directory
//       s.files["a.bin"] = e2e::crcImage(5000);
//       s.args = {"a.bin", "/l"};                 // the port (/c:...) is added
//       s.keys = {{'y', "Continue?"}};            // typed when the text appears
//       e2e::Result r = e2e::run(s);              // native download
//       EXPECT_EQ(r.exitStatus, 0) << r.output;
//       EXPECT_NE(r.output.find("FLASH DOWNLOAD SUCCESSFUL"), std::string::npos);
//       EXPECT_TRUE(r.phone.verdict.wellFormed()) << r.phoneReport();
//       EXPECT_EQ(r.flash(0x400000, 5000), s.files["a.bin"]);
//       EXPECT_EQ(r.transcript().bytes(true, sim::Phase::Enq), "\x7E");
//   }
//
// The same scenario under Wine: REQUIRE_WINE(e2e::windowsExe()); then
// e2e::runWine(s) (download.exe with /c:COMnn, COMnn linked to the phone's pty).
// With s.phoneProcess = true the phone is phonesim as a child process instead
// of a thread of the test.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/phone_config.h"
#include "sim/pty_server.h"

namespace e2e {

// A key typed on download's console (a pseudo-terminal), or a signal sent.
struct Key {
    Key(char k = 'q', std::string afterText = "", int delay = 0, std::string alsoTyped = "")
        : key(k), after(std::move(afterText)), delayMs(delay), also(std::move(alsoTyped)) {}
    static Key signal(int sig, std::string afterText, int delay = 0) {
        Key k(0, std::move(afterText), delay);
        k.sig = sig;
        return k;
    }
    char key;
    std::string after;    // typed once this text has appeared in the output since the last key
                          // ("" at once)
    int delayMs;          // then after this pause
    std::string also;     // typed together with the key, in the same write
    int sig = 0;          // sent to the tool instead of a key
    int workerSlot = -1;  // or to a station's worker on this slot (native)
    // Native, instead of a key: done with the tool's process and its working
    // directory; or the tool's standard output closed (its reader gone).
    std::function<void(int tool, const std::string& dir)> action;
    bool closeOutput = false;
};

struct Scenario {
    sim::PhoneConfig phone;
    std::vector<std::string> args;  // download's arguments, without the port
    bool addPort = true;            // add /c:<the phone's port>
    bool portByNumber = false;      // under Wine: /<n> for COMn instead of /c:COMn
    std::vector<Key> keys;
    bool closeConsole = false;        // end the console input after the last key
    bool consoleSignals = true;       // the console turns Ctrl-C into SIGINT (else it is a byte)
    std::vector<int> ignoredSignals;  // the tool starts with these ignored, as under nohup
    bool outputOnConsole = false;     // standard output on the console too (a terminal)
    std::map<std::string, std::string> files;  // name -> contents, in the working directory
    bool phoneProcess = false;          // phonesim as a child instead of an in-process thread
    double timeoutSeconds = 60;         // download is killed after this long
    std::vector<std::string> readBack;  // files of the working directory kept after the run
                                        // ("logs/": every file in that folder)
    // Native: NAME=VALUE added to its environment; it in the background; a
    // copy of it run from the working directory; its files' size limit.
    std::vector<std::string> environment;
    bool background = false;
    bool toolCopy = false;
    uint64_t fileSizeLimit = 0;
    // A station: a phone a slot, slots A, B, ... in --ports=, each phone
    // serving stationRuns runs (the scenario's phone is then not used).
    std::vector<sim::PhoneConfig> stationPhones;
    uint32_t stationRuns = 1;
    // Native: the name a slot's device goes by, from its phone's terminal and
    // the working directory (a link that the test makes and removes).
    std::function<std::string(const std::string& device, const std::string& dir)> stationDevice;
};

// What the phone saw, from either kind of phone.
struct PhoneRun {
    bool served = false;  // the tool opened the port
    sim::Verdict verdict;
    sim::Transcript transcript;
    std::vector<sim::ImageRecord> images;
    size_t loaderLines = 0;
    int phonesimStatus = -1;  // phonesim's exit status (child phone only)
};

struct Result {
    std::string output;       // standard output, LF line ends
    std::string errors;       // standard error, LF line ends
    int exitStatus = -1;      // -1 when killed
    uint64_t exitMicros = 0;  // when the tool ended, on the phone's clock (steady, microseconds)
    bool timedOut = false;
    std::string portName;  // what /c: named
    size_t keysTyped = 0;  // keys typed before the tool ended
    PhoneRun phone;

    const sim::Transcript& transcript() const { return phone.transcript; }
    // The FLASH after the run.
    std::string flash(uint32_t address, size_t length) const;
    // Verdict, violations and notes, for failure messages.
    std::string phoneReport() const;
    // Seconds from the last byte on the line (either way) to the tool's end.
    double secondsFromLastByteToExit() const;

    std::map<std::string, std::string>
        files;  // the scenario's readBack files, as the run left them

    std::shared_ptr<sim::PtyServer> server;  // in-process phone
    // A station's phones, slot by slot, and whether each slot's device could
    // be opened again as soon as the tool had ended (nothing held it).
    std::vector<std::shared_ptr<sim::PtyServer>> stationServers;
    std::vector<bool> stationPortsFree;
    std::string flashDump;  // child phone: the whole device from its base
    uint32_t flashBase = 0;
};

Result run(const Scenario& scenario);      // native download
Result runWine(const Scenario& scenario);  // download.exe under Wine

std::string nativeExe();
std::string windowsExe();

// One small image (a.bin, 3000 bytes) and the loader in the working
// directory, a phone that announces itself every 20 ms.
Scenario smallRun(double timeoutSeconds = 40);

// Sample files.
std::string sampleLoader();
std::string crcImage(size_t size, uint32_t seed = 1);
std::string blockImage(const std::string& pattern);

// The processes whose parent is `parent`.
std::vector<int> childProcesses(int parent);

// Counts occurrences of a text.
size_t count(const std::string& haystack, const std::string& needle);

}  // namespace e2e
