#include "sim/flash_memory.h"

#include <cstdio>
#include <cstring>

namespace sim {

FlashMemory::FlashMemory(uint32_t base, uint32_t size, bool blank)
    : base_(base), size_(size), blank_(blank) {}

bool FlashMemory::contains(uint32_t address, uint64_t length) const {
    if (address < base_) return false;
    const uint64_t offset = address - base_;
    return offset <= size_ && length <= size_ - offset;
}

uint8_t FlashMemory::initialByte(uint32_t address) const {
    if (blank_) return 0xFF;
    // Scrambled so that a missing erase or a misplaced write shows in the sums.
    uint32_t x = address * 2654435761u;
    x ^= x >> 15;
    return static_cast<uint8_t>(x >> 7);
}

uint8_t* FlashMemory::page(uint32_t offset) {
    const uint32_t index = offset / kPageSize;
    auto it = pages_.find(index);
    if (it != pages_.end()) return it->second.get();
    auto bytes = std::make_unique<uint8_t[]>(kPageSize);
    const uint32_t start = base_ + index * kPageSize;
    for (uint32_t i = 0; i < kPageSize; ++i)
        bytes[i] = initialByte(start + i);
    uint8_t* raw = bytes.get();
    pages_.emplace(index, std::move(bytes));
    return raw;
}

bool FlashMemory::erase(uint32_t address, uint64_t length) {
    if (!contains(address, length)) return false;
    uint32_t offset = address - base_;
    uint64_t left = length;
    while (left > 0) {
        const uint32_t inPage = offset % kPageSize;
        const uint32_t chunk = static_cast<uint32_t>(
            left < kPageSize - inPage ? left : static_cast<uint64_t>(kPageSize - inPage));
        std::memset(page(offset) + inPage, 0xFF, chunk);
        offset += chunk;
        left -= chunk;
    }
    return true;
}

bool FlashMemory::program(uint32_t address, const uint8_t* data, size_t length) {
    if (!contains(address, length)) return false;
    uint32_t offset = address - base_;
    size_t done = 0;
    while (done < length) {
        const uint32_t inPage = offset % kPageSize;
        const size_t room = kPageSize - inPage;
        const size_t chunk = length - done < room ? length - done : room;
        uint8_t* bytes = page(offset) + inPage;
        for (size_t i = 0; i < chunk; ++i)
            bytes[i] &= data[done + i];
        done += chunk;
        offset += static_cast<uint32_t>(chunk);
    }
    return true;
}

uint8_t FlashMemory::read(uint32_t address) const {
    if (!contains(address, 1)) return 0xFF;
    const uint32_t offset = address - base_;
    auto it = pages_.find(offset / kPageSize);
    if (it == pages_.end()) return initialByte(address);
    return it->second[offset % kPageSize];
}

std::vector<uint8_t> FlashMemory::read(uint32_t address, size_t length) const {
    std::vector<uint8_t> out(length);
    size_t done = 0;
    while (done < length) {
        const uint64_t at = static_cast<uint64_t>(address) + done;
        const auto here = static_cast<uint32_t>(at);
        if (at > UINT32_MAX || !contains(here, 1)) {
            out[done++] = 0xFF;  // outside the device
            continue;
        }
        const uint32_t offset = here - base_;
        const uint32_t inPage = offset % kPageSize;
        size_t chunk = kPageSize - inPage;
        if (chunk > length - done) chunk = length - done;
        if (chunk > size_ - offset) chunk = size_ - offset;
        auto it = pages_.find(offset / kPageSize);
        for (size_t i = 0; i < chunk; ++i)
            out[done + i] = it != pages_.end() ? it->second[inPage + i]
                                               : initialByte(static_cast<uint32_t>(here + i));
        done += chunk;
    }
    return out;
}

bool FlashMemory::writeImage(const std::string& path) const {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    bool ok = true;
    std::vector<uint8_t> buffer(kPageSize);
    for (uint64_t offset = 0; offset < size_ && ok; offset += kPageSize) {
        const size_t chunk =
            static_cast<size_t>(size_ - offset < kPageSize ? size_ - offset : kPageSize);
        auto it = pages_.find(static_cast<uint32_t>(offset / kPageSize));
        if (it != pages_.end()) {
            std::memcpy(buffer.data(), it->second.get(), chunk);
        } else {
            for (size_t i = 0; i < chunk; ++i)
                buffer[i] = initialByte(static_cast<uint32_t>(base_ + offset + i));
        }
        ok = std::fwrite(buffer.data(), 1, chunk, file) == chunk;
    }
    return std::fclose(file) == 0 && ok;
}

}  // namespace sim
