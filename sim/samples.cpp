#include "sim/samples.h"

#include <cstdio>

#include "sim/srecord.h"
#include "sim/sums.h"

namespace sim {

namespace {

constexpr size_t kSignatureOffset = 68;
constexpr uint8_t kSignatureByte = 0xCB;

// A small deterministic generator (xorshift32).
class Noise {
public:
    explicit Noise(uint32_t seed) : state_(seed == 0 ? 0x9E3779B9u : seed) {}
    uint8_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return static_cast<uint8_t>(state_ >> 24);
    }

private:
    uint32_t state_;
};

void sign(std::vector<uint8_t>& data) {
    if (data.size() >= kSignatureOffset + 2) {
        data[kSignatureOffset] = kSignatureByte;
        data[kSignatureOffset + 1] = kSignatureByte;
    }
}

}  // namespace

std::string makeSampleLoader(uint32_t address, size_t codeBytes) {
    std::string file;
    const std::string header = "rb7 flash loader (sample)";
    file += makeRecord(0, 0, reinterpret_cast<const uint8_t*>(header.data()), header.size());
    file += '\n';
    Noise noise(7);
    std::vector<uint8_t> record(32);
    for (size_t done = 0; done < codeBytes; done += record.size()) {
        const size_t length = codeBytes - done < record.size() ? codeBytes - done : record.size();
        for (size_t i = 0; i < length; ++i)
            record[i] = noise.next();
        file += makeRecord(3, static_cast<uint32_t>(address + done), record.data(), length);
        file += '\n';
    }
    file += makeRecord(7, address, nullptr, 0);
    file += '\n';
    return file;
}

void appendFrameCheck(std::vector<uint8_t>& data) {
    // The register over the data alone, without the fill to four bytes.
    uint16_t crc = 0xFFFF;
    for (uint8_t b : data)
        crc = crcUpdate(crc, b);
    const auto check = static_cast<uint16_t>(~crc);
    data.push_back(static_cast<uint8_t>(check & 0xFF));
    data.push_back(static_cast<uint8_t>(check >> 8));
}

std::vector<uint8_t> makeCrcImage(size_t size, uint32_t seed) {
    size_t total = size < 72 ? 72 : size;
    total = (total + 3) / 4 * 4;
    std::vector<uint8_t> data(total - 2);
    Noise noise(seed);
    for (auto& b : data)
        b = noise.next();
    sign(data);
    appendFrameCheck(data);
    return data;
}

std::vector<uint8_t> makeBlockImage(const std::string& pattern, uint32_t seed) {
    std::vector<uint8_t> data;
    Noise noise(seed);
    for (char kind : pattern) {
        for (size_t i = 0; i < 1024; ++i) {
            if (kind == 'b')
                data.push_back(0xFF);
            else if (kind == 'z')
                data.push_back(0x00);
            else
                data.push_back(noise.next());
        }
    }
    // A short last block brings the length to 4k+2 before the check bytes.
    for (size_t i = 0; i < 98; ++i)
        data.push_back(noise.next());
    sign(data);
    appendFrameCheck(data);
    return data;
}

bool writeFile(const std::string& path, const void* data, size_t length) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool ok = std::fwrite(data, 1, length, file) == length;
    return std::fclose(file) == 0 && ok;
}

}  // namespace sim
