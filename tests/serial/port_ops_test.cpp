// Generic timed operations, default slots, the port list and the exit action,
// against a fake driver and a fake clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "platform/keyboard.h"
#include "serial/port.h"

namespace {

// The device behind the fake driver: a receive queue, a transmit queue that
// drains a little on every idle pass unless the line is stalled.
struct FakeDevice {
    std::deque<unsigned char> rx;
    std::string sent;
    uint32_t txCapacity = 1050;
    uint32_t txQueued = 0;
    uint32_t drainPerPass = 100;
    bool stalled = false;
    int32_t writeFailure = 0;  // write_block returns this (after storing it) when set
    int32_t readFailure = 0;
    int readBlockCalls = 0;
    int writeBlockCalls = 0;
    std::vector<std::string> lines;  // modem line changes, with the bytes still queued
};

uint32_t fakeNow = 0;
uint32_t fakeClock() {
    return fakeNow;
}

// The idle hook of the tests: counts passes, moves the clock, lets bytes
// arrive and the transmit queue drain, and can fail on a given pass.
struct HookScript {
    FakeDevice* device = nullptr;
    int calls = 0;
    uint32_t msPerPass = 1;
    int arriveOnPass = -1;  // push `arriving` into rx on this pass
    std::vector<unsigned char> arriving;
    int failOnPass = -1;
    int32_t failCode = 0;
    int unstallOnPass = -1;
    bool sawNullPort = false;
    std::vector<std::pair<uint32_t, IdlePass>> passes;  // (time, what it may wait for)
};
HookScript hook;

int32_t testHook(SerialPort* port) {
    ++hook.calls;
    if (port == nullptr) hook.sawNullPort = true;
    hook.passes.emplace_back(fakeNow, idle_take());
    fakeNow += hook.msPerPass;
    FakeDevice* d = hook.device;
    if (d != nullptr) {
        if (hook.calls == hook.arriveOnPass)
            d->rx.insert(d->rx.end(), hook.arriving.begin(), hook.arriving.end());
        if (hook.calls == hook.unstallOnPass) d->stalled = false;
        if (!d->stalled)
            d->txQueued -= d->txQueued < d->drainPerPass ? d->txQueued : d->drainPerPass;
    }
    if (hook.calls == hook.failOnPass) return hook.failCode;
    return 0;
}

FakeDevice* dev(SerialPort* port) {
    return static_cast<FakeDevice*>(port->driver);
}

int32_t fakeRxCount(SerialPort* port) {
    return static_cast<int32_t>(dev(port)->rx.size());
}

int32_t fakeReadBlock(SerialPort* port, void* buffer, uint32_t length) {
    FakeDevice* d = dev(port);
    ++d->readBlockCalls;
    port->count = 0;
    if (d->readFailure != 0) {
        port->status = d->readFailure;
        return d->readFailure;
    }
    if (d->rx.empty()) return PORT_NO_DATA;
    auto* out = static_cast<unsigned char*>(buffer);
    while (port->count < length && !d->rx.empty()) {
        out[port->count++] = d->rx.front();
        d->rx.pop_front();
    }
    return PORT_OK;
}

int32_t fakeReadByte(SerialPort* port) {
    unsigned char byte = 0;
    int32_t rc = fakeReadBlock(port, &byte, 1);
    return rc < 0 ? rc : byte;
}

int32_t fakeWriteBlock(SerialPort* port, const void* data, uint32_t length) {
    FakeDevice* d = dev(port);
    ++d->writeBlockCalls;
    port->count = 0;
    if (d->writeFailure != 0) {
        port->status = d->writeFailure;
        return d->writeFailure;
    }
    uint32_t room = d->txCapacity - d->txQueued;
    uint32_t n = length < room ? length : room;
    d->sent.append(static_cast<const char*>(data), n);
    d->txQueued += n;
    port->count = n;
    if (n >= length) return PORT_OK;
    port->status = PORT_TX_FULL;
    return PORT_TX_FULL;
}

int32_t fakeWriteByte(SerialPort* port, int ch) {
    unsigned char byte = static_cast<unsigned char>(ch);
    return fakeWriteBlock(port, &byte, 1);
}

int32_t fakeTxCount(SerialPort* port) {
    return static_cast<int32_t>(dev(port)->txQueued);
}

void recordLine(SerialPort* port, const char* name, int on) {
    dev(port)->lines.push_back(std::string(name) + (on ? " on" : " off") + " queued " +
                               std::to_string(dev(port)->txQueued));
}

class PortOpsTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Start just before the 32-bit clock wraps: every deadline crosses it.
        fakeNow = 0xFFFFFF00u;
        set_tick_source(fakeClock);
        hook = HookScript{};
        hook.device = &device;
        set_idle_hook(testHook);
        port = port_create();
        ASSERT_NE(port, nullptr);
        port->driver = &device;
        port->driver_type = 99;
        port->ops.rx_count = fakeRxCount;
        port->ops.read_block = fakeReadBlock;
        port->ops.read_byte = fakeReadByte;
        port->ops.write_block = fakeWriteBlock;
        port->ops.write_byte = fakeWriteByte;
        port->ops.tx_count = fakeTxCount;
        port->ops.set_dtr = [](SerialPort* p, int on) {
            recordLine(p, "dtr", on);
            return 0;
        };
        port->ops.set_rts = [](SerialPort* p, int on) {
            recordLine(p, "rts", on);
            return 0;
        };
    }
    void TearDown() override {
        port->ops.close(port);
        set_idle_hook(nullptr);
        set_tick_source(nullptr);
    }

    FakeDevice device;
    SerialPort* port = nullptr;
};

