// A NOR flash device, kept sparse: erasing sets bytes to 0xFF, programming can
// only clear bits. Untouched bytes hold the old firmware's pattern (or 0xFF).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace sim {

class FlashMemory {
public:
    FlashMemory(uint32_t base, uint32_t size, bool blank);

    uint32_t base() const { return base_; }
    uint32_t size() const { return size_; }
    // True when [address, address + length) lies inside the device.
    bool contains(uint32_t address, uint64_t length) const;

    // Both refuse (false) a range outside the device and change nothing.
    bool erase(uint32_t address, uint64_t length);
    bool program(uint32_t address, const uint8_t* data, size_t length);

    uint8_t read(uint32_t address) const;
    std::vector<uint8_t> read(uint32_t address, size_t length) const;

    // What the old firmware held at an address nobody has touched.
    uint8_t initialByte(uint32_t address) const;

    // The whole device, from base, as a binary file.
    bool writeImage(const std::string& path) const;

private:
    static constexpr uint32_t kPageSize = 0x10000;
    uint8_t* page(uint32_t offset);

    uint32_t base_;
    uint32_t size_;
    bool blank_;
    std::map<uint32_t, std::unique_ptr<uint8_t[]>> pages_;  // by offset / kPageSize
};

}  // namespace sim
