#include "app/events.h"

#include <cstring>
#include <nlohmann/json.hpp>

#include "platform/files.h"
#include "platform/keyboard.h"
#include "platform/terminal.h"

namespace {

using Json = nlohmann::ordered_json;

OutputFile output = kNoOutputFile;
EventSink sinkForTests = nullptr;
uint64_t startUs = 0;
uint32_t lastProgressMs = 0;

// What the phone said, gathered as it comes.
Json phoneFacts = {
    {"irom_identity", nullptr}, {"loader", Json::array()}, {"flash_device", Json::array()}};

Json job;  // null without one

// The signal path's end lines, two sets: one in use while the next is made.
std::string signalLines[2][2];
int signalInUse = 0;

double secondsNow() {
    return static_cast<double>((platform_micros() - startUs) / 1000U) / 1000.0;
}

// Bytes from the phone or the command line need not be UTF-8: what is not
// becomes U+FFFD instead of a line that no reader could take.
std::string text(const Json& object) {
    return object.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void emit(const char* event, Json fields) {
    if (!eventsOn()) return;
    Json line = {{"event", event}, {"t", secondsNow()}};
    for (auto& [key, value] : fields.items())
        line[key] = value;
    const std::string whole = text(line) + "\n";
    if (sinkForTests != nullptr) {
        sinkForTests(whole);
    } else {
        output_write(output, whole.data(), whole.size());
    }
}

Json lines(const std::vector<std::string>& from) {
    Json list = Json::array();
    for (const std::string& line : from)
        list.push_back(line);
    return list;
}

const char* targetName(Target target) {
    return target == TargetRb7 ? "rb7" : target == TargetRb7Dsp ? "rb7dsp" : "k52";
}

}  // namespace

bool eventsOpen(const char* path) {
    output = output_open(path);
    startUs = platform_micros();
    return output != kNoOutputFile;
}

void eventsOpenSink(EventSink sink) {
    sinkForTests = sink;
    startUs = platform_micros();
}

void eventsClose() {
    terminal_set_signal_event(kNoOutputFile, 0, nullptr, nullptr);
    output_close(output);
    output = kNoOutputFile;
    sinkForTests = nullptr;
    phoneFacts["irom_identity"] = nullptr;
    phoneFacts["loader"] = Json::array();
    phoneFacts["flash_device"] = Json::array();
}

bool eventsOn() {
    return output != kNoOutputFile || sinkForTests != nullptr;
}

void eventsSetJob(const std::string& name, const std::string& sha256) {
    job = {{"name", name}, {"sha256", sha256}};
}

void eventStart(const RunConfig& config) {
    char device[16];
    std::snprintf(device, sizeof device, "COM%d", static_cast<int>(config.portIndex + 1));
    emit("start", {{"version", DOWNLOAD_VERSION},
                   {"schema", kEventsSchema},
                   {"device", config.deviceName != nullptr ? config.deviceName : device},
                   {"target", targetName(config.target)},
                   {"mode", config.linkMode == LinkWire ? "wire" : "dongle"},
                   {"speed", config.downloadSpeed},
                   {"images", config.imageCount},
                   {"job", job}});
    eventsPrepareSignalEnd("");
}

void eventStage(const char* stage, int32_t image, int32_t speed) {
    Json fields = {{"stage", stage}};
    if (image >= 0) fields["index"] = image;
    if (speed > 0) fields["speed"] = speed;
    emit("stage", fields);
}

void eventUpload(uint32_t lines) {
    const uint32_t now = tick_ms();
    if (now - lastProgressMs < 250) return;
    lastProgressMs = now;
    emit("upload", {{"lines", lines}});
}

void eventPhoneIdentity(int32_t identity) {
    phoneFacts["irom_identity"] = identity;
    emit("phone", phoneFacts);
}

void eventPhoneLoader(const std::vector<std::string>& reply) {
    phoneFacts["loader"] = lines(reply);
    emit("phone", phoneFacts);
}

void eventPhoneFlashDevice(const std::vector<std::string>& reply) {
    const Json now = lines(reply);
    if (now == phoneFacts["flash_device"]) return;
    phoneFacts["flash_device"] = now;
    emit("phone", phoneFacts);
}

void eventImage(int32_t index, const char* file, uint32_t address, int32_t size,
                const std::string& sha256, uint32_t checksum, uint16_t crc) {
    emit("image", {{"index", index},
                   {"file", file},
                   {"address", address},
                   {"size", size},
                   {"sha256", sha256.empty() ? Json(nullptr) : Json(sha256)},
                   {"checksum", checksum},
                   {"crc", crc}});
}

void eventProgress(int32_t index, uint32_t bytes, uint32_t size) {
    const uint32_t now = tick_ms();
    if (bytes < size && now - lastProgressMs < 250) return;
    lastProgressMs = now;
    emit("progress", {{"index", index}, {"bytes", bytes}, {"size", size}});
}

void eventQuestion(const char* question, char answer, const char* by) {
    emit("question", {{"text", question}, {"answer", std::string(1, answer)}, {"by", by}});
}

void eventVerdict(int32_t index, const char* result, int64_t phoneChecksum, int64_t phoneCrc) {
    emit("verdict", {{"index", index},
                     {"result", result},
                     {"phone_checksum", phoneChecksum < 0 ? Json(nullptr) : Json(phoneChecksum)},
                     {"phone_crc", phoneCrc < 0 ? Json(nullptr) : Json(phoneCrc)}});
}

void eventNote(const char* note) {
    emit("note", {{"text", note}});
}

void eventHeard() {
    static uint32_t lastMs = 0;
    static bool said = false;
    const uint32_t now = tick_ms();
    if (said && now - lastMs < 1000) return;
    said = true;
    lastMs = now;
    emit("heard", Json::object());
}

void eventInputChanged(const char* file, int64_t expectedSize, const std::string& expectedSha256,
                       int64_t size, const std::string& sha256) {
    emit("input-changed", {{"file", file},
                           {"expected_size", expectedSize},
                           {"expected_sha256", expectedSha256},
                           {"size", size},
                           {"sha256", sha256}});
}

void eventEnd(int exitStatus, const char* result, const char* reason, const char* flash) {
    // The signal path has nothing more to say.
    terminal_set_signal_event(kNoOutputFile, 0, nullptr, nullptr);
    emit("end",
         {{"exit_status", exitStatus}, {"result", result}, {"reason", reason}, {"flash", flash}});
}

void eventsPrepareSignalEnd(const char* flash) {
    if (output == kNoOutputFile) return;
    const int next = 1 - signalInUse;
    // The time goes last: the signal path writes the number and the brace.
    for (int interrupt = 0; interrupt < 2; ++interrupt) {
        std::string line = text(Json{{"event", "end"},
                                     {"exit_status", interrupt ? Json(kExitInterrupted) : Json()},
                                     {"result", "interrupted"},
                                     {"reason", interrupt ? "Ctrl-C" : "ended by a signal"},
                                     {"flash", flash}});
        line.pop_back();
        signalLines[next][interrupt] = line + ",\"t\":";
    }
    signalInUse = next;
    terminal_set_signal_event(output, startUs, signalLines[next][1].c_str(),
                              signalLines[next][0].c_str());
}