struct ReadCase {
    const char* name;
    std::vector<unsigned char> waiting;
    int arriveOnPass;
    std::vector<unsigned char> arriving;
    int32_t timeoutMs;
    int failOnPass;
    int32_t expected;
    int minCalls, maxCalls;  // idle passes
    int32_t expectedStatus;  // status starts at -9 to show what is touched
};

const ReadCase kReadCases[] = {
    {"waiting byte, no idle pass", {0x41}, -1, {}, 1000, -1, 0x41, 0, 0, PORT_TX_FULL},
    {"0x81 zero-extended", {0x81}, -1, {}, 1000, -1, 129, 0, 0, PORT_TX_FULL},
    {"0xFF zero-extended", {0xFF}, -1, {}, 1000, -1, 255, 0, 0, PORT_TX_FULL},
    {"0x00 is a byte", {0x00}, -1, {}, 1000, -1, 0, 0, 0, PORT_TX_FULL},
    {"time-out after 1000 ms, status kept",
     {},
     -1,
     {},
     1000,
     -1,
     PORT_NO_DATA,
     1000,
     1000,
     PORT_TX_FULL},
    {"time-out 0 makes one pass", {}, -1, {}, 0, -1, PORT_NO_DATA, 1, 1, PORT_TX_FULL},
    {"byte arriving during the wait", {}, 250, {0x7E}, 1000, -1, 0x7E, 250, 250, PORT_TX_FULL},
    {"no limit outlasts any time-out",
     {},
     100000,
     {0x06},
     -1,
     -1,
     0x06,
     100000,
     100000,
     PORT_TX_FULL},
    {"hook failure ends and is stored", {}, -1, {}, -1, 30, -30, 30, 30, -30},
};

TEST_F(PortOpsTest, ReadByteTimed) {
    for (const ReadCase& c : kReadCases) {
        SCOPED_TRACE(c.name);
        device.rx.assign(c.waiting.begin(), c.waiting.end());
        hook = HookScript{};
        hook.device = &device;
        hook.arriveOnPass = c.arriveOnPass;
        hook.arriving = c.arriving;
        hook.failOnPass = c.failOnPass;
        hook.failCode = -30;
        port->status = PORT_TX_FULL;
        const uint32_t start = fakeNow;
        EXPECT_EQ(port_read_byte_timed(port, c.timeoutMs), c.expected);
        EXPECT_GE(hook.calls, c.minCalls);
        EXPECT_LE(hook.calls, c.maxCalls);
        EXPECT_EQ(port->status, c.expectedStatus);
        if (c.expected == PORT_NO_DATA && c.timeoutMs > 0) {
            EXPECT_GE(fakeNow - start, static_cast<uint32_t>(c.timeoutMs));
        }
        // Brisk passes at first, longer sleeps later, none past the deadline;
        // each ends on a byte.
        for (const auto& [at, pass] : hook.passes) {
            const int64_t left = c.timeoutMs == -1 ? int64_t{kIdleAllowanceMaxMs}
                                                   : c.timeoutMs - int64_t{at - start};
            const int64_t most = at - start < kIdleBriskMs ? kIdleBriskStepMs : kIdleAllowanceMaxMs;
            const int64_t expected = std::clamp<int64_t>(left, 1, most);
            ASSERT_EQ(int64_t{pass.ms}, expected) << at - start;
            ASSERT_TRUE(pass.input && !pass.keys);
        }
        // The next wait (a delay) gets none of it: 1 ms, whatever arrives.
        hook.passes.clear();
        port_wait(port, 2);
        for (const auto& [at, pass] : hook.passes)
            EXPECT_TRUE(pass.ms == 1 && !pass.input && !pass.keys) << pass.ms;
    }
}

