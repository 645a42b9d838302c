// The run configuration and the command-line parser that fills it.
#pragma once

#include <cstddef>
#include <cstdint>

enum Target : int32_t { TargetRb7 = 0, TargetRb7Dsp = 1, TargetK52 = 2 };
enum LinkMode : int32_t { LinkWire = 0, LinkDongle = 1 };

constexpr int32_t kMaxImages = 10;

// The yes/no questions, by what they check.
enum Question : int32_t {
    QuestionSignature = 0,
    QuestionOverlap = 1,
    QuestionCrc = 2,
    QuestionBank = 3,
};
constexpr int32_t kQuestionKinds = 4;

// When the station rings the terminal's bell (--bell=).
enum class Bell : int32_t { Default, Fail, All, None };

// A station's slot (--ports): a serial device and the name its phones go by.
constexpr int32_t kMaxSlots = 32;
struct StationSlot {
    const char* name;
    const char* device;
};
// A station's name for a slot is screen text and part of file names.
constexpr size_t kMaxSlotName = 64;
// A file the station checked (--expect): a worker refuses it unless it is
// still this size and has this SHA-256 (lower-case hex).
struct ExpectedFile {
    bool given;
    int64_t size;
    char sha256[65];
};
constexpr int32_t kDefaultImageAddress = 0x400000;
constexpr int32_t kBaseSpeed = 115200;

struct RunConfig {
    const char* imageNames[kMaxImages];
    int32_t imageAddresses[kMaxImages];
    int32_t imageLastAddresses[kMaxImages];
    int32_t imageCount;
    int32_t portIndex;
    Target target;
    LinkMode linkMode;
    int32_t loaderSearch;  // 0 and 2: full search, 1: current directory only
    const char* loaderName;
    int32_t downloadSpeed;
    const char* deviceName;  // /c:DEVICE, overrides the port index when set
    bool skipEnqWait;        // /h: no wait for the phone's ENQ (the run copies it)
    // Extensions, the long options.
    bool showHelp;          // --help, -h: the help text, nothing else
    bool showVersion;       // --version
    bool progress;          // --progress: one progress line instead of glyph rows
    const char* traceFile;  // --trace=FILE
    // --answers: per question 'y' or 'n', given without the console; 0 asks.
    char answers[kQuestionKinds];
    const char* eventsFile;  // --events=FILE
    bool listPorts;          // --list-ports: the serial devices, nothing else
    // The station (--ports): its slots, the phones per slot (0: one, -1: until
    // stopped; --repeat), its journal and its folder of logs.
    StationSlot slots[kMaxSlots];
    int32_t slotCount;
    int32_t repeat;
    const char* journalFile;
    const char* logDir;
    // --expect=loader|N:SIZE:SHA256 (the station's workers).
    ExpectedFile expectedLoader;
    ExpectedFile expectedImages[kMaxImages];
    // A production job: made (--make-job=FILE, named --job-name=TEXT) or run
    // (--job=FILE, which gives the images, loader, target, mode, speed and
    // the images' answers).
    const char* makeJobFile;
    const char* jobName;
    const char* jobFile;
    // A station's signals: failures in a row that quarantine a slot (0 never,
    // -1 the default: 3 with --repeat), the bell, a command after each record.
    int32_t quarantine;
    Bell bell;
    const char* onResult;
    // Driven and watched from the line: the control port (--control=HOST:PORT),
    // its token (--control-token=FILE, also the status page's), the status
    // page (--status-page=HOST:PORT).
    const char* control;
    const char* controlToken;
    const char* statusPage;
};

// Why a command line is invalid: the argument at fault and the reason, as one
// line for standard error.
struct CommandLineError {
    char text[256];
};

// One entry of the image list: entry i of the three image arrays.
struct DownloadImage {
    const char* name;
    int32_t address;
    int32_t lastAddress;
};
DownloadImage imageAt(const RunConfig& config, int32_t index);
// Whether --answers answers any question: nobody is at the console.
bool answersGiven(const RunConfig& config);

// Fills config from the arguments, and nothing else; true when
// the line is valid, else the reason in *error (when given). Image arguments
// with an address are cut at their colon in place; the station's slots are
// copied (its line stays as typed). Prints nothing.
bool parseCommandLine(int argc, char** argv, RunConfig& config, CommandLineError* error = nullptr);

// This tool's own version (not the classic one its banner shows).
const char* toolVersion();

void printUsage();
// --help: every option, classic and extension, the exit statuses, examples.
void printHelp();
// --version: the version and the build.
void printVersion();

// Reads text the way a 32-bit strtol with base 16 does: white space, sign,
// optional 0x, hex digits; out-of-range values clamp to the int32 limits.
int32_t parseHexAddress(const char* text);
