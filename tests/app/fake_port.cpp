#include "tests/app/fake_port.h"

#include <cstdio>
#include <cstring>

#include "platform/keyboard.h"

namespace {

uint32_t clockNow = 0;

uint32_t fakeTicks() {
    return clockNow;
}
int32_t fakeIdle(SerialPort*) {
    ++clockNow;
    return 0;
}

FakePort& self(SerialPort* port) {
    return *static_cast<FakePort*>(port->driver);
}

void record(SerialPort* port, const char* format, long value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    self(port).events.emplace_back(text);
}

int32_t rxCount(SerialPort* port) {
    FakePort& f = self(port);
    while (!f.scheduled.empty() && f.scheduled.front().time <= clockNow) {
        f.rx += f.scheduled.front().bytes;
        f.scheduled.erase(f.scheduled.begin());
    }
    return static_cast<int32_t>(f.rx.size());
}

int32_t readBlock(SerialPort* port, void* buffer, uint32_t length) {
    rxCount(port);
    FakePort& f = self(port);
    size_t n = std::min<size_t>(length, f.rx.size());
    std::memcpy(buffer, f.rx.data(), n);
    f.rx.erase(0, n);
    port->count = static_cast<uint32_t>(n);
    return n == 0 ? PORT_NO_DATA : 0;
}

int32_t readByte(SerialPort* port) {
    uint8_t byte;
    int32_t rc = readBlock(port, &byte, 1);
    return rc < 0 ? rc : byte;
}

int32_t writeBlock(SerialPort* port, const void* data, uint32_t length) {
    FakePort& f = self(port);
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (uint32_t i = 0; i < length; ++i) {
        f.tx.push_back(static_cast<char>(bytes[i]));
        f.writeTimes.push_back(clockNow);
        if (f.onWrite) f.onWrite(f, bytes[i]);
    }
    port->count = length;
    if (f.onWriteBlock) f.onWriteBlock(f, std::string(static_cast<const char*>(data), length));
    return 0;
}

int32_t writeByte(SerialPort* port, int ch) {
    uint8_t byte = static_cast<uint8_t>(ch);
    record(port, "write %02lX", byte);
    return writeBlock(port, &byte, 1);
}

int32_t setLine(SerialPort* port, int32_t speed, char, int32_t, int32_t) {
    self(port).speed = speed;
    record(port, "line %ld", speed);
    return port->status;
}

int32_t setDtr(SerialPort* port, int on) {
    record(port, "dtr %ld", on);
    return 0;
}

int32_t setRts(SerialPort* port, int on) {
    record(port, "rts %ld", on);
    return 0;
}

int32_t sendBreak(SerialPort* port, int32_t ms) {
    record(port, "break %ld", ms);
    clockNow += static_cast<uint32_t>(ms);
    return 0;
}

int32_t closePort(SerialPort* port) {
    self(port).closed = true;
    record(port, "close", 0);
    return 0;
}

}  // namespace

uint32_t fakeNow() {
    return clockNow;
}
void resetFakeClock() {
    clockNow = 0;
}

FakePort::FakePort() {
    port_fill_default_ops(&port.ops);
    port.driver = this;
    port.port_index = 0;
    port.ops.read_byte = readByte;
    port.ops.write_byte = writeByte;
    port.ops.read_block = readBlock;
    port.ops.write_block = writeBlock;
    port.ops.rx_count = rxCount;
    port.ops.set_line = setLine;
    port.ops.set_dtr = setDtr;
    port.ops.set_rts = setRts;
    port.ops.send_break = sendBreak;
    port.ops.close = closePort;
    set_tick_source(fakeTicks);
    set_idle_hook(fakeIdle);
}

FakePort::~FakePort() {
    set_tick_source(nullptr);
    set_idle_hook(pump_messages);
}
