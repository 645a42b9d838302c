#include "app/transfer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "app/channel.h"
#include "app/image.h"
#include "tests/app/app_test_support.h"
#include "tests/support/temp_dir.h"

namespace {

using Transfer = StageTest;

TEST_F(Transfer, BlockKindsAndMarkers) {
    const struct {
        std::string bytes;
        uint32_t length;
        BlockKind kind;
        std::string wire;
    } cases[] = {
        {std::string(1024, '\xff'), 1024, BlockBlank, "__BLANKBLANK__"},
        {std::string(1024, '\0'), 1024, BlockZero, "__ZERO__ZERO__"},
        {std::string(3, '\0'), 3, BlockZero, "__ZERO__ZERO__"},
        {"\xff", 1, BlockBlank, "__BLANKBLANK__"},
        {std::string("\0\xff", 2), 2, BlockData, std::string("\0\xff", 2)},
        {"abc", 3, BlockData, "abc"},
        // The file ended early: what was read, or a blank marker for nothing.
        {"ab", 1024, BlockData, "ab"},
        {"", 1024, BlockBlank, "__BLANKBLANK__"},
        {std::string(2048, 'x'), 1024, BlockData, std::string(1024, 'x')},
    };
    TempDir dir;
    for (const auto& tc : cases) {
        dir.write("b.bin", tc.bytes);
        currentImage.stream = fopen(dir.file("b.bin").c_str(), "rb");
        fake.tx.clear();
        EXPECT_EQ(sendBlock(tc.length), tc.kind) << tc.bytes.size();
        EXPECT_EQ(fake.tx, tc.wire) << tc.bytes.size();
        fclose(currentImage.stream);
        currentImage.stream = nullptr;
    }
}

// The percentages printed at the ends of the progress lines.
std::vector<uint32_t> percentages(int32_t size, uint32_t blocks) {
    run().currentImage.size = size;
    run().currentImage.sizeKiB = imageSizeKiB(size);
    run().glyphCount = 0;
    testing::internal::CaptureStdout();
    for (uint32_t i = 0; i < blocks; ++i)
        showProgress(static_cast<BlockKind>(i % 3));
    std::string out = testing::internal::GetCapturedStdout();
    std::vector<uint32_t> result;
    size_t pos = 0;
    size_t lineStart = 0;
    while ((pos = out.find("%\n", lineStart)) != std::string::npos) {
        // Each full line: 64 glyphs, two blanks, the number, "%".
        std::string line = out.substr(lineStart, pos - lineStart);
        for (size_t j = 0; j < 64; ++j)
            EXPECT_EQ(line[j], ".o-"[(64 * result.size() + j) % 3]) << j;
        EXPECT_EQ(line.substr(64, 2), "  ");
        result.push_back(static_cast<uint32_t>(std::stoul(line.substr(66))));
        lineStart = pos + 2;
    }
    EXPECT_EQ(out.size() - lineStart, blocks - 64 * result.size());
    EXPECT_EQ(run().glyphCount, blocks);
    return result;
}

TEST_F(Transfer, ProgressPercentages) {
    EXPECT_EQ(percentages(1048576, 1024),
              (std::vector<uint32_t>{6, 13, 19, 25, 31, 38, 44, 50, 56, 63, 69, 75, 81, 88, 94}));
    EXPECT_EQ(percentages(65536, 64), std::vector<uint32_t>{});
    EXPECT_EQ(percentages(65537, 65), std::vector<uint32_t>{100});
    EXPECT_EQ(percentages(262656, 257), (std::vector<uint32_t>{25, 50, 75, 99}));
}

TEST_F(Transfer, GlyphsFollowTheBlockKinds) {
    currentImage.sizeKiB = 1;
    run().glyphCount = 0;
    startCapture();
    showProgress(BlockData);
    showProgress(BlockZero);
    showProgress(BlockBlank);
    EXPECT_EQ(captured(), ".o-");
}

// A minimal flash loader on the fake line: answers commands and blocks with
// "OK", C and R with the given value lines; a reply may come late, and stale
// lines may follow every reply.
struct ScriptedLoader {
    std::string checksumReply;
    std::string crcReply;
    std::map<std::string, uint32_t> delayMs;  // by command letter, or "block"
    std::string stale;                        // sent after every reply
    uint32_t remaining = 0;
    bool inBlocks = false;
    std::string pending;
    std::vector<std::string> commands;
    uint32_t blocks = 0;

