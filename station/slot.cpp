#include "station/slot.h"

#include <cstdio>
#include <cstring>

#include "station/fields.h"

namespace {

// What is kept of a worker's texts: its lines are input, however long.
constexpr size_t kMaxText = 1024;
constexpr size_t kMaxNotes = 16;
constexpr size_t kMaxPhoneLines = 64;

// A field's value when it has the type asked for; nothing otherwise.
std::string text(const Json& event, const char* key) {
    const auto it = event.find(key);
    if (it == event.end() || !it->is_string()) return "";
    const std::string& value = it->get_ref<const std::string&>();
    return value.size() > kMaxText ? value.substr(0, kMaxText) : value;
}

bool number(const Json& event, const char* key, double* out) {
    const auto it = event.find(key);
    if (it == event.end() || !it->is_number()) return false;
    *out = it->get<double>();
    return true;
}

// A number the phone reported, or null: anything else is taken as null.
Json reported(const Json& event, const char* key, int64_t high) {
    int64_t value = 0;
    return integer(event, key, 0, high, &value) ? Json(value) : Json();
}

// The phone's lines: a list of texts, nothing else.
bool lines(const Json& event, const char* key, Json* out) {
    const auto it = event.find(key);
    if (it == event.end() || !it->is_array() || it->size() > kMaxPhoneLines) return false;
    Json kept = Json::array();
    for (const Json& line : *it) {
        if (!line.is_string()) return false;
        const std::string& value = line.get_ref<const std::string&>();
        kept.push_back(value.size() > kMaxText ? value.substr(0, kMaxText) : value);
    }
    *out = kept;
    return true;
}

// The image an event names, when the run has it.
ImageFacts* imageOf(Slot& slot, const Json& event, int64_t* index) {
    const auto count = static_cast<int64_t>(slot.phone.images.size());
    if (!integer(event, "index", 0, count - 1, index)) return nullptr;
    return &slot.phone.images[static_cast<size_t>(*index)];
}

void say(Slot& slot, const std::string& state) {
    slot.state = state;
    slot.news.push_back(slotLine(slot, state));
}

std::string imageText(const Slot& slot) {
    return "image " + std::to_string(slot.image + 1) + "/" +
           std::to_string(slot.phone.images.size());
}

void takeStage(Slot& slot, const Json& event, int64_t nowMs) {
    const std::string stage = text(event, "stage");
    if (stage.empty()) return;
    PhoneRecord& phone = slot.phone;
    slot.stage = phone.stage = stage;
    if (stage != "enq-wait" && !phone.started) {
        // The phone announced itself (or there is no wait for one).
        phone.started = true;
        ++slot.phones;
        double t = 0;
        if (!number(event, "t", &t) || t < 0 || t > 1e7) t = 0;
        phone.startMs = slot.workerWallMs + static_cast<int64_t>(t * 1000.0);
        slot.phoneStartMs = nowMs;
        phone.label = slot.label;  // given while the slot waited for it
        slot.label.clear();
    }
    if (stage == "irom") say(slot, "boot ROM");
    if ((stage == "loader-upload" || stage == "loader") && slot.state != "loader")
        say(slot, "loader");
    int64_t index = 0;
    if (stage == "image" && imageOf(slot, event, &index) != nullptr) {
        slot.image = static_cast<int32_t>(index);
        slot.fraction = -1;
        int64_t speed = 0;
        if (integer(event, "speed", 1, INT32_MAX, &speed))
            phone.speed = static_cast<int32_t>(speed);
        say(slot, imageText(slot));
    }
}

void takeProgress(Slot& slot, const Json& event, int64_t nowMs) {
    double bytes = 0;
    double size = 0;
    if (slot.image < 0 || !number(event, "bytes", &bytes) || !number(event, "size", &size) ||
        bytes < 0 || size < 0)
        return;
    if (slot.fraction < 0) slot.imageStartMs = nowMs;
    slot.fraction = size > 0 ? (bytes < size ? bytes / size : 1.0) : 1.0;
    const double seconds = static_cast<double>(nowMs - slot.imageStartMs) / 1000.0;
    char rate[96];
    std::snprintf(rate, sizeof rate, "  %3.0f%%  %.1f kB/s", 100.0 * slot.fraction,
                  seconds > 0.1 ? bytes / seconds / 1000.0 : 0.0);
    slot.state = imageText(slot) + rate;  // no line of its own: progress is no change of state
}

void takeEvent(Slot& slot, const Json& event, int64_t nowMs) {
    const std::string kind = text(event, "event");
    PhoneRecord& phone = slot.phone;
    int64_t index = 0;
    if (kind == "stage") {
        takeStage(slot, event, nowMs);
    } else if (kind == "phone") {
        int64_t identity = 0;
        if (integer(event, "irom_identity", INT32_MIN, INT32_MAX, &identity))
            phone.iromIdentity = identity;
        lines(event, "loader", &phone.loader);
        lines(event, "flash_device", &phone.flashDevice);
    } else if (ImageFacts* image = kind == "image" ? imageOf(slot, event, &index) : nullptr) {
        int64_t value = 0;
        if (integer(event, "size", 0, INT32_MAX, &value)) image->size = value;
        image->sha256 = text(event, "sha256");
        if (integer(event, "checksum", 0, UINT32_MAX, &value))
            image->checksum = static_cast<uint32_t>(value);
        if (integer(event, "crc", 0, UINT16_MAX, &value)) image->crc = static_cast<uint16_t>(value);
        slot.fraction = -1;
        say(slot, "erasing");
    } else if (kind == "progress") {
        takeProgress(slot, event, nowMs);
    } else if (ImageFacts* image = kind == "verdict" ? imageOf(slot, event, &index) : nullptr) {
        const std::string verdict = text(event, "result");
        if (!verdict.empty()) image->verdict = verdict;
        image->phoneChecksum = reported(event, "phone_checksum", UINT32_MAX);
        image->phoneCrc = reported(event, "phone_crc", UINT16_MAX);
    } else if (kind == "question") {
        // --answers repeats its answer as a note: no cause of anything.
        if (text(event, "by") == "answers")
            slot.answerEcho = "answered " + text(event, "answer") + " by --answers";
    } else if (kind == "note") {
        const std::string note = text(event, "text");
        if (!slot.answerEcho.empty() && note == slot.answerEcho) {
            slot.answerEcho.clear();
        } else if (!note.empty() && slot.notes.size() < kMaxNotes) {
            slot.notes.push_back(note);
        }
    } else if (kind == "input-changed") {
        const std::string file = text(event, "file");
        slot.inputChanged = (file.empty() ? std::string("an input") : file) +
                            " is not the file the station checked";
    } else if (kind == "end") {
        slot.ended = true;
        const std::string result = text(event, "result");
        const bool known = result == "verified" || result == "failed" || result == "stopped" ||
                           result == "interrupted";
        phone.result = known ? result : "failed";
        int64_t status = 0;
        phone.exitStatus = integer(event, "exit_status", 0, 255, &status) ? Json(status) : Json();
        phone.reason = text(event, "reason");
        phone.flash = text(event, "flash");
    }
}

void takeLine(Slot& slot, const std::string& line, int64_t nowMs) {
    const Json event = Json::parse(line, nullptr, false);
    if (event.is_discarded() || !event.is_object()) return;
    slot.lastWordMs = nowMs;
    takeEvent(slot, event, nowMs);
}

std::string joined(const std::vector<std::string>& texts) {
    std::string all;
    for (const std::string& text : texts)
        all += (all.empty() ? "" : "; ") + text;
    return all;
}

}  // namespace

