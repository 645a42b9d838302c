// The values the flash loader reports for what it wrote: a 32-bit sum of
// little-endian words and a 16-bit CRC, both over the bytes filled up with
// 0xFF to a multiple of four.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {

struct Sums {
    uint32_t checksum = 0;
    uint16_t crc = 0xFFFF;
};

// Feeds bytes one after another; finish() adds the 0xFF fill.
class SumsBuilder {
public:
    void add(const uint8_t* data, size_t length);
    Sums finish() const;

private:
    Sums sums_;
    uint32_t word_ = 0;
    uint32_t filled_ = 0;  // bytes in word_
};

Sums computeSums(const uint8_t* data, size_t length);

// One byte into the CRC register (reflected 0x1021, no final complement).
uint16_t crcUpdate(uint16_t crc, uint8_t byte);

}  // namespace sim