TEST_F(PortOpsTest, ReadByteTimedStopsOnAFailingDevice) {
    // rx_count failing (a vanished device) must not be taken for "nothing yet".
    port->ops.rx_count = [](SerialPort* p) {
        p->status = PORT_FAILED;
        return PORT_FAILED;
    };
    device.readFailure = PORT_FAILED;
    EXPECT_EQ(port_read_byte_timed(port, -1), PORT_FAILED);
    EXPECT_EQ(hook.calls, 0);
}

std::string pattern(size_t n) {
    std::string bytes;
    for (size_t i = 0; i < n; ++i)
        bytes.push_back(static_cast<char>(i * 7));
    return bytes;
}

struct WriteCase {
    const char* name;
    size_t length;
    int32_t timeoutMs;
    bool stalled;
    int unstallOnPass;
    int32_t writeFailure;
    int failOnPass;
    int32_t statusBefore;
    int32_t expected;
    uint32_t expectedCount;
    int32_t expectedStatus;
};

const WriteCase kWriteCases[] = {
    {"0 bytes", 0, -1, false, -1, 0, -1, 0, PORT_OK, 0, 0},
    {"3000 bytes through a 1050-byte queue", 3000, -1, false, -1, 0, -1, 0, PORT_OK, 3000, 0},
    {"stalled line times out with the queued count", 3000, 10, true, -1, 0, -1, 0, PORT_TX_FULL,
     1050, PORT_TX_FULL},
    {"success restores a sticky -9", 3000, -1, false, -1, 0, -1, PORT_TX_FULL, PORT_OK, 3000,
     PORT_TX_FULL},
    {"no limit waits out a long stall", 3000, -1, true, 20000, 0, -1, 0, PORT_OK, 3000, 0},
    {"device failure ends an unbounded write at once", 3000, -1, false, -1, PORT_FAILED, -1, 0,
     PORT_FAILED, 0, PORT_FAILED},
    {"hook failure ends an unbounded write", 3000, -1, true, -1, 0, 5, 0, -30, 1050, -30},
};

TEST_F(PortOpsTest, WriteBlockTimed) {
    for (const WriteCase& c : kWriteCases) {
        SCOPED_TRACE(c.name);
        device = FakeDevice{};
        device.stalled = c.stalled;
        device.writeFailure = c.writeFailure;
        hook = HookScript{};
        hook.device = &device;
        hook.unstallOnPass = c.unstallOnPass;
        hook.failOnPass = c.failOnPass;
        hook.failCode = -30;
        port->status = c.statusBefore;
        port->count = 12345;
        const std::string data = pattern(c.length);
        EXPECT_EQ(port_write_block_timed(port, data.data(), static_cast<uint32_t>(data.size()),
                                         c.timeoutMs),
                  c.expected);
        EXPECT_EQ(port->count, c.expectedCount);
        EXPECT_EQ(port->status, c.expectedStatus);
        EXPECT_EQ(device.sent, data.substr(0, c.expectedCount));
    }
}

