#include "station/station.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "app/command_line.h"
#include "app/console.h"
#include "app/image.h"
#include "app/loader.h"
#include "app/run_state.h"
#include "platform/files.h"
#include "platform/keyboard.h"
#include "platform/process.h"
#include "platform/sha256.h"
#include "platform/terminal.h"
#include "station/display.h"
#include "station/phone.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t wallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string clockText(double seconds) {
    char text[24];
    const auto whole = static_cast<long>(seconds);
    std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    return text;
}

// How long a worker may say nothing in each stage before it counts as hung:
// the longest wait of the stage without an event (the erase's 45 s, the
// boot ROM's replies one after another), with a margin; the wait for a phone
// has none.
double silenceLimit(const std::string& stage) {
    if (stage.empty()) return 30;  // starting, opening its port
    if (stage == "irom") return 40;
    if (stage == "loader-upload") return 15;
    if (stage == "loader") return 30;
    if (stage == "image") return 80;
    if (stage == "end") return 20;
    return 0;
}

// A worker that was asked to stop and has not ended by then is ended.
constexpr double kStopGraceSeconds = 10;

struct Slot {
    std::string name;
    std::string device;
    int32_t verified = 0;
    int32_t failed = 0;
    int32_t workers = 0;  // started on this slot: the next phone's number
    int32_t phones = 0;   // that announced themselves
    std::vector<PhoneRecord> failures;
    bool done = false;
    std::string unusable;  // why the slot takes no phone ("" when it does)
    // The current worker and its phone.
    Worker* worker = nullptr;
    std::string pending;  // a line not yet whole
    PhoneRecord phone;
    int64_t workerWallMs = 0;
    Clock::time_point phoneStart;
    Clock::time_point lastWord;
    std::string stage;
    std::string state = "waiting for a phone";
    Json end;  // the worker's end event, null until it came
    std::string lastNote;
    std::string hung;  // why the supervisor ended it
    bool stopAsked = false;
    Clock::time_point stopAskedAt;
    int32_t image = -1;
    Clock::time_point imageStart;
};

struct Station {
    RunConfig config;
    std::vector<std::string> workerArgs;  // without /c: and --events=
    std::vector<ImageFacts> images;       // as the station's own checks found them
    std::vector<Slot> slots;
    OutputFile journal = kNoOutputFile;
    Clock::time_point start = Clock::now();
    bool stopping = false;  // no new phones (q)
    bool interrupted = false;
    Clock::time_point lastDraw;
};

std::string tag(const Slot& slot) {
    return "[" + slot.name + "]";
}

void announce(Slot& slot, const std::string& state) {
    slot.state = state;
    if (displayInPlace()) return;
    const std::string phone =
        slot.phone.started ? " phone " + std::to_string(slot.phone.number) + ":" : "";
    displayLine(tag(slot) + phone + " " + state);
}

std::string addressArgument(const char* name, int32_t address) {
    char text[32];
    if (address < 0) {
        std::snprintf(text, sizeof text, ":-0x%" PRIX32, 0U - static_cast<uint32_t>(address));
    } else {
        std::snprintf(text, sizeof text, ":0x%" PRIX32, static_cast<uint32_t>(address));
    }
    return name + std::string(text);
}

// The single run every worker makes, as the command line gave it.
std::vector<std::string> workerArguments(const RunConfig& c, const std::string& self) {
    std::vector<std::string> args = {self};
    for (int32_t i = 0; i < c.imageCount; ++i)
        args.push_back(addressArgument(c.imageNames[i], c.imageAddresses[i]));
    args.push_back(c.target == TargetRb7      ? "/t:rb7"
                   : c.target == TargetRb7Dsp ? "/t:rb7dsp"
                                              : "/t:k52");
    args.push_back(c.linkMode == LinkDongle ? "/d" : "/w");
    args.push_back(c.loaderSearch == 1 ? "/l" : "/p");
    if (c.loaderName != nullptr) args.push_back(std::string("/f:") + c.loaderName);
    if (c.skipEnqWait) args.push_back("/h");
    if (c.downloadSpeed == 230400) args.push_back("/s:230");
    if (c.downloadSpeed == 460800) args.push_back("/s:460");
    if (c.progress) args.push_back("--progress");
    // The images' questions were answered once for every phone; the phone's
    // own question (bank size) by --answers, no unless it says otherwise.
    const char bank = c.answers[QuestionBank] != '\0' ? c.answers[QuestionBank] : 'n';
    args.push_back(std::string("--answers=signature=yes,overlap=yes,crc=yes,bank=") +
                   (bank == 'y' ? "yes" : "no"));
    return args;
}