double silenceLimitSeconds(const std::string& stage) {
    if (stage.empty()) return 30;  // starting, opening its port
    if (stage == "irom") return 40;
    if (stage == "loader-upload") return 15;
    if (stage == "loader") return 30;
    if (stage == "image") return 80;
    if (stage == "end") return 20;
    return 0;
}

void slotAdapterGone(Slot& slot) {
    slot.noAdapter = true;
    slot.done = false;
    slot.unusable.clear();
    slot.state = "no adapter";  // the slot's, not its last phone's
    slot.news.push_back(slot.state);
}

std::string slotAdapterSeen(Slot& slot, const Json& adapter) {
    slot.noAdapter = false;
    const auto serial = [](const Json& a) {
        return a.is_object() && a.contains("serial") && a["serial"].is_string()
                   ? a["serial"].get<std::string>()
                   : std::string();
    };
    const std::string was = serial(slot.adapter);
    const std::string now = serial(adapter);
    slot.adapter = adapter;
    if (was.empty() || now.empty() || was == now) return "";
    return slot.name + ": adapter changed: serial number " + now + " (was " + was + ")";
}

bool slotRelease(Slot& slot) {
    if (!slot.quarantined) return false;
    slot.quarantined = false;
    slot.failuresInRow = 0;
    slot.news.push_back("released: takes phones again");
    slot.state = "waiting for a phone";
    return true;
}