TEST_F(PortOpsTest, WriteBlockTimedKeepsTheCountOfEarlierPassesOnFailure) {
    // Two passes succeed partially, then the device dies.
    device.stalled = true;
    hook.failOnPass = -1;
    port->ops.write_block = [](SerialPort* p, const void* data, uint32_t length) {
        if (dev(p)->writeBlockCalls >= 2) {
            ++dev(p)->writeBlockCalls;
            p->count = 0;
            p->status = PORT_FAILED;
            return PORT_FAILED;
        }
        dev(p)->txQueued = 0;  // room for one more queue's worth
        return fakeWriteBlock(p, data, length);
    };
    const std::string data = pattern(5000);
    EXPECT_EQ(port_write_block_timed(port, data.data(), 5000, -1), PORT_FAILED);
    EXPECT_EQ(port->count, 2100u);
    EXPECT_EQ(device.sent, data.substr(0, 2100));
}

struct StringCase {
    const char* name;
    const char* text;
    int32_t terminator;
    int32_t statusBefore;
    uint32_t capacity;
    int32_t expected;
    std::string sent;
};

const StringCase kStringCases[] = {
    {"no terminator", "AT\r", -1, 0, 1050, 0, "AT\r"},
    {"CR LF", "AT\r", -2, 0, 1050, 0, "AT\r\r\n"},
    {"one byte", "AT", 'X', 0, 1050, 0, "ATX"},
    {"byte 0", "AT", 0, 0, 1050, 0, std::string("AT\0", 3)},
    {"byte 255", "AT", 255, 0, 1050, 0, "AT\xff"},
    {"terminator 256 refused", "AT", 256, 0, 1050, PORT_BAD_ARGUMENT, ""},
    {"terminator -3 refused", "AT", -3, 0, 1050, PORT_BAD_ARGUMENT, ""},
    {"sticky status skips the terminator", "AT", -2, PORT_TX_FULL, 1050, PORT_TX_FULL, "AT"},
    {"short queue sends part, no terminator", "ABCDEF", -2, 0, 4, PORT_TX_FULL, "ABCD"},
    {"empty text", "", 'Z', 0, 1050, 0, "Z"},
};

TEST_F(PortOpsTest, WriteString) {
    for (const StringCase& c : kStringCases) {
        SCOPED_TRACE(c.name);
        device = FakeDevice{};
        device.txCapacity = c.capacity;
        port->status = c.statusBefore;
        EXPECT_EQ(port_write_string(port, c.text, c.terminator), c.expected);
        EXPECT_EQ(port->status, c.expected);
        EXPECT_EQ(device.sent, c.sent);
        EXPECT_EQ(hook.calls, 0);  // never waits
    }
}