    void attach(FakePort& fake) {
        fake.onWrite = [this](FakePort& f, uint8_t byte) { onByte(f, byte); };
    }

    void reply(FakePort& f, const std::string& what, const std::string& text) {
        auto delay = delayMs.find(what);
        f.receiveAt(fakeNow() + (delay == delayMs.end() ? 0 : delay->second), text + stale);
    }

    void onByte(FakePort& f, uint8_t byte) {
        pending.push_back(static_cast<char>(byte));
        if (inBlocks) {
            uint32_t want = remaining > 1024 ? 1024 : remaining;
            bool marker = pending == "__BLANKBLANK__" || pending == "__ZERO__ZERO__";
            // A short block that begins like a marker may still be one.
            bool markerPrefix = std::string("__BLANKBLANK__").rfind(pending, 0) == 0 ||
                                std::string("__ZERO__ZERO__").rfind(pending, 0) == 0;
            if (marker || (pending.size() >= want && !markerPrefix)) {
                remaining -= want;
                ++blocks;
                pending.clear();
                inBlocks = remaining != 0;
                reply(f, "block", "OK\r\n");
            }
            return;
        }
        if (pending.size() < 2 || pending.substr(pending.size() - 2) != "\r\n") return;
        std::string command = pending;
        pending.clear();
        commands.push_back(command);
        const std::string letter = command.substr(4, 1);
        if (command.rfind("AT##S=0x", 0) == 0)
            remaining = std::stoul(command.substr(8), nullptr, 16);
        if (command == "AT##B\r\n") inBlocks = remaining != 0;
        if (letter == "C") {
            reply(f, letter, checksumReply);
        } else if (letter == "R") {
            reply(f, letter, crcReply);
        } else {
            reply(f, letter, "AT echo\r\nOK\r\n");
        }
    }
};

class WholeImage : public Transfer {
protected:
    // One k52 image at 0x400000, the scripted loader on the line.
    void prepare(const std::string& bytes, const std::string& checksumReply,
                 const std::string& crcReply) {
        dir.write("img.bin", bytes);
        name = dir.file("img.bin");
        runConfig.imageNames[0] = name.c_str();
        runConfig.imageAddresses[0] = 0x400000;
        runConfig.imageCount = 1;
        runConfig.target = TargetK52;
        loader.checksumReply = checksumReply;
        loader.crcReply = crcReply;
        loader.attach(fake);
    }
    std::string run(const std::string& bytes, const std::string& checksumReply,
                    const std::string& crcReply, bool* verified) {
        prepare(bytes, checksumReply, crcReply);
        typeInput("yyyy");
        startCapture();
        *verified = transferImage(runConfig, 0);
        return captured();
    }
    TempDir dir;
    std::string name;
    ScriptedLoader loader;
};

// "abcd": checksum 0x64636261, CRC 0x5C94.
TEST_F(WholeImage, Verdicts) {
    const std::string success(79, '~');
    const std::string failure(79, '!');
    const struct {
        std::string checksumReply;
        std::string crcReply;
        bool verified;
        std::string banner;
        std::string flashLines;
    } cases[] = {
        {"0x64636261\r\nOK\r\n", "0x5C94\r\nOK\r\n", true,
         "\n" + success + "\nFLASH DOWNLOAD SUCCESSFUL : Version: 3.10a (May 10 2002)\n" + success +
             "\n",
         "FLASH checksum: 0x64636261\nFile CRC:       0x5C94\nFLASH CRC:      0x5C94\n"},
        // Only the low 16 bits of the CRC count.
        {"0x64636261\r\nOK\r\n", "0x15C94\r\nOK\r\n", true, "SUCCESSFUL",
         "FLASH CRC:      0x5C94\n"},
        {"0x64636262\r\nOK\r\n", "0x5C94\r\nOK\r\n", false,
         "\n" + failure +
             "\nFLASH DOWNLOAD FAILURE : Checksum mismatch : Version: 3.10a (May 10 2002)\n" +
             failure + "\n",
         "FLASH checksum: 0x64636262\n"},
        {"0x64636261\r\nOK\r\n", "0x5C95\r\nOK\r\n", false,
         "FLASH DOWNLOAD FAILURE : CRC mismatch : Version", "FLASH CRC:      0x5C95\n"},
        // Both differ: only the checksum banner.
        {"0x0\r\nOK\r\n", "0x0\r\nOK\r\n", false, "FAILURE : Checksum mismatch", ""},
        // No value at all is a mismatch, never a success.
        {"OK\r\n", "0x5C94\r\nOK\r\n", false, "FAILURE : Checksum mismatch",
         "FLASH checksum: none reported\n"},
        {"0x64636261\r\nOK\r\n", "OK\r\n", false, "FAILURE : CRC mismatch",
         "FLASH CRC:      none reported\n"},
    };
    for (const auto& tc : cases) {
        fake.tx.clear();
        loader = ScriptedLoader{};
        bool verified = false;
        std::string out = run("abcd", tc.checksumReply, tc.crcReply, &verified);
        restoreInput();
        EXPECT_EQ(verified, tc.verified) << out;
        EXPECT_NE(out.find(tc.banner), std::string::npos) << out;
        EXPECT_NE(out.find(tc.flashLines), std::string::npos) << out;
        EXPECT_EQ(out.find("SUCCESSFUL") != std::string::npos, tc.verified) << out;
    }
}

// Stale lines (a late "OK") are drained before each command: they must not
// end the reply to C or R before its value.
TEST_F(WholeImage, StaleLinesAreDrainedBeforeEachCommand) {
    prepare("abcd", "0x64636261\r\nOK\r\n", "0x5C94\r\nOK\r\n");
    loader.stale = "OK\r\n";
    typeInput("y");
    startCapture();
    const bool verified = transferImage(runConfig, 0);
    const std::string out = captured();
    EXPECT_TRUE(verified) << out;
    EXPECT_NE(out.find("FLASH checksum: 0x64636261\n"), std::string::npos) << out;
}

// Each reply may take its own time, per character, and not a moment longer.
TEST_F(WholeImage, EachReplyWaitsItsOwnTime) {
    const struct {
        std::string what;
        uint32_t seconds;
    } cases[] = {{"L", 4},  {"S", 4},      {"I", 5},  {"E", 45},
                 {"B", 10}, {"block", 15}, {"C", 10}, {"R", 10}};
    for (const auto& tc : cases) {
        for (const bool late : {false, true}) {
            resetFakeClock();
            fake.rx.clear();
            fake.scheduled.clear();
            loader = ScriptedLoader{};
            prepare(std::string(3000, 'x'), "0x0\r\nOK\r\n", "0x0\r\nOK\r\n");
            loader.delayMs[tc.what] = tc.seconds * 1000 + (late ? 5 : -5);
            typeInput("yy");
            if (!late) {
                startCapture();
                transferImage(runConfig, 0);
                const std::string out = captured();
                EXPECT_NE(out.find("FLASH CRC:"), std::string::npos) << tc.what << out;
            } else {
                EXPECT_EXIT(
                    {
                        STDOUT_TO_STDERR();
                        transferImage(runConfig, 0);
                    },
                    testing::ExitedWithCode(1), "ERROR 3: Timeout waiting for response")
                    << tc.what;
            }
            restoreInput();
            if (currentImage.stream != nullptr) fclose(currentImage.stream);
            currentImage.stream = nullptr;
        }
    }
}

TEST_F(WholeImage, CommandsTextsAndBlocks) {
    // 1025 bytes: a data block and a one-byte 0xFF block (a blank marker).
    std::string image(1024, 'x');
    image.push_back('\xff');
    bool verified = false;
    std::string out = run(image, "OK\r\n", "OK\r\n", &verified);
    EXPECT_EQ(loader.commands,
              (std::vector<std::string>{"AT##L=0x400000\r\n", "AT##S=0x401\r\n", "AT##I\r\n",
                                        "AT##E\r\n", "AT##B\r\n", "AT##C\r\n", "AT##R\r\n"}));
    EXPECT_EQ(loader.blocks, 2U);
    EXPECT_NE(fake.tx.find(std::string(1024, 'x') + "__BLANKBLANK__AT##C"), std::string::npos);
    const std::string expected =
        "\nSend destination address,0x400000, to mobile\nResponse OK\n"
        "\nSend file size, 1025bytes, to mobile\nResponse OK\n"
        "\nRequesting information from mobile\nResponse OK\n"
        "\nSending erase request to mobile\nWait for FLASH to erase ....\nFLASH erased OK\n"
        "\nInitiating FLASH download\nFLASH download in progress ....\n"
        ".-\nFLASH download complete\n"
        "\nRequesting FLASH checksum\nRequesting FLASH CRC\nFile checksum:  0x";
    EXPECT_NE(out.find(expected), std::string::npos) << out;
}

TEST_F(WholeImage, AFileThatShrinksWhileSentIsAMismatch) {
    // 3000 bytes measured; the file is emptied once the transfer begins, so
    // every block goes out as a blank marker and the phone's sums are those
    // of erased FLASH.
    prepare(std::string(3000, 'x'), "0xFFFFFFFF\r\nOK\r\n", "0x1234\r\nOK\r\n");
    fake.onWrite = [this](FakePort& f, uint8_t byte) {
        loader.onByte(f, byte);
        if (loader.commands.size() == 5 && loader.blocks == 0) truncate(name.c_str(), 0);
    };
    typeInput("y");
    startCapture();
    bool verified = transferImage(runConfig, 0);
    std::string out = captured();
    EXPECT_FALSE(verified);
    EXPECT_EQ(loader.blocks, 3U);
    EXPECT_NE(fake.tx.find("AT##B\r\n__BLANKBLANK____BLANKBLANK____BLANKBLANK__AT##C"),
              std::string::npos);
    EXPECT_NE(out.find("FLASH DOWNLOAD FAILURE : Checksum mismatch"), std::string::npos) << out;
}

TEST_F(WholeImage, EmptyImageHasNoBlocks) {
    bool verified = false;
    std::string out = run("", "0x0\r\nOK\r\n", "0xFFFF\r\nOK\r\n", &verified);
    EXPECT_TRUE(verified);
    EXPECT_EQ(loader.blocks, 0U);
    EXPECT_NE(out.find("FLASH download in progress ....\n\nFLASH download complete\n"),
              std::string::npos);
}

TEST_F(WholeImage, ABlockWithoutReplyEndsTheRun) {
    prepare(std::string(3000, 'x'), "", "");
    // The phone answers the commands but falls silent after the first block.
    fake.onWrite = [this](FakePort& f, uint8_t byte) {
        if (loader.blocks < 1) loader.onByte(f, byte);
    };
    typeInput("y");
    EXPECT_EXIT(
        {
            STDOUT_TO_STDERR();
            transferImage(runConfig, 0);
        },
        testing::ExitedWithCode(1),
        "\\.\\.\n-+\nERROR 3: Timeout waiting for response from mobile\n-+\n"
        // What the phone is left with, on standard error.
        ".*img\\.bin: 2 of 3 blocks sent; its FLASH at 0x400000-0x40FFFF is incomplete and "
        "must be flashed again\n$");
}

}  // namespace