bool slotPause(Slot& slot) {
    if (slot.paused) return false;
    slot.paused = true;
    if (!slot.busy && !slot.done) slot.state = "paused";
    slot.news.push_back("paused: takes no new phone");
    return true;
}

bool slotResume(Slot& slot) {
    if (!slot.paused) return false;
    slot.paused = false;
    if (!slot.busy && !slot.done && !slot.quarantined) slot.state = "waiting for a phone";
    slot.news.push_back("resumed: takes phones again");
    return true;
}

void slotLabel(Slot& slot, const std::string& label) {
    if (slot.busy && slot.phone.started)
        slot.phone.label = label;
    else
        slot.label = label;
}

const std::string& slotLabelNow(const Slot& slot) {
    return slot.busy && slot.phone.started ? slot.phone.label : slot.label;
}

std::string slotLine(const Slot& slot, const std::string& state) {
    if (!slot.phone.started) return state;
    const std::string& label = slot.phone.label;
    return "phone " + std::to_string(slot.phone.number) +
           (label.empty() ? "" : " [" + label + "]") + ": " + state;
}

void slotWorkerStarted(Slot& slot, const std::vector<ImageFacts>& images,
                       const std::string& logFile, int64_t nowMs, int64_t wallMs) {
    slot.phone = PhoneRecord{};
    slot.phone.number = ++slot.workers;
    slot.phone.images = images;
    slot.phone.logFile = logFile;
    slot.phone.adapter = slot.adapter;
    slot.busy = true;
    slot.pending.clear();
    slot.skipping = false;
    slot.workerWallMs = wallMs;
    slot.phoneStartMs = nowMs;
    slot.lastWordMs = nowMs;
    slot.stage.clear();
    slot.image = -1;
    slot.fraction = -1;
    slot.ended = false;
    slot.notes.clear();
    slot.answerEcho.clear();
    slot.stop = SlotStop::None;
    slot.stopCause.clear();
    slot.killedMs = -1;
    say(slot, "waiting for a phone");
}

void slotWorkerFailed(Slot& slot, const std::string& why) {
    slot.unusable = "the worker did not start: " + why;
    slot.done = true;
    say(slot, "unusable: " + slot.unusable);
}

void slotFeed(Slot& slot, const char* data, size_t size, int64_t nowMs) {
    for (size_t start = 0; start < size;) {
        const auto* newline =
            static_cast<const char*>(std::memchr(data + start, '\n', size - start));
        const size_t end = newline != nullptr ? static_cast<size_t>(newline - data) : size;
        if (slot.skipping) {
            slot.skipping = newline == nullptr;
        } else {
            slot.pending.append(data + start, end - start);
            if (slot.pending.size() > kMaxEventLine) {
                slot.pending.clear();
                slot.skipping = newline == nullptr;
                slot.lastWordMs = nowMs;
                slot.news.push_back("a line of its worker over 64 KiB was dropped");
            } else if (newline != nullptr) {
                takeLine(slot, slot.pending, nowMs);
                slot.pending.clear();
            }
        }
        start = end + 1;
    }
}

bool slotInterrupt(Slot& slot, const std::string& cause, int64_t nowMs) {
    if (!slot.busy || slot.stop != SlotStop::None) return false;
    slot.stop = SlotStop::Interrupt;
    slot.stopCause = cause;
    slot.stopAskedMs = nowMs;
    return true;
}