TEST_F(PortOpsTest, DrainInput) {
    struct Case {
        const char* name;
        size_t waiting;
        int32_t failure;
        int32_t expected;
        int reads;
    } const cases[] = {
        {"empty queue: one read", 0, 0, 0, 1},
        {"200 bytes in 64-byte reads", 200, 0, 0, 5},
        {"read failure is returned", 10, PORT_FAILED, PORT_FAILED, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        device = FakeDevice{};
        device.rx.assign(c.waiting, 0x55);
        device.readFailure = c.failure;
        port->status = 0;
        EXPECT_EQ(port_drain_input(port), c.expected);
        EXPECT_EQ(device.readBlockCalls, c.reads);
        if (c.failure == 0) {
            EXPECT_TRUE(device.rx.empty());
        }
        EXPECT_EQ(hook.calls, 0);  // does not wait for more
    }
}

TEST_F(PortOpsTest, WaitAndDelay) {
    struct Case {
        const char* name;
        int32_t ms;
        int ticks;  // port_delay_ticks when >= 0
        int failOnPass;
        int32_t expected;
        int calls;
        bool nullPort;
    } const cases[] = {
        {"0 ms returns at once", 0, -1, -1, 0, 0, false},
        {"negative ms returns at once", -5, -1, -1, 0, 0, false},
        {"100 ms", 100, -1, -1, 0, 100, false},
        {"hook failure ends it", 100, -1, 7, -30, 7, false},
        {"2 ticks are 110 ms with no port", 0, 2, -1, 0, 110, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        hook = HookScript{};
        hook.failOnPass = c.failOnPass;
        hook.failCode = -30;
        port->status = 0;
        const int32_t rc = c.ticks >= 0 ? port_delay_ticks(c.ticks) : port_wait(port, c.ms);
        EXPECT_EQ(rc, c.expected);
        EXPECT_EQ(hook.calls, c.calls);
        EXPECT_EQ(hook.sawNullPort, c.nullPort);
        EXPECT_EQ(port->status, 0);  // a wait never stores the hook's code
    }
}

// Closing delivers what was written before the modem lines drop, but never
// waits longer than those bytes need on the line, plus 100 ms.
TEST_F(PortOpsTest, CloseLinesAfterTheQueuedBytes) {
    struct Case {
        const char* name;
        uint32_t queued;
        bool stalled;
        int32_t speed;
        int calls;
        uint32_t queuedAtDrop;
    } const cases[] = {
        {"nothing queued: no wait", 0, false, 115200, 0, 0},
        {"500 bytes go out first", 500, false, 115200, 5, 0},
        {"a stalled line: 500 bytes at 115200 bit/s, 43 + 100 ms", 500, true, 115200, 143, 500},
        {"a stalled line: 1000 bytes at 9600 bit/s, 1041 + 100 ms", 1000, true, 9600, 1141, 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        device = FakeDevice{};
        device.txQueued = c.queued;
        device.stalled = c.stalled;
        hook = HookScript{};
        hook.device = &device;
        port_close_lines(port, c.speed);
        EXPECT_EQ(hook.calls, c.calls);
        const std::string queued = " queued " + std::to_string(c.queuedAtDrop);
        EXPECT_EQ(device.lines, (std::vector<std::string>{"dtr off" + queued, "rts off" + queued}));
    }
}

std::vector<std::string> dumped;
void collectLine(const char* line) {
    dumped.emplace_back(line);
}

TEST(PortDefaults, EveryUnfilledSlotReportsUnsupported) {
    SerialPort* port = port_create();
    ASSERT_NE(port, nullptr);
    unsigned char buffer[4] = {};
    struct Slot {
        const char* name;
        int32_t (*call)(SerialPort*, unsigned char*);
    } const slots[] = {
        {"read_byte", [](SerialPort* p, unsigned char*) { return p->ops.read_byte(p); }},
        {"reserved_op_1", [](SerialPort* p, unsigned char*) { return p->ops.reserved_op_1(p); }},
        {"write_byte", [](SerialPort* p, unsigned char*) { return p->ops.write_byte(p, 'A'); }},
        {"set_line",
         [](SerialPort* p, unsigned char*) { return p->ops.set_line(p, 38400, 'N', 8, 1); }},
        {"set_xon_xoff", [](SerialPort* p, unsigned char*) { return p->ops.set_xon_xoff(p, 1); }},
        {"set_rts_cts", [](SerialPort* p, unsigned char*) { return p->ops.set_rts_cts(p, 1); }},
        {"set_dtr_dsr", [](SerialPort* p, unsigned char*) { return p->ops.set_dtr_dsr(p, 1); }},
        {"set_dtr", [](SerialPort* p, unsigned char*) { return p->ops.set_dtr(p, 1); }},
        {"set_rts", [](SerialPort* p, unsigned char*) { return p->ops.set_rts(p, 1); }},
        {"tx_free", [](SerialPort* p, unsigned char*) { return p->ops.tx_free(p); }},
        {"tx_count", [](SerialPort* p, unsigned char*) { return p->ops.tx_count(p); }},
        {"rx_free", [](SerialPort* p, unsigned char*) { return p->ops.rx_free(p); }},
        {"rx_count", [](SerialPort* p, unsigned char*) { return p->ops.rx_count(p); }},
        {"clear_tx", [](SerialPort* p, unsigned char*) { return p->ops.clear_tx(p); }},
        {"write_block",
         [](SerialPort* p, unsigned char* b) { return p->ops.write_block(p, b, 4); }},
        {"read_block", [](SerialPort* p, unsigned char* b) { return p->ops.read_block(p, b, 4); }},
        {"send_break", [](SerialPort* p, unsigned char*) { return p->ops.send_break(p, 10); }},
        {"modem_status", [](SerialPort* p, unsigned char*) { return p->ops.modem_status(p); }},
        {"line_status", [](SerialPort* p, unsigned char*) { return p->ops.line_status(p); }},
        {"clear_line_errors",
         [](SerialPort* p, unsigned char*) { return p->ops.clear_line_errors(p); }},
        {"reserved_op_2", [](SerialPort* p, unsigned char*) { return p->ops.reserved_op_2(p); }},
    };
    for (const Slot& slot : slots) {
        SCOPED_TRACE(slot.name);
        port->status = 0;
        EXPECT_EQ(slot.call(port, buffer), PORT_UNSUPPORTED);
        EXPECT_EQ(port->status, PORT_UNSUPPORTED);
        port->ops.clear_status(port);
        EXPECT_EQ(port->status, 0);
    }

    dumped.clear();
    EXPECT_EQ(port->ops.dump(port, collectLine), PORT_UNSUPPORTED);
    EXPECT_EQ(port->status, PORT_UNSUPPORTED);
    EXPECT_EQ(dumped, (std::vector<std::string>{"Port dump not supported for this driver", ""}));

    EXPECT_EQ(port->ops.close(port), PORT_OK);
}

bool listed(SerialPort* port) {
    for (SerialPort* p = port_list_head(); p != nullptr; p = p->next)
        if (p == port) return true;
    return false;
}

TEST(PortList, NewestFirstAndCloseUnlinks) {
    SerialPort* a = port_create();
    SerialPort* b = port_create();
    SerialPort* c = port_create();
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(port_list_head(), c);
    EXPECT_EQ(c->next, b);
    EXPECT_EQ(b->next, a);
    EXPECT_EQ(c->port_index, 0);  // zero-filled
    EXPECT_EQ(c->status, 0);
    EXPECT_EQ(b->ops.close(b), PORT_OK);  // from the middle
    EXPECT_EQ(c->next, a);
    EXPECT_EQ(c->ops.close(c), PORT_OK);  // the head
    EXPECT_EQ(port_list_head(), a);
    EXPECT_EQ(a->ops.close(a), PORT_OK);
    EXPECT_FALSE(listed(a));
}

TEST(PortList, FallbackIsSharedNeverListedNeverFreed) {
    SerialPort* fallback = port_fallback();
    EXPECT_EQ(fallback->status, PORT_NO_MEMORY);
    EXPECT_EQ(fallback->port_index, -1);
    EXPECT_EQ(fallback->driver_type, PORT_DRIVER_NONE);
    EXPECT_EQ(fallback->driver, nullptr);
    EXPECT_FALSE(listed(fallback));
    EXPECT_EQ(fallback->ops.read_byte(fallback), PORT_UNSUPPORTED);
    fallback->ops.clear_status(fallback);
    // Closing it must neither free it (the sanitizer would see) nor list it.
    EXPECT_EQ(fallback->ops.close(fallback), PORT_OK);
    EXPECT_EQ(fallback->ops.close(fallback), PORT_OK);
    SerialPort* again = port_fallback();
    EXPECT_EQ(again, fallback);
    EXPECT_EQ(again->status, PORT_NO_MEMORY);  // a fresh hand-out, whatever the last user did
    EXPECT_FALSE(listed(again));
}

TEST(PortList, QueueSizesForLaterPorts) {
    EXPECT_EQ(port_rx_queue_size(), PORT_DEFAULT_QUEUE_SIZE);
    EXPECT_EQ(port_tx_queue_size(), PORT_DEFAULT_QUEUE_SIZE);
    port_set_queue_sizes(100, 200);
    EXPECT_EQ(port_rx_queue_size(), 100u);
    EXPECT_EQ(port_tx_queue_size(), 200u);
    port_set_queue_sizes(PORT_DEFAULT_QUEUE_SIZE, PORT_DEFAULT_QUEUE_SIZE);
}

int32_t reportingClose(SerialPort* port) {
    std::fprintf(stderr, "closed %d\n", static_cast<int>(port->port_index));
    port_release(port);
    return PORT_OK;
}

TEST(PortExitAction, ClosesEveryPortStillOpen) {
    EXPECT_EXIT(
        {
            for (int i = 1; i <= 3; ++i) {
                SerialPort* port = port_create();
                port->port_index = i;
                port->ops.close = reportingClose;
            }
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "closed 3\nclosed 2\nclosed 1\n");
}

TEST(PortExitAction, SurvivesACloseThatLeavesItsObjectListed) {
    EXPECT_EXIT(
        {
            SerialPort* port = port_create();
            port->ops.close = [](SerialPort*) { return PORT_FAILED; };
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
