#include "app/image.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tests/app/app_test_support.h"
#include "tests/support/temp_dir.h"

namespace {

FILE* openBytes(const TempDir& dir, const std::string& bytes) {
    dir.write("image.bin", bytes);
    return fopen(dir.file("image.bin").c_str(), "rb");
}

TEST(ImageSums, KnownVectors) {
    const struct {
        std::string bytes;
        uint32_t checksum;
        uint16_t crc;
    } cases[] = {
        {"", 0x00000000, 0xFFFF},
        {"abc", 0xFF636261, 0x76CE},
        {"abcd", 0x64636261, 0x5C94},
        {"\x01\x02\x03\x04\x05", 0x04030106, 0xB3F9},
        {"0123456789\x16\x3C", 0xA67E9F9C, 0xF0B8},
        {"123456789\x6E\x90", 0x6BFAD69F, 0x364B},
    };
    TempDir dir;
    for (const auto& tc : cases) {
        FILE* f = openBytes(dir, tc.bytes);
        ASSERT_NE(f, nullptr);
        ImageSums sums = computeImageSums(f);
        EXPECT_EQ(sums.checksum, tc.checksum) << tc.bytes;
        EXPECT_EQ(sums.crc, tc.crc) << tc.bytes;
        // The file is left at its start.
        EXPECT_EQ(ftell(f), 0);
        fclose(f);
    }
}

TEST(ImageSums, CrcStepVectorsAndTableAgree) {
    uint16_t crc = 0xFFFF;
    for (char c : std::string("123456789"))
        crc16Step(static_cast<uint8_t>(c), crc);
    EXPECT_EQ(crc, 0x6F91);
    crc16Step(0x6E, crc);
    crc16Step(0x90, crc);
    EXPECT_EQ(crc, 0xF0B8);

    // The table-driven update must give the bit-wise register for every byte
    // value from many starting registers.
    for (uint32_t start : {0x0000u, 0xFFFFu, 0x1234u, 0x8408u, 0xF0B8u}) {
        for (uint32_t b = 0; b < 256; ++b) {
            uint16_t slow = static_cast<uint16_t>(start);
            crc16Step(static_cast<uint8_t>(b), slow);
            uint8_t byte = static_cast<uint8_t>(b);
            EXPECT_EQ(crc16Update(static_cast<uint16_t>(start), &byte, 1), slow) << start << b;
        }
    }
}

TEST(ImageSums, LargeFileInOnePassMatchesByteWiseSums) {
    // Several read buffers' worth, with an odd tail.
    std::string bytes;
    uint32_t x = 12345;
    for (int i = 0; i < 200003; ++i) {
        x = x * 1103515245u + 12345u;
        bytes.push_back(static_cast<char>(x >> 24));
    }
    uint32_t checksum = 0;
    uint16_t crc = 0xFFFF;
    std::string padded = bytes + std::string((4 - bytes.size() % 4) % 4, '\xff');
    for (size_t i = 0; i < padded.size(); i += 4) {
        uint32_t word = 0;
        for (int k = 0; k < 4; ++k)
            word |= uint32_t{static_cast<uint8_t>(padded[i + k])} << (8 * k);
        checksum += word;
    }
    for (char c : padded)
        crc16Step(static_cast<uint8_t>(c), crc);
    TempDir dir;
    FILE* f = openBytes(dir, bytes);
    ImageSums sums = computeImageSums(f);
    fclose(f);
    EXPECT_EQ(sums.checksum, checksum);
    EXPECT_EQ(sums.crc, crc);
}

TEST(ImageSizes, SpanAndKiB) {
    const struct {
        int32_t size;
        uint32_t span;
        uint32_t kib;
    } cases[] = {
        {0, 0, 0},
        {1, 65536, 0},
        {511, 65536, 0},
        {512, 65536, 1},
        {1535, 65536, 1},
        {1536, 65536, 2},
        {65536, 65536, 64},
        {65537, 131072, 64},
        {262656, 327680, 257},
        {1048576, 1048576, 1024},
        {INT32_MAX, 0x80000000u, 2097152},
    };
    for (const auto& tc : cases) {
        EXPECT_EQ(imageSpan(tc.size), tc.span) << tc.size;
        EXPECT_EQ(imageSizeKiB(tc.size), tc.kib) << tc.size;
    }
}

using ImageChecks = StageTest;

TEST_F(ImageChecks, SignatureOnlyForRb7) {
    std::string good(70, '\0');
    good[68] = good[69] = '\xCB';
    std::string badSecond = good;
    badSecond[69] = '\xCA';
    std::string short69 = good.substr(0, 69);
    const struct {
        std::string bytes;
        Target target;
        bool asks;
    } cases[] = {
        {good, TargetRb7, false}, {badSecond, TargetRb7, true},  {short69, TargetRb7, true},
        {"", TargetRb7, true},    {badSecond, TargetK52, false}, {"", TargetRb7Dsp, false},
    };
    TempDir dir;
    for (const auto& tc : cases) {
        runConfig.target = tc.target;
        FILE* f = openBytes(dir, tc.bytes);
        fseek(f, 3 < static_cast<long>(tc.bytes.size()) ? 3 : 0, SEEK_SET);
        long before = ftell(f);
        typeInput("y");
        startCapture();
        EXPECT_TRUE(checkSignature(runConfig, f));
        std::string out = captured();
        restoreInput();
        EXPECT_EQ(out.find("wrong signature") != std::string::npos, tc.asks);
        EXPECT_EQ(ftell(f), before);
        fclose(f);
    }
    // "n" is a refusal.
    FILE* f = openBytes(dir, "");
    runConfig.target = TargetRb7;
    typeInput("n");
    startCapture();
    EXPECT_FALSE(checkSignature(runConfig, f));
    EXPECT_EQ(captured(),
              "\nData file has a wrong signature. It maybe an invalid image. Continue?[y/n]n\n");
    fclose(f);
}

TEST_F(ImageChecks, Overlap) {
    const struct {
        std::vector<std::pair<int32_t, int32_t>> earlier;  // address, last address
        int32_t first, last;
        bool asks;
    } cases[] = {
        {{}, 0x400000, 0x40FFFF, false},
        {{{0x600000, 0x60FFFF}}, 0x610000, 0x61FFFF, false},
        {{{0x600000, 0x60FFFF}}, 0x608000, 0x617FFF, true},
        {{{0x600000, 0x60FFFF}}, 0x600000, 0x60FFFF, true},
        {{{0x600000, 0x60FFFF}}, 0x5F0000, 0x600000, true},
        {{{0x600000, 0x60FFFF}}, 0x500000, 0x7FFFFF, true},
        {{{0x600000, 0x60FFFF}}, 0x5F0000, 0x5FFFFF, false},
        {{{0x100000, 0x10FFFF}, {0x600000, 0x60FFFF}}, 0x60FFFF, 0x61FFFE, true},
        // Any 32-bit addresses: across 2 GiB and across the top of memory.
        {{{-65536, -1}}, 0x7FFF0000, 0x7FFFFFFF, false},
        {{{0x7FFF0000, static_cast<int32_t>(0x8000FFFFu)}},
         0x7FFF8000,
         static_cast<int32_t>(0x80007FFFu),
         true},
        {{{0x7FFF0000, static_cast<int32_t>(0x8000FFFFu)}}, 0x100, 0x1FF, false},
        {{{-65536, 0xFFFF}}, 0x8000, 0x17FFF, true},
        {{{-65536, 0xFFFF}}, 0x10000, 0x1FFFF, false},
        // Empty images (last address = address - 1) compare as they always did.
        {{{0x400000, 0x40FFFF}}, 0x410000, 0x40FFFF, true},
        {{{0x410000, 0x40FFFF}}, 0x400000, 0x40FFFF, true},
        {{{0x408000, 0x407FFF}}, 0x400000, 0x40FFFF, true},
        {{{0x400000, 0x3FFFFF}}, 0x400000, 0x3FFFFF, true},
        {{{0x400000, 0x40FFFF}}, 0x420000, 0x41FFFF, false},
    };
    for (const auto& tc : cases) {
        int32_t i = 0;
        for (auto [a, l] : tc.earlier) {
            runConfig.imageAddresses[i] = a;
            runConfig.imageLastAddresses[i] = l;
            ++i;
        }
        runConfig.imageAddresses[i] = tc.first;
        runConfig.imageLastAddresses[i] = tc.last;
        typeInput("y");
        startCapture();
        EXPECT_TRUE(checkOverlap(runConfig, i));
        std::string out = captured();
        restoreInput();
        EXPECT_EQ(out.find("overlapping") != std::string::npos, tc.asks) << tc.first;
        if (tc.asks) {
            EXPECT_EQ(out,
                      "\nData file overlapping in mobile memory with previous file. "
                      "Continue?[y/n]y\n");
        }
    }
}

TEST_F(ImageChecks, TenImagesAtOneAddressAskNineTimes) {
    for (int32_t i = 0; i < kMaxImages; ++i) {
        runConfig.imageAddresses[i] = 0x400000;
        runConfig.imageLastAddresses[i] = 0x40FFFF;
    }
    typeInput(std::string(9, 'y'));
    startCapture();
    for (int32_t i = 0; i < kMaxImages; ++i)
        EXPECT_TRUE(checkOverlap(runConfig, i));
    std::string out = captured();
    size_t questions = 0;
    for (size_t p = 0; (p = out.find("overlapping", p)) != std::string::npos; ++p)
        ++questions;
    EXPECT_EQ(questions, 9U);
}

TEST_F(ImageChecks, ReportAndQuestionsOfOneImage) {
    TempDir dir;
    std::string image(72, '\x11');
    image[68] = image[69] = '\xCB';
    dir.write("a.bin", image);
    std::string name = dir.file("a.bin");
    runConfig.imageNames[0] = name.c_str();
    runConfig.imageAddresses[0] = -0x8000;  // the last address wraps in 32 bits
    runConfig.imageCount = 1;
    typeInput("y");  // the CRC question
    startCapture();
    checkImage(runConfig, 0);
    std::string out = captured();
    EXPECT_EQ(runConfig.imageLastAddresses[0], 0x7FFF);
    EXPECT_EQ(currentImage.size, 72);
    EXPECT_EQ(out, "\nOpening '" + name + "' ....Done\n" + "Filename:     " + name +
                       "\n"
                       "Size (bytes): 72\n"
                       "Checksum:     0x3333EDEC\n"
                       "File CRC:     0xfff5\n"
                       "Required CRC: 0xf0b8\n"
                       "\nCRC indicates that data file may be corrupt. Continue anyway [y/n]y\n");
    EXPECT_EQ(ftell(currentImage.stream), 0);
}

TEST_F(ImageChecks, AnImageThatIsNoFilePromptsUntilOneOpens) {
    TempDir dir;
    dir.write("real.bin", "abcd");
    // A directory opens on POSIX, but it is no image.
    dir.write("folder.bin/inside", "");
    std::string folder = dir.file("folder.bin");
    runConfig.imageNames[0] = folder.c_str();
    runConfig.target = TargetK52;
    // A typed name may end with CR LF.
    typeInput(dir.file("nope.bin") + "\n" + dir.file("real.bin") + "\r\ny");
    startCapture();
    ImageSums sums = checkImage(runConfig, 0);
    std::string out = captured();
    EXPECT_EQ(sums.checksum, 0x64636261u);
    EXPECT_EQ(currentImage.size, 4);
    EXPECT_NE(out.find("....Failed\n\nDownload filename: Could not open: " + dir.file("nope.bin") +
                       "\n\nDownload filename: Filename:"),
              std::string::npos)
        << out;
    // The report names the command-line file.
    EXPECT_NE(out.find("Filename:     " + folder + "\n"), std::string::npos);

    // The last line of the input is a name without its line end too (its
    // file carries its own check sequence: no question follows).
    const auto fcs =
        static_cast<uint16_t>(~crc16Update(0xFFFF, reinterpret_cast<const uint8_t*>("ab"), 2));
    dir.write("fcs.bin",
              std::string("ab") + static_cast<char>(fcs & 0xFF) + static_cast<char>(fcs >> 8));
    typeInput(dir.file("nope.bin") + "\n" + dir.file("fcs.bin"));
    startCapture();
    checkImage(runConfig, 0);
    captured();
    EXPECT_EQ(currentImage.size, 4);
}

// Sizes up to the int32 limit are measured; a larger file cannot be
// announced to the phone and ends the run. Opening the next image closes the
// file of the one before.
TEST_F(ImageChecks, SizesUpTo2GiBAndOneFileAtATime) {
    TempDir dir;
    dir.write("first.bin", "abcd");
    dir.write("largest.bin", "");
    dir.write("too-large.bin", "");
    ASSERT_EQ(truncate(dir.file("largest.bin").c_str(), 0x7FFFFFFF), 0);
    ASSERT_EQ(truncate(dir.file("too-large.bin").c_str(), 0x80000000), 0);
    startCapture();
    openImage(dir.file("first.bin").c_str());
    const int firstFd = fileno(currentImage.stream);
    openImage(dir.file("largest.bin").c_str());
    captured();
    EXPECT_EQ(currentImage.size, INT32_MAX);
    EXPECT_EQ(currentImage.span, 0x80000000u);
    EXPECT_EQ(fcntl(firstFd, F_GETFD), -1) << "the first image's file is still open";
    EXPECT_EXIT(
        {
            STDOUT_TO_STDERR();
            openImage(dir.file("too-large.bin").c_str());
        },
        testing::ExitedWithCode(1), "Done\n\n-+\nImage file is larger than 2 GiB");
}

TEST_F(ImageChecks, AnOverlongTypedNameIsNeverCutShort) {
    TempDir dir;
    // A real file whose 4095-character path is what the longer typed name
    // would be cut to.
    std::string relative;
    while (dir.path().size() + 1 + relative.size() + 201 < 4095)
        relative += std::string(200, 'd') + "/";
    relative += std::string(4095 - dir.path().size() - 1 - relative.size(), 'n');
    dir.write(relative, "abcd");
    const std::string longName = dir.file(relative);
    ASSERT_EQ(longName.size(), 4095U);
    runConfig.imageNames[0] = "/nonexistent/image.bin";
    runConfig.target = TargetK52;
    typeInput(longName + "tail\n" + longName + "\ny");
    startCapture();
    checkImage(runConfig, 0);
    std::string out = captured();
    EXPECT_EQ(currentImage.size, 4);
    size_t prompts = 0;
    for (size_t p = 0; (p = out.find("Download filename: ", p)) != std::string::npos; ++p)
        ++prompts;
    EXPECT_EQ(prompts, 2U);
    EXPECT_NE(out.find("Could not open: " + longName + "\n"), std::string::npos);
}

TEST_F(ImageChecks, EndOfInputAtThePromptStopsTheRun) {
    runConfig.imageNames[0] = "/nonexistent/image.bin";
    typeInput("/nonexistent/other.bin\n");
    EXPECT_EXIT(
        {
            STDOUT_TO_STDERR();
            checkImage(runConfig, 0);
        },
        testing::ExitedWithCode(1),
        "Download filename: Could not open: .*\n\nDownload filename: \n"
        "No file name: the console input has ended");
}

}  // namespace
