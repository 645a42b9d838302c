#include "app/transfer.h"

#include <cinttypes>

#include "app/channel.h"
#include "app/console.h"
#include "app/image.h"
#include "app/run_state.h"
#include "serial/port.h"

namespace {

// The verdict's failure banner.
void printFailure(const char* what) {
    consoleWrite("\n");
    printRule('!');
    consolePrint("FLASH DOWNLOAD FAILURE : %s : Version: %s (%s)\n", what, kVersionText, kDateText);
    printRule('!');
}

void loaderCommand(CommandCode code, int32_t argument, uint8_t wait, const char* after) {
    sendCommand(code, argument);
    readReply(wait, &run().runValue);
    consoleWrite(after);
}

}  // namespace

BlockKind sendBlock(uint32_t length) {
    SerialPort* port = run().runPort;
    uint8_t buffer[kBlockSize];
    if (length > kBlockSize) length = kBlockSize;
    size_t got = std::fread(buffer, 1, length, run().currentImage.stream);
    bool allBlank = true;
    bool allZero = true;
    for (size_t i = 0; i < got; ++i) {
        if (buffer[i] != 0x00) allZero = false;
        if (buffer[i] != 0xFF) allBlank = false;
    }
    if (allBlank) {
        port_write_string(port, kBlankMarker, -1);
        return BlockBlank;
    }
    if (allZero) {
        port_write_string(port, kZeroMarker, -1);
        return BlockZero;
    }
    port_write_block_timed(port, buffer, static_cast<uint32_t>(got), -1);
    return BlockData;
}

void showProgress(BlockKind kind) {
    uint32_t& glyphCount = run().glyphCount;
    if (glyphCount != 0 && glyphCount % 64 == 0) {
        const uint32_t kib = run().currentImage.sizeKiB;
        uint32_t percent = kib == 0 ? 0 : (glyphCount * 100U + kib / 2U) / kib;
        if (percent == 100 && glyphCount != kib) percent = 99;
        consolePrint("  %" PRIu32 "%%\n", percent);
    }
    consolePutChar(loaderLetters[11 + kind]);
    ++glyphCount;
}

bool transferImage(RunConfig& config, int32_t index) {
    const ImageSums sums = checkImage(config, index);
    RunState& state = run();
    SerialPort* port = state.runPort;
    state.glyphCount = 0;

    port_drain_input(port);
    consolePrint("\nSend destination address,0x%06" PRIx32 ", to mobile\n",
                 static_cast<uint32_t>(config.imageAddresses[index]));
    loaderCommand(CmdAddress, config.imageAddresses[index], 4, "Response OK\n");

    port_drain_input(port);
    consolePrint("\nSend file size, %" PRId32 "bytes, to mobile\n", state.currentImage.size);
    loaderCommand(CmdSize, state.currentImage.size, 4, "Response OK\n");

    port_drain_input(port);
    consoleWrite("\nRequesting information from mobile\n");
    loaderCommand(CmdInfo, 0, 5, "Response OK\n");

    port_drain_input(port);
    consoleWrite("\nSending erase request to mobile\n");
    consoleWrite("Wait for FLASH to erase ....\n");
    loaderCommand(CmdErase, 0, 45, "FLASH erased OK\n");

    port_drain_input(port);
    consoleWrite("\nInitiating FLASH download\n");
    loaderCommand(CmdBegin, 0, 10, "FLASH download in progress ....\n");

    for (auto remainder = static_cast<uint32_t>(state.currentImage.size); remainder != 0;) {
        uint32_t length = remainder > kBlockSize ? kBlockSize : remainder;
        BlockKind kind = sendBlock(length);
        remainder -= length;
        showProgress(kind);
        readReply(15, &state.runValue);
    }
    consoleWrite("\nFLASH download complete\n");

    // Slots that no value line has filled can match nothing: a missing value
    // must read as a mismatch, never as a success.
    int64_t flashChecksum = -1;
    int64_t flashCrc = -1;

    port_drain_input(port);
    consoleWrite("\nRequesting FLASH checksum\n");
    sendCommand(CmdChecksum, 0);
    int32_t checksumSlot = 0;
    bool seen = false;
    readReply(10, &checksumSlot, &seen);
    if (seen) flashChecksum = static_cast<uint32_t>(checksumSlot);

    port_drain_input(port);
    consoleWrite("Requesting FLASH CRC\n");
    sendCommand(CmdCrc, 0);
    seen = false;
    readReply(10, &state.runValue, &seen);
    if (seen) flashCrc = static_cast<uint32_t>(state.runValue) & 0xFFFFU;

    consolePrint("File checksum:  0x%08" PRIX32 "\n", sums.checksum);
    if (flashChecksum >= 0) {
        consolePrint("FLASH checksum: 0x%08" PRIX32 "\n", static_cast<uint32_t>(flashChecksum));
    } else {
        consoleWrite("FLASH checksum: none reported\n");
    }
    consolePrint("File CRC:       0x%04X\n", unsigned{sums.crc});
    if (flashCrc >= 0) {
        consolePrint("FLASH CRC:      0x%04X\n", static_cast<unsigned>(flashCrc));
    } else {
        consoleWrite("FLASH CRC:      none reported\n");
    }

    if (flashChecksum != int64_t{sums.checksum}) {
        printFailure("Checksum mismatch");
        return false;
    }
    if (flashCrc != int64_t{sums.crc}) {
        printFailure("CRC mismatch");
        return false;
    }
    consoleWrite("\n");
    printRule('~');
    consolePrint("FLASH DOWNLOAD SUCCESSFUL : Version: %s (%s)\n", kVersionText, kDateText);
    printRule('~');
    return true;
}
