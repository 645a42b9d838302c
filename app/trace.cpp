#include "app/trace.h"

#include <cinttypes>
#include <cstdio>

#include "platform/keyboard.h"
#include "serial/port.h"

namespace {

FILE* traceFile = nullptr;
PortOps wrapped{};  // the port's own slots
TraceStage stage = TraceStage::Enq;
int32_t speed = 0;
uint64_t startUs = 0;

// Bytes of one direction not yet written as a line.
struct Pending {
    bool toPhone = false;
    uint64_t timeUs = 0;
    uint32_t count = 0;
    unsigned char bytes[16];  // a line's worth
};
Pending pending;

// The block being written: its bytes are one line, not hex.
uint32_t blockBytesLeft = 0;

const char* stageName(TraceStage s) {
    switch (s) {
        case TraceStage::Enq:
            return "ENQ";
        case TraceStage::Irom:
            return "IROM";
        case TraceStage::LoaderUpload:
            return "loader upload";
        case TraceStage::LoaderCommands:
            return "loader commands";
        case TraceStage::Blocks:
            return "blocks";
        case TraceStage::Dongle:
            return "dongle";
    }
    return "";
}

// Microseconds since the trace began, from the run's monotonic clock.
uint64_t nowUs() {
    return platform_micros() - startUs;
}

void lineStart(uint64_t timeUs, bool toPhone) {
    std::fprintf(traceFile, "%12" PRIu64 "  %-15s %6d  %s ", timeUs, stageName(stage),
                 static_cast<int>(speed), toPhone ? "->" : "<-");
}

void flushPending() {
    if (pending.count == 0) return;
    lineStart(pending.timeUs, pending.toPhone);
    char text[sizeof pending.bytes + 1];
    for (uint32_t i = 0; i < sizeof pending.bytes; ++i) {
        if (i < pending.count) {
            std::fprintf(traceFile, "%02X ", pending.bytes[i]);
            const unsigned char c = pending.bytes[i];
            text[i] = c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
        } else {
            std::fputs("   ", traceFile);
        }
    }
    text[pending.count] = '\0';
    std::fprintf(traceFile, " |%s|\n", text);
    std::fflush(traceFile);
    pending.count = 0;
}

void record(bool toPhone, const unsigned char* bytes, uint32_t length) {
    for (uint32_t i = 0; i < length; ++i) {
        if (pending.count > 0 &&
            (pending.toPhone != toPhone || pending.count == sizeof pending.bytes))
            flushPending();
        if (pending.count == 0) {
            pending.toPhone = toPhone;
            pending.timeUs = nowUs();
        }
        pending.bytes[pending.count++] = bytes[i];
        // A line from the phone ends with its LF.
        if (!toPhone && bytes[i] == '\n') flushPending();
    }
}

int32_t traceReadBlock(SerialPort* port, void* buffer, uint32_t length) {
    const int32_t rc = wrapped.read_block(port, buffer, length);
    if (rc >= 0) record(false, static_cast<const unsigned char*>(buffer), port->count);
    return rc;
}

int32_t traceReadByte(SerialPort* port) {
    const int32_t rc = wrapped.read_byte(port);
    if (rc >= 0) {
        const auto byte = static_cast<unsigned char>(rc);
        record(false, &byte, 1);
    }
    return rc;
}

int32_t traceWriteBlock(SerialPort* port, const void* data, uint32_t length) {
    const int32_t rc = wrapped.write_block(port, data, length);
    uint32_t sent = port->count <= length ? port->count : length;
    // The bytes of a block were described by its own line.
    const uint32_t block = sent < blockBytesLeft ? sent : blockBytesLeft;
    blockBytesLeft -= block;
    record(true, static_cast<const unsigned char*>(data) + block, sent - block);
    return rc;
}

int32_t traceWriteByte(SerialPort* port, int ch) {
    const int32_t rc = wrapped.write_byte(port, ch);
    if (rc >= 0) {
        const auto byte = static_cast<unsigned char>(ch);
        record(true, &byte, 1);
    }
    return rc;
}

int32_t traceSetLine(SerialPort* port, int32_t newSpeed, char parity, int32_t dataBits,
                     int32_t stopBits) {
    flushPending();
    speed = newSpeed;
    return wrapped.set_line(port, newSpeed, parity, dataBits, stopBits);
}

int32_t traceClose(SerialPort* port) {
    flushPending();
    std::fprintf(traceFile, "%12" PRIu64 "  %-15s %6d  port closed\n", nowUs(), stageName(stage),
                 static_cast<int>(speed));
    std::fflush(traceFile);
    return wrapped.close(port);
}

}  // namespace

bool traceOpen(const char* path) {
    traceFile = std::fopen(path, "w");
    if (traceFile == nullptr) return false;
    startUs = platform_micros();
    std::fputs(
        "# download wire trace: microseconds since the trace began, stage, line speed,\n"
        "# direction (-> to the phone, <- from it), bytes in hex, |as text|\n",
        traceFile);
    std::fflush(traceFile);
    return true;
}

void traceAttach(SerialPort* port, int32_t openSpeed) {
    if (traceFile == nullptr || port == nullptr) return;
    wrapped = port->ops;
    speed = openSpeed;
    PortOps& ops = port->ops;
    ops.read_block = traceReadBlock;
    ops.read_byte = traceReadByte;
    ops.write_block = traceWriteBlock;
    ops.write_byte = traceWriteByte;
    ops.set_line = traceSetLine;
    ops.close = traceClose;
}

TraceStage traceStage(TraceStage next) {
    const TraceStage previous = stage;
    if (traceFile != nullptr && next != stage) flushPending();
    stage = next;
    return previous;
}

void traceBlock(uint32_t number, uint32_t size, const char* kind, uint32_t wireBytes) {
    if (traceFile == nullptr) return;
    flushPending();
    lineStart(nowUs(), true);
    std::fprintf(traceFile, "block %" PRIu32 ": %" PRIu32 " bytes, %s\n", number, size, kind);
    std::fflush(traceFile);
    blockBytesLeft = wireBytes;
}
