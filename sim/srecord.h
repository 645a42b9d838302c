// Motorola S-records: checking one received line, and writing records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

enum class SrecError : uint8_t {
    None,
    NotARecord,  // does not start with 'S'
    BadType,     // S4 or not a digit
    BadHex,      // a character that is not a hexadecimal digit
    BadLength,   // byte count and line length disagree, or too short for the address
    BadChecksum,
};
// The complaint the boot ROM prints for a bad record.
const char* srecErrorText(SrecError error);

struct SRecord {
    uint8_t type = 0;
    uint32_t address = 0;
    std::vector<uint8_t> data;
};

struct SrecResult {
    SrecError error = SrecError::None;
    SRecord record;
};

// Checks one record (the line without its line end).
SrecResult parseRecord(std::string_view line);

// Address bytes of a record type (0 for a type that has no records).
size_t srecAddressSize(uint8_t type);
bool srecIsData(uint8_t type);         // S1, S2, S3
bool srecIsTermination(uint8_t type);  // S7, S8, S9

// One record line without a line end; data length at most 250 bytes.
std::string makeRecord(uint8_t type, uint32_t address, const uint8_t* data, size_t length);

}  // namespace sim
