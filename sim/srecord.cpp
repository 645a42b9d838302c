#include "sim/srecord.h"

namespace sim {

namespace {

int hexValue(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    return -1;
}

// Two hex characters at line[pos]; -1 when they are not hex.
int hexByte(std::string_view line, size_t pos) {
    const int high = hexValue(line[pos]);
    const int low = hexValue(line[pos + 1]);
    if (high < 0 || low < 0) return -1;
    return high * 16 + low;
}

}  // namespace

const char* srecErrorText(SrecError error) {
    switch (error) {
        case SrecError::None:
            return "";
        case SrecError::NotARecord:
            return "S-RECORD ERROR: NO RECORD";
        case SrecError::BadType:
            return "S-RECORD ERROR: BAD TYPE";
        case SrecError::BadHex:
            return "S-RECORD ERROR: BAD CHARACTER";
        case SrecError::BadLength:
            return "S-RECORD ERROR: BAD LENGTH";
        case SrecError::BadChecksum:
            return "S-RECORD ERROR: BAD CHECKSUM";
    }
    return "S-RECORD ERROR";
}

size_t srecAddressSize(uint8_t type) {
    switch (type) {
        case 0:
        case 1:
        case 5:
        case 9:
            return 2;
        case 2:
        case 6:
        case 8:
            return 3;
        case 3:
        case 7:
            return 4;
        default:
            return 0;
    }
}

bool srecIsData(uint8_t type) {
    return type >= 1 && type <= 3;
}

bool srecIsTermination(uint8_t type) {
    return type >= 7 && type <= 9;
}

SrecResult parseRecord(std::string_view line) {
    SrecResult result;
    if (line.empty() || line[0] != 'S') {
        result.error = SrecError::NotARecord;
        return result;
    }
    if (line.size() < 2 || line[1] < '0' || line[1] > '9' || line[1] == '4') {
        result.error = SrecError::BadType;
        return result;
    }
    const uint8_t type = static_cast<uint8_t>(line[1] - '0');
    result.record.type = type;
    if (line.size() < 4) {
        result.error = SrecError::BadLength;
        return result;
    }
    const int count = hexByte(line, 2);
    if (count < 0) {
        result.error = SrecError::BadHex;
        return result;
    }
    const size_t addressSize = srecAddressSize(type);
    const size_t countBytes = static_cast<size_t>(count);
    if (countBytes < addressSize + 1 || line.size() != 4 + 2 * countBytes) {
        for (size_t i = 4; i < line.size(); ++i)
            if (hexValue(line[i]) < 0) {
                result.error = SrecError::BadHex;
                return result;
            }
        result.error = SrecError::BadLength;
        return result;
    }
    uint32_t sum = static_cast<uint32_t>(count);
    std::vector<uint8_t> bytes;
    bytes.reserve(countBytes);
    for (size_t i = 0; i < countBytes; ++i) {
        const int value = hexByte(line, 4 + 2 * i);
        if (value < 0) {
            result.error = SrecError::BadHex;
            return result;
        }
        bytes.push_back(static_cast<uint8_t>(value));
        sum += static_cast<uint32_t>(value);
    }
    if ((sum & 0xFFu) != 0xFFu) {
        result.error = SrecError::BadChecksum;
        return result;
    }
    uint32_t address = 0;
    for (size_t i = 0; i < addressSize; ++i)
        address = (address << 8) | bytes[i];
    result.record.address = address;
    result.record.data.assign(bytes.begin() + static_cast<std::ptrdiff_t>(addressSize),
                              bytes.end() - 1);
    return result;
}

std::string makeRecord(uint8_t type, uint32_t address, const uint8_t* data, size_t length) {
    static const char kHex[] = "0123456789ABCDEF";
    const size_t addressSize = srecAddressSize(type) == 0 ? 2 : srecAddressSize(type);
    if (length > 250) length = 250;
    std::vector<uint8_t> bytes;
    bytes.push_back(static_cast<uint8_t>(addressSize + length + 1));
    for (size_t i = addressSize; i > 0; --i)
        bytes.push_back(static_cast<uint8_t>(address >> (8 * (i - 1))));
    bytes.insert(bytes.end(), data, data + length);
    uint32_t sum = 0;
    for (uint8_t b : bytes)
        sum += b;
    bytes.push_back(static_cast<uint8_t>(~sum & 0xFFu));
    std::string line = "S";
    line += static_cast<char>('0' + type);
    for (uint8_t b : bytes) {
        line += kHex[b >> 4];
        line += kHex[b & 0x0F];
    }
    return line;
}

}  // namespace sim
