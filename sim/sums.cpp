#include "sim/sums.h"

namespace sim {

uint16_t crcUpdate(uint16_t crc, uint8_t byte) {
    uint32_t reg = crc;
    uint32_t value = byte;
    for (int bit = 0; bit < 8; ++bit) {
        const bool feedback = ((reg ^ value) & 1u) != 0;
        reg >>= 1;
        if (feedback) reg ^= 0x8408u;
        value >>= 1;
    }
    return static_cast<uint16_t>(reg);
}

void SumsBuilder::add(const uint8_t* data, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        sums_.crc = crcUpdate(sums_.crc, data[i]);
        word_ |= static_cast<uint32_t>(data[i]) << (8u * filled_);
        if (++filled_ == 4) {
            sums_.checksum += word_;
            word_ = 0;
            filled_ = 0;
        }
    }
}

Sums SumsBuilder::finish() const {
    if (filled_ == 0) return sums_;
    SumsBuilder rest = *this;
    const uint8_t fill = 0xFF;
    while (rest.filled_ != 0)
        rest.add(&fill, 1);
    return rest.sums_;
}

Sums computeSums(const uint8_t* data, size_t length) {
    SumsBuilder builder;
    builder.add(data, length);
    return builder.finish();
}

}  // namespace sim