std::string fileSha256(const char* path) {
    FILE* file = file_open_regular(path);
    Sha256* digest = file != nullptr ? sha256_begin() : nullptr;
    if (digest == nullptr) {
        if (file != nullptr) std::fclose(file);
        return "";
    }
    static unsigned char buffer[65536];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        sha256_update(digest, buffer, got);
    std::fclose(file);
    uint8_t bytes[kSha256Size];
    if (!sha256_finish(digest, bytes)) return "";
    std::string text;
    for (uint8_t byte : bytes) {
        text += "0123456789abcdef"[byte >> 4];
        text += "0123456789abcdef"[byte & 15];
    }
    return text;
}

// The images, checked once with the classic texts and questions; false when
// one is refused (the station does not start).
bool checkImages(Station& station) {
    RunConfig& config = run().runConfig;
    config = station.config;
    for (int32_t i = 0; i < config.imageCount; ++i) {
        const char* name = config.imageNames[i];
        if (!file_is_regular(name)) {
            FILE* probe = file_open_regular(name);
            if (probe != nullptr) std::fclose(probe);
            consoleNote("%s: %s", name,
                        probe != nullptr ? "not a regular file" : file_open_failure());
            return false;
        }
        const ImageSums sums = checkImage(config, i);  // a "no" ends the process
        ImageFacts facts;
        facts.file = name;
        facts.address = static_cast<uint32_t>(config.imageAddresses[i]);
        facts.size = run().currentImage.size;
        facts.checksum = sums.checksum;
        facts.crc = sums.crc;
        facts.sha256 = fileSha256(name);
        station.images.push_back(facts);
    }
    station.config = config;
    return true;
}

void startWorker(Station& station, Slot& slot) {
    slot.phone = PhoneRecord{};
    slot.phone.number = ++slot.workers;
    slot.phone.images = station.images;
    slot.end = Json();
    slot.pending.clear();
    slot.lastNote.clear();
    slot.hung.clear();
    slot.stage.clear();
    slot.stopAsked = false;
    slot.image = -1;
    std::string eventsPath;
    slot.worker = worker_create(&eventsPath);
    std::string error = "no channel for its events";
    if (station.config.logDir != nullptr) {
        slot.phone.logFile = (std::filesystem::path(station.config.logDir) /
                              (slot.name + "-" + std::to_string(slot.phone.number) + ".log"))
                                 .string();
    }
    std::vector<std::string> args = station.workerArgs;
    args.push_back("/c:" + slot.device);
    args.push_back("--events=" + eventsPath);
    if (slot.worker == nullptr ||
        !worker_start(slot.worker, args,
                      slot.phone.logFile.empty() ? nullptr : slot.phone.logFile.c_str(), &error)) {
        if (slot.worker != nullptr) worker_free(slot.worker);
        slot.worker = nullptr;
        slot.unusable = "the worker did not start: " + error;
        slot.done = true;
        announce(slot, "unusable: " + slot.unusable);
        return;
    }
    slot.workerWallMs = wallMs();
    slot.lastWord = Clock::now();
    announce(slot, "waiting for a phone");
}