SlotAction slotTick(Slot& slot, int64_t nowMs, bool stationStopping) {
    if (!slot.busy) return SlotAction::None;
    if (slot.killedMs >= 0) {
        return static_cast<double>(nowMs - slot.killedMs) / 1000.0 > kAbandonSeconds
                   ? SlotAction::Abandon
                   : SlotAction::None;
    }
    if (slot.stop != SlotStop::None) {
        if (static_cast<double>(nowMs - slot.stopAskedMs) / 1000.0 <= kStopGraceSeconds)
            return SlotAction::None;
        slot.killedMs = nowMs;
        return SlotAction::Kill;
    }
    if ((stationStopping || slot.paused) && !slot.phone.started) {
        // q or a pause: a slot that waits for a phone stops at once.
        slot.stop = stationStopping ? SlotStop::Quiet : SlotStop::Pause;
        slot.stopAskedMs = nowMs;
        return SlotAction::Stop;
    }
    const double limit = silenceLimitSeconds(slot.stage);
    if (limit > 0 && static_cast<double>(nowMs - slot.lastWordMs) / 1000.0 > limit) {
        char text[160];
        std::snprintf(text, sizeof text, "no word from the worker for %.0f s in stage %s", limit,
                      slot.stage.empty() ? "start" : slot.stage.c_str());
        slot.stop = SlotStop::Watchdog;
        slot.stopCause = text;
        slot.stopAskedMs = nowMs;
        return SlotAction::Stop;
    }
    return SlotAction::None;
}

bool slotWorkerEnded(Slot& slot, const WorkerExit& how, int64_t nowMs, int64_t wallMs,
                     int32_t repeat, bool stationStopping) {
    // A last line without its line end is still a whole event.
    if (!slot.skipping && !slot.pending.empty()) takeLine(slot, slot.pending, nowMs);
    slot.pending.clear();
    slot.skipping = false;
    slot.busy = false;
    PhoneRecord& phone = slot.phone;
    phone.endMs = wallMs;
    phone.seconds = phone.started ? static_cast<double>(nowMs - slot.phoneStartMs) / 1000.0 : 0.0;
    phone.cause = joined(slot.notes);
    if (!slot.ended || how.abandoned) {
        phone.result = "failed";
        phone.exitStatus = how.status >= 0 && !how.abandoned ? Json(how.status) : Json();
        char text[96];
        if (how.abandoned) {
            std::snprintf(text, sizeof text, "the worker could not be ended");
        } else if (how.signal != 0) {
            std::snprintf(text, sizeof text, "the worker ended by signal %d, without its end event",
                          how.signal);
        } else {
            std::snprintf(text, sizeof text,
                          "the worker ended (exit status %d) without its end event", how.status);
        }
        phone.reason = text;
    }
    if (slot.stop == SlotStop::Watchdog) {
        phone.result = "failed";
        phone.reason = slot.stopCause + (how.abandoned ? "; " + phone.reason : "");
    } else if (slot.stop == SlotStop::Interrupt && phone.result != "verified") {
        phone.result = "interrupted";
        phone.reason = slot.stopCause + (how.abandoned ? "; " + phone.reason : "");
    }
    if (how.abandoned) {
        slot.unusable = "its worker could not be ended";
        slot.done = true;
    }
    if (!phone.started && slot.stop == SlotStop::Pause && !stationStopping &&
        slot.unusable.empty()) {
        // Paused while it waited for a phone: it waits for its resume.
        say(slot, slot.paused ? "paused" : "waiting for a phone");
        return false;
    }
    if (!phone.started) {
        // No phone came: a slot stopped on purpose, or one that cannot be used.
        if (slot.unusable.empty() && slot.stop != SlotStop::Watchdog &&
            (slot.stop != SlotStop::None || stationStopping)) {
            say(slot, "stopped");
        } else {
            if (slot.unusable.empty())
                slot.unusable = slot.notes.empty() || slot.stop == SlotStop::Watchdog
                                    ? phone.reason
                                    : slot.notes.back();
            say(slot, "unusable: " + slot.unusable);
        }
        slot.done = true;
        return false;
    }
    char text[64];
    if (phone.result == "verified") {
        ++slot.verified;
        slot.failuresInRow = 0;
        std::snprintf(text, sizeof text, "verified in %.1f s", phone.seconds);
        say(slot, text);
    } else if (phone.result == "interrupted") {
        ++slot.interrupted;
        slot.unfinished.push_back(phone);
        say(slot, "interrupted: " + phone.reason);
    } else {
        ++slot.failed;
        slot.unfinished.push_back(phone);
        say(slot, "FAILED: " + phone.reason);
        if (slot.quarantineAfter > 0 && ++slot.failuresInRow >= slot.quarantineAfter) {
            slot.quarantined = true;
            say(slot, "QUARANTINED after " + std::to_string(slot.failuresInRow) +
                          (slot.failuresInRow == 1 ? " failure" : " failures") +
                          " in a row: " + phone.reason);
        }
    }
    slot.done =
        slot.done || stationStopping || repeat == 0 || (repeat > 0 && slot.phones >= repeat);
    return true;
}
