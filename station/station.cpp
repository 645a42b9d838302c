#include "station/station.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "app/console.h"
#include "app/loader.h"
#include "app/run_state.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/terminal.h"
#include "station/control.h"
#include "station/inputs.h"
#include "station/job.h"
#include "station/journal.h"
#include "station/plain_lines.h"
#include "station/signals.h"
#include "station/status_page.h"
#include "station/supervisor.h"
#include "station/table.h"

namespace {

std::string clockText(double seconds) {
    char text[24];
    const auto whole = static_cast<long>(seconds);
    std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    return text;
}

void summary(const Station& station) {
    if (consoleOutputLost()) return;
    consoleWrite("\nStation summary\n");
    if (!station.identity.jobName.empty()) consolePrint("  %s\n", jobText(station).c_str());
    const auto interruptedText = [](int32_t n) {
        return n > 0 ? ", " + std::to_string(n) + " interrupted" : std::string();
    };
    for (const Slot& slot : station.slots) {
        consolePrint(
            "  %s (%s): %d verified, %d failed%s%s%s\n", slot.name.c_str(),
            screenText(slot.device).c_str(), static_cast<int>(slot.verified),
            static_cast<int>(slot.failed), interruptedText(slot.interrupted).c_str(),
            slot.unusable.empty() ? "" : "; unusable: ", screenText(slot.unusable).c_str());
        if (slot.quarantined) consolePrint("    %s\n", screenText(slot.state).c_str());
        if (slot.noAdapter) consoleWrite("    no adapter\n");
        for (const PhoneRecord& phone : slot.unfinished) {
            consolePrint("    phone %d: %s%s%s%s\n", static_cast<int>(phone.number),
                         phone.result.c_str(), phone.reason.empty() ? "" : ": ",
                         screenText(phone.reason).c_str(),
                         phone.logFile.empty() ? "" : (" (log " + phone.logFile + ")").c_str());
        }
    }
    const int64_t ms = steadyMs() - station.startMs;
    const auto [verified, failed, interrupted] = stationCounts(station);
    consolePrint("  all: %d verified, %d failed%s in %s%s\n", static_cast<int>(verified),
                 static_cast<int>(failed), interruptedText(interrupted).c_str(),
                 clockText(static_cast<double>(ms) / 1000.0).c_str(),
                 yieldText(verified, failed, ms).c_str());
    if (!station.halt.empty())
        consolePrint("  no new phones after: %s\n", screenText(station.halt).c_str());
}

}  // namespace

PhoneCounts stationCounts(const Station& station) {
    PhoneCounts counts;
    for (const Slot& slot : station.slots) {
        counts.verified += slot.verified;
        counts.failed += slot.failed;
        counts.interrupted += slot.interrupted;
    }
    return counts;
}

int stationExitStatus(const Station& station) {
    if (!station.stopCause.empty()) return kExitInterrupted;
    // It stopped by itself: its files changed, or a record could not be kept.
    if (!station.halt.empty()) return kExitAbort;
    for (const Slot& slot : station.slots)
        if (slot.failed > 0 || !slot.unusable.empty()) return kExitVerifyFailed;
    return kExitSuccess;
}

OutputFile createLog(const Station& station, const Slot& slot, int32_t number, const char* kind,
                     std::string* path, std::string* error) {
    std::string name = slot.name;
    for (char& c : name)
        if (!path_char_allowed(c)) c = '_';
    const std::string base = (std::filesystem::path(station.config.logDir) /
                              (name + "-" + station.logStamp + "-" + std::to_string(number)))
                                 .string();
    for (int attempt = 1; attempt <= 100; ++attempt) {
        *path = base;
        if (attempt > 1) *path += '.' + std::to_string(attempt);
        *path += kind;
        bool exists = false;
        const OutputFile log = output_create_new(path->c_str(), &exists);
        if (log != kNoOutputFile) return log;
        if (!exists) break;
    }
    *error = *path + ": " + output_failure();
    return kNoOutputFile;
}

namespace {

// The control port and the status page, as asked for.
bool openControl(Station& station, std::string* token, ControlPort* control, StatusPage* page) {
    const RunConfig& config = station.config;
    std::string trouble;
    if (config.controlToken != nullptr) trouble = readControlToken(config.controlToken, token);
    if (trouble.empty() && config.control != nullptr)
        trouble = control->open(config.control, *token);
    if (trouble.empty() && config.statusPage != nullptr)
        trouble = page->open(config.statusPage, *token, config.journalFile, station);
    if (!trouble.empty()) consoleNote("%s", trouble.c_str());
    return trouble.empty();
}

// The folder for the logs, made when missing.
bool makeLogDir(const char* dir) {
    std::error_code failure;
    std::filesystem::create_directories(dir, failure);
    if (failure) consoleNote("%s: %s", dir, failure.message().c_str());
    return !failure;
}

}  // namespace

