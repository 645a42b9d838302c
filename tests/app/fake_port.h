// A SerialPort whose far side is a script: bytes the phone sends, a record of
// everything the tool did, and a clock that moves only when waits idle.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "serial/port.h"

struct FakePort {
    FakePort();
    ~FakePort();
    FakePort(const FakePort&) = delete;
    FakePort& operator=(const FakePort&) = delete;

    SerialPort port{};
    std::string rx;                    // still to be received by the tool
    std::string tx;                    // every byte the tool wrote
    std::vector<std::string> events;   // line changes, modem lines, breaks, writes
    std::vector<uint32_t> writeTimes;  // fake clock reading at each written byte
    // Called for every byte the tool writes (e.g. to answer a dongle wake-up).
    std::function<void(FakePort&, uint8_t)> onWrite;
    // Called once per write_block with the whole block (a wire command).
    std::function<void(FakePort&, const std::string&)> onWriteBlock;
    int32_t speed = 0;
    bool closed = false;

    void receive(const std::string& bytes) { rx += bytes; }
    // Bytes that arrive once the fake clock reaches the given time.
    void receiveAt(uint32_t time, const std::string& bytes) { scheduled.push_back({time, bytes}); }

    struct Arrival {
        uint32_t time;
        std::string bytes;
    };
    std::vector<Arrival> scheduled;
};

// The fake clock: advances by one millisecond on every idle pass.
uint32_t fakeNow();
void resetFakeClock();
