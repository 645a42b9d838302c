#include "app/transfer.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <string_view>

#include "app/channel.h"
#include "app/console.h"
#include "app/events.h"
#include "app/image.h"
#include "app/progress.h"
#include "app/run_state.h"
#include "app/trace.h"
#include "serial/port.h"

namespace {

// What a blank or zero block puts on the wire in place of its bytes.
constexpr auto kMarkerLength = static_cast<uint32_t>(std::string_view(kBlankMarker).size());
static_assert(std::string_view(kZeroMarker).size() == kMarkerLength);

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
    const uint32_t number = run().flash.blocksSent + 1U;
    if (allBlank) {
        traceBlock(number, length, "blank", kMarkerLength);
        port_write_string(port, kBlankMarker, -1);
        return BlockBlank;
    }
    if (allZero) {
        traceBlock(number, length, "zero", kMarkerLength);
        port_write_string(port, kZeroMarker, -1);
        return BlockZero;
    }
    traceBlock(number, static_cast<uint32_t>(got), "data", static_cast<uint32_t>(got));
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

namespace {

// What the phone refuses with an ERROR reply to the next command: said on
// standard error after the classic message.
void noteRefusal(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
void noteRefusal(const char* format, ...) {
    char* note = run().refusalNote;
    va_list args;
    va_start(args, format);
    std::vsnprintf(note, sizeof run().refusalNote, format, args);
    va_end(args);
}

// L, S, I, E and B, each with its texts; from the erase on the phone's FLASH
// no longer holds what it held.
void prepareFlash(const RunConfig& config, int32_t index) {
    RunState& state = run();
    SerialPort* port = state.runPort;
    const char* name = config.imageNames[index];
    const auto first = static_cast<uint32_t>(config.imageAddresses[index]);
    const auto last = static_cast<uint32_t>(config.imageLastAddresses[index]);
    const int32_t size = state.currentImage.size;
    traceStage(TraceStage::LoaderCommands);

    port_drain_input(port);
    consolePrint("\nSend destination address,0x%06" PRIx32 ", to mobile\n", first);
    noteRefusal("the phone refused the destination address 0x%" PRIX32 " of %s", first, name);
    loaderCommand(CmdAddress, config.imageAddresses[index], 4, "Response OK\n");

    port_drain_input(port);
    consolePrint("\nSend file size, %" PRId32 "bytes, to mobile\n", size);
    noteRefusal("the phone refused the size of %s: %" PRId32 " bytes at 0x%" PRIX32 "-0x%" PRIX32,
                name, size, first, first + static_cast<uint32_t>(size) - 1U);
    loaderCommand(CmdSize, size, 4, "Response OK\n");
    state.refusalNote[0] = '\0';

    port_drain_input(port);
    consoleWrite("\nRequesting information from mobile\n");
    loaderCommand(CmdInfo, 0, 5, "Response OK\n");
    eventPhoneFlashDevice(lastReplyLines());

    port_drain_input(port);
    consoleWrite("\nSending erase request to mobile\n");
    consoleWrite("Wait for FLASH to erase ....\n");
    FlashState& flash = state.flash;
    flash.writing = index;
    flash.blocksSent = 0;
    flash.blocks = (static_cast<uint32_t>(size) + kBlockSize - 1U) / kBlockSize;
    updateFlashNote();
    noteRefusal("the phone refused to erase 0x%" PRIX32 "-0x%" PRIX32
                " for %s (its size rounded up to whole 64 KiB)",
                first, last, name);
    progressWaitBegin("erasing");
    sendCommand(CmdErase, 0);
    readReply(45, &state.runValue);
    progressWaitEnd();
    consoleWrite("FLASH erased OK\n");
    state.refusalNote[0] = '\0';

    port_drain_input(port);
    consoleWrite("\nInitiating FLASH download\n");
    loaderCommand(CmdBegin, 0, 10, "FLASH download in progress ....\n");
}

// The blocks, stop and wait: each one's reply before the next.
void sendBlocks(int32_t index) {
    RunState& state = run();
    FlashState& flash = state.flash;
    const auto size = static_cast<uint32_t>(state.currentImage.size);
    traceStage(TraceStage::Blocks);
    progressImageBegin(size);
    for (uint32_t remainder = size; remainder != 0;) {
        uint32_t length = remainder > kBlockSize ? kBlockSize : remainder;
        BlockKind kind = sendBlock(length);
        remainder -= length;
        ++flash.blocksSent;
        updateFlashNote();
        if (progressEnabled()) {
            progressImageDone(size - remainder);
        } else {
            showProgress(kind);
        }
        readReply(15, &state.runValue);
        eventProgress(index, size - remainder, size);
    }
    consoleWrite("\nFLASH download complete\n");
}

// C and R, the comparison with the file's sums, the verdict.
bool verifyFlash(const RunConfig& config, int32_t index, const ImageSums& sums) {
    RunState& state = run();
    SerialPort* port = state.runPort;
    traceStage(TraceStage::LoaderCommands);
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

    const bool checksumOk = flashChecksum == int64_t{sums.checksum};
    const bool crcOk = flashCrc == int64_t{sums.crc};
    const char* mismatch = !checksumOk ? "Checksum mismatch" : !crcOk ? "CRC mismatch" : nullptr;
    eventVerdict(index,
                 !checksumOk ? "checksum mismatch"
                 : !crcOk    ? "crc mismatch"
                             : "verified",
                 flashChecksum, flashCrc);
    if (mismatch != nullptr) {
        const std::string reason = std::string(config.imageNames[index]) + ": " + mismatch;
        setStopReason(reason.c_str());
        printFailure(mismatch);
        return false;
    }
    consoleWrite("\n");
    printRule('~');
    consolePrint("FLASH DOWNLOAD SUCCESSFUL : Version: %s (%s)\n", kVersionText, kDateText);
    printRule('~');
    return true;
}

}  // namespace

bool transferImage(RunConfig& config, int32_t index) {
    FlashState& flash = run().flash;
    ++flash.imagesStarted;
    updateFlashNote();
    eventStage("image", index, run().blockSpeed);
    const ImageSums sums = checkImage(config, index);
    run().glyphCount = 0;
    prepareFlash(config, index);
    sendBlocks(index);
    const bool verified = verifyFlash(config, index, sums);
    // The verdict says what this image's FLASH holds now.
    flash.writing = -1;
    if (verified) ++flash.imagesVerified;
    updateFlashNote();
    return verified;
}
