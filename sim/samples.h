// Sample files for demonstrations and tests: a flash loader S-record file and
// images that pass the tool's checks (signature bytes, CRC residue).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// A valid S-record file: an S0 header, S3 data records and an S7 record.
std::string makeSampleLoader(uint32_t address = 0x00080000, size_t codeBytes = 4096);

// Appends the frame check sequence (complement of the CRC register, low byte
// first): a buffer of 4k+2 bytes then leaves the CRC register at 0xF0B8.
void appendFrameCheck(std::vector<uint8_t>& data);

// Pseudo-random image of `size` bytes (rounded up to a multiple of 4, at least 72)
// with the signature and a closing frame check sequence.
std::vector<uint8_t> makeCrcImage(size_t size, uint32_t seed = 1);

// Image of whole 1024-byte blocks in the given pattern ('d' data, 'b' 0xFF,
// 'z' 0x00), then a short data block with the frame check sequence; the
// first block must be 'd' (it carries the signature).
std::vector<uint8_t> makeBlockImage(const std::string& pattern, uint32_t seed = 2);

bool writeFile(const std::string& path, const void* data, size_t length);

}  // namespace sim