// One event of the slot's worker.
void take(Station& station, Slot& slot, const Json& event) {
    const std::string kind = event.value("event", "");
    slot.lastWord = Clock::now();
    PhoneRecord& phone = slot.phone;
    if (kind == "stage") {
        slot.stage = event.value("stage", "");
        if (slot.stage != "enq-wait" && !phone.started) {
            // The phone announced itself (or there is no wait for one).
            phone.started = true;
            ++slot.phones;
            phone.startMs =
                slot.workerWallMs + static_cast<int64_t>(event.value("t", 0.0) * 1000.0);
            slot.phoneStart = Clock::now();
        }
        if (slot.stage == "irom") announce(slot, "boot ROM");
        if ((slot.stage == "loader-upload" || slot.stage == "loader") && slot.state != "loader")
            announce(slot, "loader");
        if (slot.stage == "image") {
            slot.image = event.value("index", 0);
            phone.speed = event.value("speed", phone.speed);
            announce(slot, "image " + std::to_string(slot.image + 1) + "/" +
                               std::to_string(station.images.size()));
        }
    } else if (kind == "phone") {
        phone.iromIdentity = event.value("irom_identity", Json());
        phone.loader = event.value("loader", Json::array());
        phone.flashDevice = event.value("flash_device", Json::array());
    } else if (kind == "image") {
        const size_t i = event.value("index", 0U);
        if (i < phone.images.size()) {
            ImageFacts& image = phone.images[i];
            image.size = event.value("size", image.size);
            image.sha256 = event["sha256"].is_string() ? event["sha256"].get<std::string>() : "";
            image.checksum = event.value("checksum", image.checksum);
            image.crc = event.value("crc", image.crc);
        }
        announce(slot, "erasing");
    } else if (kind == "progress") {
        const double bytes = event.value("bytes", 0.0);
        const double size = event.value("size", 1.0);
        if (slot.state == "erasing") slot.imageStart = Clock::now();
        const double seconds = secondsSince(slot.imageStart);
        char text[96];
        std::snprintf(text, sizeof text, "image %d/%zu  %3.0f%%  %.1f kB/s", slot.image + 1,
                      station.images.size(), size > 0 ? 100.0 * bytes / size : 100.0,
                      seconds > 0.1 ? bytes / seconds / 1000.0 : 0.0);
        slot.state = text;  // no line of its own: progress is no change of state
    } else if (kind == "verdict") {
        const size_t i = event.value("index", 0U);
        if (i < phone.images.size()) {
            phone.images[i].verdict = event.value("result", "");
            phone.images[i].phoneChecksum = event.value("phone_checksum", Json());
            phone.images[i].phoneCrc = event.value("phone_crc", Json());
        }
    } else if (kind == "note") {
        slot.lastNote = event.value("text", "");
    } else if (kind == "end") {
        slot.end = event;
    }
}

// The slot's worker has closed its channel: how the phone ended, its record.
void finishWorker(Station& station, Slot& slot) {
    int status = -1;
    int signal = 0;
    if (!worker_reap(slot.worker, &status, &signal, 5000)) {
        worker_kill(slot.worker);
        worker_reap(slot.worker, &status, &signal, 5000);
    }
    worker_free(slot.worker);
    slot.worker = nullptr;
    PhoneRecord& phone = slot.phone;
    phone.endMs = wallMs();
    if (!slot.end.is_null()) {
        phone.result = slot.end.value("result", "failed");
        phone.exitStatus = slot.end.value("exit_status", Json());
        phone.reason = slot.end.value("reason", "");
    } else {
        phone.result = "failed";
        char text[96];
        if (signal != 0) {
            std::snprintf(text, sizeof text, "the worker ended by signal %d, without its end event",
                          signal);
        } else {
            std::snprintf(text, sizeof text,
                          "the worker ended (exit status %d) without its end event", status);
        }
        phone.reason = text;
    }
    if (!slot.hung.empty()) {
        phone.result = "failed";
        phone.reason = slot.hung;
    }
    if (!phone.started) {
        // No phone came: a slot stopped on purpose, or one that cannot be used.
        if (slot.stopAsked || station.interrupted) {
            announce(slot, "stopped");
        } else {
            slot.unusable = slot.lastNote.empty() ? phone.reason : slot.lastNote;
            announce(slot, "unusable: " + slot.unusable);
        }
        slot.done = true;
        return;
    }
    const double seconds = secondsSince(slot.phoneStart);
    if (phone.result == "verified") {
        ++slot.verified;
        char text[64];
        std::snprintf(text, sizeof text, "verified in %.1f s", seconds);
        announce(slot, text);
    } else {
        ++slot.failed;
        slot.failures.push_back(phone);
        announce(slot, "FAILED: " + phone.reason);
    }
    if (station.journal != kNoOutputFile) {
        const std::string line = journalLine(phone, slot.name, slot.device) + "\n";
        // On the disk before the next phone on this slot starts.
        if (!output_write(station.journal, line.data(), line.size()) ||
            !output_sync(station.journal))
            consoleNote("%s: a record could not be written", station.config.journalFile);
    }
    const int32_t most = station.config.repeat;
    slot.done = station.stopping || most == 0 || (most > 0 && slot.phones >= most);
}

