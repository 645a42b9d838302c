#include <cstdio>
#include <ctime>

#include "station/phone.h"

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

std::string journalLine(const PhoneRecord& phone, const std::string& slot,
                        const std::string& device) {
    Json images = Json::array();
    for (const ImageFacts& image : phone.images) {
        images.push_back({{"file", image.file},
                          {"address", image.address},
                          {"size", image.size},
                          {"sha256", image.sha256.empty() ? Json() : Json(image.sha256)},
                          {"checksum", image.checksum},
                          {"crc", image.crc},
                          {"phone_checksum", image.phoneChecksum},
                          {"phone_crc", image.phoneCrc},
                          {"verdict", image.verdict}});
    }
    const Json record = {{"schema", 1},
                         {"slot", slot},
                         {"device", device},
                         {"phone", phone.number},
                         {"start", utcText(phone.startMs)},
                         {"end", utcText(phone.endMs)},
                         {"seconds", static_cast<double>(phone.endMs - phone.startMs) / 1000.0},
                         {"result", phone.result},
                         {"exit_status", phone.exitStatus},
                         {"reason", phone.reason},
                         {"irom_identity", phone.iromIdentity},
                         {"loader", phone.loader},
                         {"flash_device", phone.flashDevice},
                         {"speed", phone.speed},
                         {"images", images}};
    return record.dump(-1, ' ', false, Json::error_handler_t::replace);
}