std::string jobText(const Station& station) {
    return "job " + station.identity.jobName + " (" + station.identity.jobSha256.substr(0, 12) +
           ")";
}

std::string yieldText(int32_t verified, int32_t failed, int64_t ms) {
    if (verified + failed == 0) return "";
    char text[64];
    std::snprintf(text, sizeof text, "; yield %.1f%%, %.0f phones/h",
                  100.0 * verified / (verified + failed),
                  ms > 0 ? (verified + failed) * 3600000.0 / static_cast<double>(ms) : 0.0);
    return text;
}

int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t wallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

int32_t phonesBeingFlashed(const Station& station) {
    int32_t n = 0;
    for (const Slot& slot : station.slots)
        n += slot.busy && slot.phone.started ? 1 : 0;
    return n;
}

bool isStationLine(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--ports=", 8) == 0) return true;
    return false;
}

int runStation(int argc, char** argv) {
    // A closed standard output (| tee, then Ctrl-C) or a shell's background
    // must not end a station with phones being flashed.
    terminal_keep_running();
    consoleInit();
    Station station;
    CommandLineError error;
    const bool valid = parseCommandLine(argc, argv, station.config, &error);
    printBanner();
    if (!valid) {
        consoleNote("%s", error.text);
        printUsage();
        // Again where it can still be read: the usage fills a screen.
        consoleNote("%s", error.text);
        return kExitAbort;
    }
    Job job;
    if (station.config.jobFile != nullptr) {
        // The job's line: its files checked first, then parsed as if typed.
        if (const std::string why = takeJob(station.config.jobFile, &job); !why.empty()) {
            consoleNote("%s", why.c_str());
            return kExitAbort;
        }
        int count = 0;
        char** line = jobLine(job, argc, argv, &count);
        if (!parseCommandLine(count, line, station.config, &error)) {
            consoleNote("%s", error.text);
            return kExitAbort;
        }
        station.identity.jobName = job.name;
        station.identity.jobSha256 = job.sha256;
        consolePrint("\n%s\n", jobText(station).c_str());
    }
    if (!openFlashLoader(station.config) || !checkInputs(station) || !outputsAreNoInputs(station))
        return kExitAbort;
    // Driven and watched from the line: listening before any phone's port opens.
    std::string token;
    ControlPort control;
    StatusPage page;
    if (!openControl(station, &token, &control, &page)) return kExitAbort;
    if (station.config.logDir != nullptr && !makeLogDir(station.config.logDir)) return kExitAbort;
    Journal journal;
    if (station.config.journalFile != nullptr) {
        const std::string trouble = journal.open(station.config.journalFile);
        if (!trouble.empty()) {
            consoleNote("%s", trouble.c_str());
            return kExitAbort;
        }
    }
    const int64_t started = wallMs();
    station.logStamp = localTime(started, "%Y%m%d-%H%M%S");  // in the logs' names
    station.identity.version = toolVersion();
    station.identity.host = host_name();
    station.identity.station = station.logStamp + "-" + std::to_string(process_id());
    station.program = program_self(argv[0]);
    station.workerArgs = workerArguments(station, program_path(argv[0]));
    for (int32_t i = 0; i < station.config.slotCount; ++i) {
        Slot slot;
        slot.name = station.config.slots[i].name;
        slot.device = station.config.slots[i].device;
        const int32_t quarantine = station.config.quarantine;
        slot.quarantineAfter = quarantine >= 0 ? quarantine : station.config.repeat != 0 ? 3 : 0;
        station.slots.push_back(slot);
    }
    consoleWrite("\n");
    const bool inPlace = terminal_output_is_console() && terminal_escapes();
    // NO_COLOR set to anything but "" turns colour off.
    const char* noColour = std::getenv("NO_COLOR");
    TerminalTable table(inPlace && (noColour == nullptr || noColour[0] == '\0'));
    PlainLines lines;
    // The bell on a terminal unless told otherwise: a log gets no BEL bytes.
    Bell bell = station.config.bell;
    if (bell == Bell::Default) bell = terminal_output_is_console() ? Bell::Fail : Bell::None;
    BellSignal ringer(bell);
    const std::vector<StationObserver*> observers = {
        &journal, inPlace ? static_cast<StationObserver*>(&table) : &lines, &ringer, &control,
        &page};
    stop_requests_catch();
    station.startMs = steadyMs();
    superviseStation(station, observers, control.isOpen() ? &control : nullptr);
    summary(station);
    stop_requests_done();
    return stationExitStatus(station);
}
