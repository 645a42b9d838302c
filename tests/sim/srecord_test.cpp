// Checking received S-records: every way a line can be wrong, and records
// that the writer makes read back.
#include "sim/srecord.h"

#include <gtest/gtest.h>

namespace {

TEST(Srecord, Check) {
    struct Case {
        const char* line;
        sim::SrecError error;
        uint8_t type;
        uint32_t address;
        size_t dataLength;
    };
    using E = sim::SrecError;
    const Case cases[] = {
        {"S00600004844521B", E::None, 0, 0x0000, 3},
        {"S1130000285F245F2212226A000424290008237C2A", E::None, 1, 0x0000, 16},
        {"S2080100000102030EE2", E::None, 2, 0x010000, 4},
        {"S30900080000DEADBEEFB6", E::None, 3, 0x00080000, 4},
        {"s30900080000DEADBEEFB6", E::NotARecord, 0, 0, 0},
        {"", E::NotARecord, 0, 0, 0},
        {"S5030003F9", E::None, 5, 0x0003, 0},
        {"S70500080000F2", E::None, 7, 0x00080000, 0},
        {"S804010000FA", E::None, 8, 0x010000, 0},
        {"S9030000FC", E::None, 9, 0x0000, 0},
        {"S9030000fc", E::None, 9, 0x0000, 0},
        {"S403000", E::BadType, 4, 0, 0},
        {"SX030000FC", E::BadType, 0, 0, 0},
        {"S", E::BadType, 0, 0, 0},
        {"S9", E::BadLength, 9, 0, 0},
        {"S9030000FD", E::BadChecksum, 9, 0, 0},
        {"S9030000F", E::BadLength, 9, 0, 0},
        {"S9030000FCFF", E::BadLength, 9, 0, 0},
        {"S9030000FC\r", E::BadHex, 9, 0, 0},
        {"S9030G00FC", E::BadHex, 9, 0, 0},
        {"S9G30000FC", E::BadHex, 9, 0, 0},
        {"S3040000FB", E::BadLength, 3, 0, 0},  // count too small for a 32-bit address
        {"S30900080000DEADBEEFB7", E::BadChecksum, 3, 0, 0},
    };
    for (const auto& c : cases) {
        const auto result = sim::parseRecord(c.line);
        EXPECT_EQ(result.error, c.error) << c.line;
        if (result.error != E::None) continue;
        EXPECT_EQ(result.record.type, c.type) << c.line;
        EXPECT_EQ(result.record.address, c.address) << c.line;
        EXPECT_EQ(result.record.data.size(), c.dataLength) << c.line;
    }
}

TEST(Srecord, WrittenRecordsReadBack) {
    const uint8_t data[5] = {0x00, 0xFF, 0x7F, 0x80, 0x12};
    for (uint8_t type : {0, 1, 2, 3, 5, 7, 8, 9}) {
        const uint32_t address = type == 3 || type == 7   ? 0x12345678u
                                 : type == 2 || type == 8 ? 0x123456u
                                                          : 0x1234u;
        const size_t length = sim::srecIsData(type) || type == 0 ? 5 : 0;
        const std::string line = sim::makeRecord(type, address, data, length);
        const auto result = sim::parseRecord(line);
        ASSERT_EQ(result.error, sim::SrecError::None) << line;
        EXPECT_EQ(result.record.type, type);
        EXPECT_EQ(result.record.address, address) << line;
        EXPECT_EQ(result.record.data, std::vector<uint8_t>(data, data + length));
    }
}

TEST(Srecord, ErrorTextsArePrintableAndDistinct) {
    using E = sim::SrecError;
    std::vector<std::string> seen;
    for (E e : {E::NotARecord, E::BadType, E::BadHex, E::BadLength, E::BadChecksum}) {
        const std::string text = sim::srecErrorText(e);
        ASSERT_FALSE(text.empty());
        for (char c : text)
            EXPECT_TRUE(c >= 0x20 && c <= 0x7E && c != '.') << text;
        for (const auto& other : seen)
            EXPECT_NE(text, other);
        seen.push_back(text);
    }
}

}  // namespace
