// The loader's checksum and CRC against published and hand-computed vectors,
// the FLASH device's erase/program rules, and the sample files.
#include "sim/sums.h"

#include <gtest/gtest.h>

#include <string>

#include "sim/flash_memory.h"
#include "sim/samples.h"
#include "sim/srecord.h"

namespace {

sim::Sums sumsOf(const std::string& bytes) {
    return sim::computeSums(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

uint16_t crcRegister(const std::string& bytes) {
    uint16_t crc = 0xFFFF;
    for (char c : bytes)
        crc = sim::crcUpdate(crc, static_cast<uint8_t>(c));
    return crc;
}

TEST(Sums, Vectors) {
    struct Case {
        std::string bytes;
        uint32_t checksum;
        uint16_t crc;
    };
    const Case cases[] = {
        {"", 0x00000000, 0xFFFF},
        {"abc", 0xFF636261, 0x76CE},
        {"abcd", 0x64636261, 0x5C94},
        {std::string("\x01\x02\x03\x04\x05", 5), 0x04030106, 0},  // crc checked below only when set
        {std::string("0123456789\x16\x3C", 12), 0xA67E9F9C, 0xF0B8},
        {std::string("123456789\x6E\x90", 11), 0x6BFAD69F, 0x364B},
    };
    for (const auto& c : cases) {
        const sim::Sums sums = sumsOf(c.bytes);
        EXPECT_EQ(sums.checksum, c.checksum) << c.bytes;
        if (c.crc != 0) {
            EXPECT_EQ(sums.crc, c.crc) << c.bytes;
        }
    }
}

TEST(Sums, CrcRegisterWithoutFill) {
    EXPECT_EQ(crcRegister("123456789"), 0x6F91);
    EXPECT_EQ(crcRegister(std::string("123456789\x6E\x90", 11)), 0xF0B8);
}

TEST(Sums, BuilderInPiecesMatchesWhole) {
    const std::string bytes = "the quick brown fox jumps over the lazy dog!";
    for (size_t cut = 0; cut <= bytes.size(); ++cut) {
        sim::SumsBuilder builder;
        builder.add(reinterpret_cast<const uint8_t*>(bytes.data()), cut);
        builder.add(reinterpret_cast<const uint8_t*>(bytes.data()) + cut, bytes.size() - cut);
        const sim::Sums a = builder.finish();
        const sim::Sums b = sumsOf(bytes);
        EXPECT_EQ(a.checksum, b.checksum) << cut;
        EXPECT_EQ(a.crc, b.crc) << cut;
    }
}

TEST(Flash, EraseProgramAndBounds) {
    sim::FlashMemory flash(0x100000, 0x40000, false);
    EXPECT_FALSE(flash.contains(0x0FFFFF, 1));
    EXPECT_TRUE(flash.contains(0x100000, 0x40000));
    EXPECT_FALSE(flash.contains(0x100000, 0x40001));
    EXPECT_FALSE(flash.contains(0x13FFFF, 2));
    EXPECT_FALSE(flash.erase(0x130000, 0x20000));

    // Old firmware is there until erased; programming only clears bits.
    const uint32_t at = 0x10FFFE;  // across a page boundary
    const uint8_t bytes[4] = {0x12, 0x34, 0x56, 0x78};
    ASSERT_TRUE(flash.program(at, bytes, 4));
    bool differs = false;
    for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(flash.read(at + i), flash.initialByte(at + i) & bytes[i]);
        differs = differs || flash.read(at + i) != bytes[i];
    }
    EXPECT_TRUE(differs) << "old contents should show through an unerased write";

    ASSERT_TRUE(flash.erase(0x10FFF0, 0x20));
    EXPECT_EQ(flash.read(0x10FFEF), flash.initialByte(0x10FFEF));
    EXPECT_EQ(flash.read(0x10FFF0), 0xFF);
    EXPECT_EQ(flash.read(0x11000F), 0xFF);
    ASSERT_TRUE(flash.program(at, bytes, 4));
    EXPECT_EQ(flash.read(at, 4), std::vector<uint8_t>(bytes, bytes + 4));
    const uint8_t zero = 0;
    ASSERT_TRUE(flash.program(at, &zero, 1));
    const uint8_t ff = 0xFF;
    ASSERT_TRUE(flash.program(at, &ff, 1));
    EXPECT_EQ(flash.read(at), 0x00) << "a programmed 0 stays 0 until erased";
    EXPECT_FALSE(flash.program(0x13FFFF, bytes, 2));
}

TEST(Flash, WriteImageHoldsTheDevice) {
    sim::FlashMemory flash(0, 0x30000, true);
    const uint8_t bytes[3] = {1, 2, 3};
    ASSERT_TRUE(flash.program(0x1FFFF, bytes, 3));
    const std::string path = ::testing::TempDir() + "/flash.bin";
    ASSERT_TRUE(flash.writeImage(path));
    FILE* file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    std::string content(0x30001, '\0');
    content.resize(std::fread(content.data(), 1, content.size(), file));
    std::fclose(file);
    ASSERT_EQ(content.size(), 0x30000u);
    EXPECT_EQ(content.substr(0x1FFFE, 5), std::string("\xFF\x01\x02\x03\xFF", 5));
}

TEST(Samples, ImagesPassTheToolsChecks) {
    const std::vector<std::vector<uint8_t>> images = {
        sim::makeCrcImage(72), sim::makeCrcImage(100000), sim::makeCrcImage(5000, 9),
        sim::makeBlockImage("dbzdbzd"), sim::makeBlockImage("d")};
    for (const auto& image : images) {
        ASSERT_GE(image.size(), 72u);
        EXPECT_EQ(image.size() % 4, 0u);
        EXPECT_EQ(image[68], 0xCB);
        EXPECT_EQ(image[69], 0xCB);
        EXPECT_EQ(sim::computeSums(image.data(), image.size()).crc, 0xF0B8) << image.size();
    }
    const auto blocks = sim::makeBlockImage("dbz");
    EXPECT_EQ(std::vector<uint8_t>(blocks.begin() + 1024, blocks.begin() + 2048),
              std::vector<uint8_t>(1024, 0xFF));
    EXPECT_EQ(std::vector<uint8_t>(blocks.begin() + 2048, blocks.begin() + 3072),
              std::vector<uint8_t>(1024, 0x00));
}

TEST(Samples, LoaderIsAValidRecordFile) {
    const std::string file = sim::makeSampleLoader(0x80000, 1000);
    ASSERT_FALSE(file.empty());
    ASSERT_EQ(file.back(), '\n');
    size_t start = 0, records = 0, dataBytes = 0;
    uint8_t lastType = 0;
    while (start < file.size()) {
        const size_t end = file.find('\n', start);
        const std::string line = file.substr(start, end - start);
        EXPECT_LE(line.size() + 1, 97u) << "the tool sends lines of at most 97 characters";
        const auto result = sim::parseRecord(line);
        EXPECT_EQ(result.error, sim::SrecError::None) << line;
        if (records == 0) {
            EXPECT_EQ(result.record.type, 0);
        }
        if (sim::srecIsData(result.record.type)) dataBytes += result.record.data.size();
        lastType = result.record.type;
        ++records;
        start = end + 1;
    }
    EXPECT_EQ(dataBytes, 1000u);
    EXPECT_EQ(lastType, 7);
}

}  // namespace