// Reads what the slot's worker sent; true when it has ended.
bool readWorker(Station& station, Slot& slot) {
    char buffer[4096];
    for (;;) {
        const long n = worker_read(slot.worker, buffer, sizeof buffer);
        if (n < 0) return false;
        if (n == 0) break;
        slot.pending.append(buffer, static_cast<size_t>(n));
        for (size_t end; (end = slot.pending.find('\n')) != std::string::npos;) {
            const Json event = Json::parse(slot.pending.substr(0, end), nullptr, false);
            slot.pending.erase(0, end + 1);
            if (!event.is_discarded() && event.is_object()) take(station, slot, event);
        }
    }
    finishWorker(station, slot);
    return true;
}

std::vector<std::string> tableRows(const Station& station) {
    std::vector<std::string> rows;
    int32_t verified = 0;
    int32_t failed = 0;
    for (const Slot& slot : station.slots) {
        verified += slot.verified;
        failed += slot.failed;
        char text[256];
        const bool busy = slot.worker != nullptr && slot.phone.started;
        std::snprintf(text, sizeof text, "%-10s %4d ok %4d failed  %-44s %s", slot.name.c_str(),
                      static_cast<int>(slot.verified), static_cast<int>(slot.failed),
                      slot.state.substr(0, 44).c_str(),
                      busy ? clockText(secondsSince(slot.phoneStart)).c_str() : "");
        rows.push_back(text);
    }
    const std::string status = std::string(station.stopping ? "stopping" : "q: no new phones") +
                               "; station " + clockText(secondsSince(station.start));
    char totals[128];
    std::snprintf(totals, sizeof totals, "%-10s %4d ok %4d failed  %s", "all",
                  static_cast<int>(verified), static_cast<int>(failed), status.c_str());
    rows.push_back(totals);
    return rows;
}

void summary(const Station& station) {
    displayEnd();
    consoleWrite("\nStation summary\n");
    int32_t verified = 0;
    int32_t failed = 0;
    for (const Slot& slot : station.slots) {
        verified += slot.verified;
        failed += slot.failed;
        consolePrint("  %s (%s): %d verified, %d failed%s%s\n", slot.name.c_str(),
                     slot.device.c_str(), static_cast<int>(slot.verified),
                     static_cast<int>(slot.failed),
                     slot.unusable.empty() ? "" : "; unusable: ", slot.unusable.c_str());
        for (const PhoneRecord& phone : slot.failures) {
            consolePrint("    phone %d: %s%s%s%s\n", static_cast<int>(phone.number),
                         phone.result.c_str(), phone.reason.empty() ? "" : ": ",
                         phone.reason.c_str(),
                         phone.logFile.empty() ? "" : (" (log " + phone.logFile + ")").c_str());
        }
    }
    consolePrint("  all: %d verified, %d failed in %s\n", static_cast<int>(verified),
                 static_cast<int>(failed), clockText(secondsSince(station.start)).c_str());
}

