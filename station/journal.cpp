#include "station/journal.h"

#include <cstdio>
#include <ctime>

namespace {

// Less free space than this finds the disk full before the first phone.
constexpr int64_t kLeastFreeBytes = 1 << 20;

}  // namespace

std::string utcText(int64_t ms) {
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    const std::tm* utc = std::gmtime(&seconds);
    char text[40] = "";
    if (utc != nullptr) {
        const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", utc);
        std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(ms % 1000));
    }
    return text;
}

std::string journalLine(const PhoneRecord& phone, const Slot& slot,
                        const StationIdentity& identity) {
    const auto orNull = [](const std::string& text) { return text.empty() ? Json() : Json(text); };
    Json images = Json::array();
    for (const ImageFacts& image : phone.images) {
        images.push_back({{"file", image.file},
                          {"address", image.address},
                          {"size", image.size},
                          {"sha256", orNull(image.sha256)},
                          {"checksum", image.checksum},
                          {"crc", image.crc},
                          {"phone_checksum", image.phoneChecksum},
                          {"phone_crc", image.phoneCrc},
                          {"verdict", image.verdict}});
    }
    const Json record = {{"schema", 1},
                         {"slot", slot.name},
                         {"device", slot.device},
                         {"adapter", phone.adapter},
                         {"phone", phone.number},
                         {"label", orNull(phone.label)},
                         {"start", utcText(phone.startMs)},
                         {"end", utcText(phone.endMs)},
                         {"seconds", phone.seconds},
                         {"result", phone.result},
                         {"exit_status", phone.exitStatus},
                         {"reason", phone.reason},
                         {"irom_identity", phone.iromIdentity},
                         {"loader", phone.loader},
                         {"flash_device", phone.flashDevice},
                         {"speed", phone.speed},
                         {"images", images},
                         {"version", identity.version},
                         {"host", identity.host},
                         {"station", identity.station},
                         {"log", orNull(phone.logFile)},
                         {"stage", phone.stage},
                         {"flash", phone.flash},
                         {"cause", phone.cause},
                         {"loader_file", identity.loaderFile},
                         {"loader_sha256", orNull(identity.loaderSha256)},
                         {"job", identity.jobName.empty() ? Json()
                                                          : Json{{"name", identity.jobName},
                                                                 {"sha256", identity.jobSha256}}}};
    return record.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Journal::~Journal() {
    output_close(file_);
}

std::string Journal::open(const char* path) {
    path_ = path;
    bool created = false;
    file_ = output_open_records(path, &created);
    if (file_ == kNoOutputFile)
        return path_ + ": the journal cannot be written: " + output_failure();
    std::string trouble;
    if (!output_is_regular(file_)) {
        trouble = "the journal must be a regular file (it is synced to the disk)";
    } else if (created && !path_sync_folder(path)) {
        trouble = std::string("its folder cannot be synced: ") + output_failure();
    } else if (const int64_t free = path_free_bytes(path); free >= 0 && free < kLeastFreeBytes) {
        trouble = "the disk that holds it is full";
    } else if (const int last = output_last_byte(file_);
               last >= 0 && last != '\n' && !output_write(file_, "\n", 1)) {
        // A torn last line is ended: every line after it is whole.
        trouble = std::string("the journal cannot be written: ") + output_failure();
    } else if (!output_sync(file_)) {
        trouble = std::string("the journal cannot be synced: ") + output_failure();
    }
    if (trouble.empty()) return "";
    output_close(file_);
    file_ = kNoOutputFile;
    return path_ + ": " + trouble;
}

std::string Journal::phoneEnded(const Station& station, const Slot& slot,
                                const PhoneRecord& phone) {
    if (file_ == kNoOutputFile) return "";
    const int64_t before = output_length(file_);
    // A line that another writer or a failed cut left open is ended first.
    const int last = before > 0 ? output_last_byte(file_) : -1;
    std::string line = last >= 0 && last != '\n' ? "\n" : "";
    line += journalLine(phone, slot, station.identity);
    line += '\n';
    if (output_write(file_, line.data(), line.size()) && output_sync(file_)) return "";
    const std::string why = output_failure();
    // Not half a record: the next one starts on a line of its own.
    if (before >= 0 && output_cut(file_, before)) output_sync(file_);
    return path_ + ": the record of " + slot.name + " phone " + std::to_string(phone.number) +
           " could not be written (" + why + ")";
}