// Stops and watchdogs: what the supervisor does between events.
void supervise(Station& station) {
    const auto now = Clock::now();
    if (stop_requested() && !station.interrupted) {
        // Ctrl-C: every worker stops now, through its own way out.
        station.interrupted = station.stopping = true;
        for (Slot& slot : station.slots) {
            if (slot.worker == nullptr) continue;
            worker_stop(slot.worker, true);
            slot.stopAsked = true;
            slot.stopAskedAt = now;
        }
    }
    for (Slot& slot : station.slots) {
        if (slot.worker == nullptr) continue;
        if (slot.stopAsked) {
            if (std::chrono::duration<double>(now - slot.stopAskedAt).count() > kStopGraceSeconds)
                worker_kill(slot.worker);
            continue;
        }
        if (station.stopping && !slot.phone.started) {
            // q: a slot that waits for a phone stops at once.
            worker_stop(slot.worker, false);
            slot.stopAsked = true;
            slot.stopAskedAt = now;
            continue;
        }
        const double limit = silenceLimit(slot.stage);
        const double silent = std::chrono::duration<double>(now - slot.lastWord).count();
        if (limit > 0 && silent > limit && slot.hung.empty()) {
            char text[160];
            std::snprintf(text, sizeof text, "no word from the worker for %.0f s in stage %s",
                          limit, slot.stage.empty() ? "start" : slot.stage.c_str());
            slot.hung = text;
            worker_stop(slot.worker, false);
            slot.stopAsked = true;
            slot.stopAskedAt = now;
        }
    }
}

void readKeys(Station& station) {
    while (key_pressed()) {
        const int key = consoleReadKey();
        if (key == 'q' || key == 'Q') station.stopping = true;
        if (key < 0) break;
    }
}

}  // namespace

bool isStationLine(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--ports=", 8) == 0) return true;
    return false;
}

int runStation(int argc, char** argv) {
    consoleInit();
    Station station;
    CommandLineError error;
    const bool valid = parseCommandLine(argc, argv, station.config, &error);
    printRule('-');
    consoleWrite("TALVIREN GSM FLASH DOWNLOAD\n");
    consolePrint("Version: %s (%s)\n", kVersionText, kDateText);
    printRule('-');
    if (!valid) {
        consoleNote("%s", error.text);
        printUsage();
        return kExitAbort;
    }
    if (!openFlashLoader(station.config) || !checkImages(station)) return kExitAbort;
    if (station.config.logDir != nullptr) {
        std::error_code failure;
        std::filesystem::create_directories(station.config.logDir, failure);
        if (failure) {
            consoleNote("%s: %s", station.config.logDir, failure.message().c_str());
            return kExitAbort;
        }
    }
    if (station.config.journalFile != nullptr) {
        station.journal = output_open_append(station.config.journalFile);
        if (station.journal == kNoOutputFile) {
            consoleNote("%s: the journal cannot be written", station.config.journalFile);
            return kExitAbort;
        }
    }
    station.workerArgs = workerArguments(station.config, program_path(argv[0]));
    for (int32_t i = 0; i < station.config.slotCount; ++i) {
        Slot slot;
        slot.name = station.config.slots[i].name;
        slot.device = station.config.slots[i].device;
        station.slots.push_back(slot);
    }
    consoleWrite("\n");
    displayStart();
    stop_requests_catch();
    for (Slot& slot : station.slots)
        startWorker(station, slot);

    for (;;) {
        bool active = false;
        std::vector<Worker*> workers;
        for (Slot& slot : station.slots) {
            if (slot.worker == nullptr && !slot.done && slot.unusable.empty() && !station.stopping)
                startWorker(station, slot);
            workers.push_back(slot.worker);
            active = active || slot.worker != nullptr;
        }
        if (!active) break;
        if (displayInPlace() && secondsSince(station.lastDraw) >= 0.25) {
            displayTable(tableRows(station));
            station.lastDraw = Clock::now();
        }
        wait_for_workers(workers.data(), workers.size(), true, 250);
        readKeys(station);
        for (Slot& slot : station.slots)
            if (slot.worker != nullptr) readWorker(station, slot);
        supervise(station);
    }
    displayTable(tableRows(station));
    summary(station);
    output_close(station.journal);
    if (station.interrupted) return kExitInterrupted;
    for (const Slot& slot : station.slots)
        if (slot.failed > 0 || !slot.unusable.empty()) return kExitVerifyFailed;
    return kExitSuccess;
}
