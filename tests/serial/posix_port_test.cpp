// The POSIX termios driver against a real pseudo-terminal pair.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/keyboard.h"
#include "serial/port.h"
#include "tests/serial/pty.h"
#include "tests/support/temp_dir.h"

namespace {

SerialPort* openPty(const Pty& pty, int32_t speed = 38400, char parity = 'N', int32_t bits = 8,
                    int32_t stop = 1) {
    return serial_port_open(1, pty.slavePath().c_str(), speed, parity, bits, stop);
}

// Ends an unbounded wait that a fault would otherwise make endless: the
// result is then this code instead of the one the test expects.
constexpr int32_t kGuardCode = -99;
int guardPasses = 0;
int32_t guardedHook(SerialPort* port) {
    if (++guardPasses > 5000) return kGuardCode;
    return pump_messages(port);
}

class PosixPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        guardPasses = 0;
        set_idle_hook(guardedHook);
    }
    void TearDown() override {
        if (port != nullptr) port->ops.close(port);
        set_idle_hook(nullptr);
    }
    void open(int32_t speed = 38400) {
        port = openPty(pty, speed);
        ASSERT_EQ(port->status, PORT_OK);
    }
    // Waits (boundedly) until the pty has handed n bytes to the slave.
    void waitForInput(int32_t n) {
        for (int i = 0; i < 2000 && port->ops.rx_count(port) < n; ++i)
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        ASSERT_EQ(port->ops.rx_count(port), n);
    }

    Pty pty;
    SerialPort* port = nullptr;
};

TEST_F(PosixPortTest, OpenGivesARawLineSeenFromTheOtherSide) {
    open();
    EXPECT_EQ(port->driver_type, PORT_DRIVER_POSIX);
    EXPECT_EQ(port->port_index, 1);
    EXPECT_NE(port->driver, nullptr);
    const termios t = pty.settings();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B38400));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | ISTRIP), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
}

TEST_F(PosixPortTest, EverySpeedOfTheRunReachesTheLine) {
    open(9600);
    const struct {
        int32_t bps;
        speed_t code;
    } speeds[] = {{9600, B9600},     {19200, B19200},   {38400, B38400},  {57600, B57600},
                  {115200, B115200}, {230400, B230400}, {460800, B460800}};
    for (const auto& s : speeds) {
        SCOPED_TRACE(s.bps);
        EXPECT_EQ(port->ops.set_line(port, s.bps, 'N', 8, 1), PORT_OK);
        const termios t = pty.settings();
        EXPECT_EQ(cfgetospeed(&t), s.code);
        EXPECT_EQ(cfgetispeed(&t), s.code);
    }
}

std::vector<std::string> lines;
void collect(const char* line) {
    lines.emplace_back(line);
}

// The line format as the port last composed it: a pty keeps only the speed
// and the stop bits (it forces CS8 and drops parity).
std::string composedFormat(SerialPort* port) {
    lines.clear();
    port->ops.dump(port, collect);
    return lines.size() > 2 ? lines[2] : "";
}

TEST_F(PosixPortTest, SetLineFormatsAndBadInput) {
    open(38400);
    struct Case {
        const char* name;
        int32_t speed;
        char parity;
        int32_t bits, stop;
        int32_t expected;
        bool twoStops;
        speed_t code;
        const char* format;
    } const cases[] = {
        {"8N1 lower-case n", 57600, 'n', 8, 1, 0, false, B57600,
         "Speed: 57600   DataBits: 8  Parity: N  StopBits: 1"},
        {"7E2", 19200, 'E', 7, 2, 0, true, B19200,
         "Speed: 19200   DataBits: 7  Parity: E  StopBits: 2"},
        {"8o1 lower-case", 9600, 'o', 8, 1, 0, false, B9600,
         "Speed: 9600    DataBits: 8  Parity: O  StopBits: 1"},
        {"mark", 9600, 'M', 8, 1, 0, false, B9600,
         "Speed: 9600    DataBits: 8  Parity: M  StopBits: 1"},
        {"space", 9600, 's', 5, 2, 0, true, B9600,
         "Speed: 9600    DataBits: 5  Parity: S  StopBits: 2"},
        // Refused settings apply nothing; the speed and data bits stand for
        // the next call that applies the line.
        {"parity X", 115200, 'X', 8, 1, PORT_BAD_PARITY, true, B9600,
         "Speed: 115200  DataBits: 8  Parity: S  StopBits: 2"},
        {"parity NUL", 115200, '\0', 8, 1, PORT_BAD_PARITY, true, B9600,
         "Speed: 115200  DataBits: 8  Parity: S  StopBits: 2"},
        {"stop bits 0", 115200, 'N', 8, 0, PORT_BAD_STOP_BITS, true, B9600,
         "Speed: 115200  DataBits: 8  Parity: N  StopBits: 2"},
        {"stop bits 3", 115200, 'N', 8, 3, PORT_BAD_STOP_BITS, true, B9600,
         "Speed: 115200  DataBits: 8  Parity: N  StopBits: 2"},
        {"speed the line cannot take", 12345, 'N', 8, 1, PORT_FAILED, true, B9600,
         "Speed: 12345   DataBits: 8  Parity: N  StopBits: 1"},
        {"9 data bits", 9600, 'N', 9, 1, PORT_FAILED, true, B9600,
         "Speed: 9600    DataBits: 9  Parity: N  StopBits: 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        port->ops.clear_status(port);
        EXPECT_EQ(port->ops.set_line(port, c.speed, c.parity, c.bits, c.stop), c.expected);
        EXPECT_EQ(port->status, c.expected);
        const termios t = pty.settings();
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.twoStops);
        EXPECT_EQ(cfgetospeed(&t), c.code);
        EXPECT_EQ(composedFormat(port), c.format);
    }
    // The next setting applies what a refused call left behind.
    port->ops.clear_status(port);
    EXPECT_EQ(port->ops.set_line(port, 230400, 'N', 8, 1), PORT_OK);
    EXPECT_EQ(port->ops.set_xon_xoff(port, 0), PORT_OK);
    EXPECT_EQ(cfgetospeed(&static_cast<const termios&>(pty.settings())), B230400);
}

TEST_F(PosixPortTest, SetLineReturnsAStickyStatusEvenWhenItWorks) {
    open();
    port->status = PORT_TX_FULL;
    EXPECT_EQ(port->ops.set_line(port, 115200, 'N', 8, 1), PORT_TX_FULL);
    const termios t = pty.settings();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
}

TEST_F(PosixPortTest, RawBytesBothWays) {
    open(115200);
    const std::string all = allByteValues();
    EXPECT_EQ(port_write_block_timed(port, all.data(), 256, -1), PORT_OK);
    EXPECT_EQ(port->count, 256u);
    EXPECT_EQ(pty.read(256), all);

    pty.write(all);
    std::string got;
    for (int i = 0; i < 256; ++i) {
        const int32_t byte = port_read_byte_timed(port, 2000);
        ASSERT_GE(byte, 0) << "byte " << i;
        ASSERT_LE(byte, 255);
        got.push_back(static_cast<char>(byte));
    }
    EXPECT_EQ(got, all);
    EXPECT_EQ(port_read_byte_timed(port, 0), PORT_NO_DATA);
    EXPECT_EQ(port->status, PORT_OK);
}

TEST_F(PosixPortTest, ReadAndWriteByteNeverWait) {
    open();
    EXPECT_EQ(port->ops.read_byte(port), PORT_NO_DATA);
    pty.write("\x81");
    waitForInput(1);
    EXPECT_EQ(port->ops.read_byte(port), 0x81);
    EXPECT_EQ(port->ops.write_byte(port, 0x17E), PORT_OK);  // only the low 8 bits go
    EXPECT_EQ(pty.read(1), "\x7e");
    EXPECT_EQ(port->status, PORT_OK);
}

TEST_F(PosixPortTest, QueueLevelsAndBlockReads) {
    open();
    EXPECT_EQ(port->ops.rx_count(port), 0);
    EXPECT_EQ(port->ops.rx_free(port), 1050);
    EXPECT_EQ(port->ops.tx_count(port), 0);
    EXPECT_EQ(port->ops.tx_free(port), 1050);

    pty.write("12345");
    waitForInput(5);
    EXPECT_EQ(port->ops.rx_free(port), 1045);
    char buffer[64];
    EXPECT_EQ(port->ops.read_block(port, buffer, sizeof buffer), PORT_OK);
    EXPECT_EQ(port->count, 5u);
    EXPECT_EQ(std::string(buffer, 5), "12345");

    port->status = PORT_TX_FULL;
    EXPECT_EQ(port->ops.read_block(port, buffer, sizeof buffer), PORT_NO_DATA);
    EXPECT_EQ(port->count, 0u);
    EXPECT_EQ(port->status, PORT_TX_FULL);  // no data is never stored

    pty.write(std::string(200, 'x'));
    waitForInput(200);
    EXPECT_EQ(port_drain_input(port), PORT_OK);
    EXPECT_EQ(port->ops.rx_count(port), 0);
}

TEST_F(PosixPortTest, PartialWritesKeepToTheQueueSize) {
    open();
    const std::string block(2000, 'w');
    EXPECT_EQ(port->ops.write_block(port, block.data(), 2000), PORT_TX_FULL);
    EXPECT_EQ(port->count, 1050u);
    EXPECT_EQ(port->status, PORT_TX_FULL);
    EXPECT_EQ(pty.read(2000, 200).size(), 1050u);

    port->ops.clear_status(port);
    EXPECT_EQ(port->ops.write_block(port, block.data(), 0), PORT_OK);
    EXPECT_EQ(port->count, 0u);
}

TEST_F(PosixPortTest, LargeBlockWithAReaderOnTheOtherSide) {
    open(460800);
    std::string data;
    for (int i = 0; i < 100000; ++i)
        data.push_back(static_cast<char>(i * 13));
    std::string received;
    std::thread reader([&] { received = pty.read(data.size(), 5000); });
    EXPECT_EQ(port_write_block_timed(port, data.data(), static_cast<uint32_t>(data.size()), -1),
              PORT_OK);
    reader.join();
    EXPECT_EQ(port->count, data.size());
    EXPECT_TRUE(received == data);
}

TEST_F(PosixPortTest, StalledLineTimesOutWithTheQueuedCount) {
    open();
    const std::string data(1 << 20, 's');  // far more than the pty can hold
    EXPECT_EQ(port_write_block_timed(port, data.data(), static_cast<uint32_t>(data.size()), 10),
              PORT_TX_FULL);
    EXPECT_EQ(port->status, PORT_TX_FULL);
    EXPECT_GT(port->count, 0u);
    EXPECT_LT(port->count, data.size());
    EXPECT_EQ(pty.read(data.size(), 200).size(), port->count);
}

TEST_F(PosixPortTest, QueueSizesApplyToPortsOpenedLater) {
    port_set_queue_sizes(64, 100);
    port = openPty(pty);
    port_set_queue_sizes(PORT_DEFAULT_QUEUE_SIZE, PORT_DEFAULT_QUEUE_SIZE);
    ASSERT_EQ(port->status, PORT_OK);
    const std::string block(300, 'q');
    EXPECT_EQ(port->ops.write_block(port, block.data(), 300), PORT_TX_FULL);
    EXPECT_EQ(port->count, 100u);
    pty.write("0123456789");
    waitForInput(10);
    EXPECT_EQ(port->ops.rx_free(port), 54);
}

TEST_F(PosixPortTest, ModemLinesAndBreakOnAPtyDoNoHarm) {
    open();
    EXPECT_EQ(port->ops.set_dtr(port, 0), PORT_OK);
    EXPECT_EQ(port->ops.set_rts(port, 0), PORT_OK);
    EXPECT_EQ(port->ops.set_dtr(port, 1), PORT_OK);
    EXPECT_EQ(port->ops.set_rts(port, 1), PORT_OK);
    const uint32_t start = tick_ms();
    EXPECT_EQ(port->ops.send_break(port, 30), PORT_OK);
    EXPECT_GE(tick_ms() - start, 30u);
    EXPECT_EQ(port->ops.modem_status(port), 0);
    EXPECT_EQ(port->ops.line_status(port), 0);
    EXPECT_EQ(port->ops.clear_line_errors(port), PORT_OK);
    EXPECT_EQ(port->ops.clear_tx(port), PORT_OK);
    EXPECT_EQ(port->ops.set_xon_xoff(port, 1), PORT_OK);
    EXPECT_NE(pty.settings().c_iflag & IXON, 0u);
    EXPECT_EQ(port->ops.set_xon_xoff(port, 0), PORT_OK);
    EXPECT_EQ(port->ops.set_rts_cts(port, 1), PORT_OK);
    EXPECT_NE(pty.settings().c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(port->ops.set_rts_cts(port, 0), PORT_OK);
    EXPECT_EQ(port->ops.set_dtr_dsr(port, 1), PORT_UNSUPPORTED);  // termios has no such handshake
    EXPECT_EQ(port->ops.set_dtr_dsr(port, 0), PORT_OK);
    EXPECT_EQ(port->status, PORT_UNSUPPORTED);
    port->ops.clear_status(port);
    EXPECT_EQ(port->ops.write_byte(port, 'k'), PORT_OK);
    EXPECT_EQ(pty.read(1), "k");
    EXPECT_EQ(port->ops.reserved_op_1(port), PORT_UNSUPPORTED);
    EXPECT_EQ(port->ops.reserved_op_2(port), PORT_UNSUPPORTED);
}

TEST_F(PosixPortTest, DumpDescribesTheLine) {
    open(115200);
    lines.clear();
    EXPECT_EQ(port->ops.dump(port, collect), PORT_OK);
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0], "");
    EXPECT_NE(lines[1].find(pty.slavePath()), std::string::npos);
    EXPECT_NE(lines[2].find("Speed: 115200"), std::string::npos);
}

bool listed(SerialPort* port) {
    for (SerialPort* p = port_list_head(); p != nullptr; p = p->next)
        if (p == port) return true;
    return false;
}

TEST_F(PosixPortTest, ExclusiveOpenAndCloseReleases) {
    open();
    EXPECT_TRUE(listed(port));
    SerialPort* second = openPty(pty);
    EXPECT_EQ(second->status, PORT_IN_USE);
    EXPECT_EQ(second->driver, nullptr);
    EXPECT_EQ(second->ops.read_byte(second), PORT_UNSUPPORTED);  // default slots only
    EXPECT_EQ(second->ops.close(second), PORT_OK);

    // Another program is refused too.
    const pid_t child = fork();
    if (child == 0) {
        SerialPort* other = openPty(pty);
        _exit(other->status == PORT_IN_USE ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    SerialPort* closing = port;
    port = nullptr;
    EXPECT_EQ(closing->ops.close(closing), PORT_OK);
    EXPECT_FALSE(listed(closing));
    open();  // free again
}

TEST(PosixPortOpen, PathsThatAreNoSerialPortFailCleanly) {
    TempDir dir;
    dir.write("image.bin", "not a port");
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        const char* name;
        std::string path;
    } cases[] = {
        {"missing device", "/dev/no-such-serial-port"},
        {"missing directory", dir.file("nowhere/tty")},
        {"directory", dir.path()},
        {"regular file", dir.file("image.bin")},
        {"fifo", fifo},
        {"not a terminal", "/dev/null"},
        {"empty name", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SerialPort* port = serial_port_open(4, c.path.c_str(), 38400, 'N', 8, 1);
        EXPECT_EQ(port->status, PORT_NOT_FOUND);
        EXPECT_EQ(port->port_index, 4);
        EXPECT_EQ(port->driver_type, PORT_DRIVER_POSIX);
        EXPECT_EQ(port->driver, nullptr);
        EXPECT_EQ(port->ops.write_byte(port, 'x'), PORT_UNSUPPORTED);
        EXPECT_EQ(port->ops.close(port), PORT_OK);
    }
}

// What the system says about a device that does not open, as the status
// and the remedy: one that exists but may not be used is busy, not missing.
TEST(PosixPortOpen, OpenErrorsMapToStatusAndRemedy) {
    const struct {
        int error;
        int32_t status;
        const char* remedy;
    } cases[] = {
        {ENOENT, PORT_NOT_FOUND, "is the adapter plugged in? see ls /dev/serial/by-id"},
        {EACCES, PORT_IN_USE, "add yourself to the dialout group"},
        {EPERM, PORT_IN_USE, "add yourself to the dialout group"},
        {EBUSY, PORT_IN_USE, "another program holds the port"},
        {EIO, PORT_NOT_FOUND,
         "no serial hardware answers there; USB adapters are /dev/ttyUSB0, "
         "/dev/ttyACM0"},
        {EINVAL, PORT_FAILED, ""},
    };
    SerialPort* port = port_create();
    for (const auto& c : cases) {
        EXPECT_EQ(posix_map_open_error(c.error), c.status) << c.error;
        port_set_os_error(port, c.error, "");
        EXPECT_STREQ(port_os_remedy(port), c.remedy);
    }
    port_release(port);
}

// What the driver does to the device at its close, seen through the ioctl
// seam (a pty has no modem lines nor serial flags): the lines dropped after
// the last byte, the flags it changed put back, exclusive mode off; and a
// terminating signal does the same.
std::string seen;
int recordingIoctl(int fd, unsigned long request, void* arg) {
    if (request == TIOCGSERIAL) {
        *static_cast<serial_struct*>(arg) = serial_struct{};  // a driver that knows the flag
        return 0;
    }
    if (request == TIOCSSERIAL) {
        const bool low = (static_cast<serial_struct*>(arg)->flags & ASYNC_LOW_LATENCY) != 0;
        seen += low ? "low-latency " : "flags-back ";
        return 0;
    }
    if (request == TIOCMBIC) seen += "drop" + std::to_string(*static_cast<int*>(arg)) + " ";
    if (request == TIOCNXCL) seen += "shared ";
    return ioctl(fd, request, arg);
}

TEST_F(PosixPortTest, ASignalReleasesTheDeviceAsACloseDoes) {
    static_assert(TIOCM_DTR == 2 && TIOCM_RTS == 4);
    for (bool signal : {false, true}) {
        EXPECT_EXIT(
            {
                posix_port_set_ioctl(recordingIoctl);
                port = openPty(pty);
                if (signal) {
                    port_release_all_on_signal();
                } else {
                    port->ops.close(port);
                }
                std::fputs(seen.c_str(), stderr);
                std::_Exit(0);
            },
            testing::ExitedWithCode(0),
            signal ? "^low-latency drop6 flags-back shared $"
                   : "^low-latency drop2 drop4 flags-back shared $");
    }
}

TEST(PosixPortOpen, IndexWithoutANameMapsToTtyS) {
    // A number far beyond any real port: nothing is ever sent to a real line.
    SerialPort* port = serial_port_open(9999, nullptr, 38400, 'N', 8, 1);
    EXPECT_EQ(port->status, PORT_NOT_FOUND);
    EXPECT_EQ(port->port_index, 9999);
    port->ops.close(port);
}

TEST_F(PosixPortTest, HangUpEndsEveryWaitAtOnce) {
    open();
    pty.closeMaster();
    EXPECT_EQ(port_read_byte_timed(port, -1), PORT_FAILED);
    EXPECT_EQ(port->status, PORT_FAILED);
    EXPECT_EQ(port->ops.read_byte(port), PORT_FAILED);
    EXPECT_EQ(port->ops.rx_count(port), PORT_FAILED);

    port->ops.clear_status(port);
    const std::string data(100000, 'h');
    EXPECT_EQ(port_write_block_timed(port, data.data(), static_cast<uint32_t>(data.size()), -1),
              PORT_FAILED);
    EXPECT_EQ(port->status, PORT_FAILED);
    EXPECT_EQ(port_wait(port, 60000), PORT_FAILED);
    EXPECT_EQ(pump_messages(port), PORT_FAILED);
    EXPECT_LT(guardPasses, 10);
}

TEST_F(PosixPortTest, HangUpDuringAWait) {
    open();
    std::thread peer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pty.closeMaster();
    });
    EXPECT_EQ(port_read_byte_timed(port, -1), PORT_FAILED);
    peer.join();
    EXPECT_LT(guardPasses, 1000);  // ended by the hang-up, not by the guard
}

TEST_F(PosixPortTest, IdleHookSleepsUntilAByteArrives) {
    open();
    // Nothing arriving: each pass takes about a millisecond, so 20 ms of
    // waiting are a few dozen passes, not millions.
    EXPECT_EQ(port_read_byte_timed(port, 20), PORT_NO_DATA);
    EXPECT_LE(guardPasses, 25);
    guardPasses = 0;
    // Input nobody reads (a write wait) must not make the hook return at once.
    pty.write("pending");
    waitForInput(7);
    EXPECT_EQ(port_wait(port, 20), PORT_OK);
    EXPECT_LE(guardPasses, 25);
    // A wait for a byte that finds one queued (it came after the caller
    // looked) does not sleep its allowance.
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; ++i) {
        idle_allow_ms(kIdleBriskMs, kIdleAllowanceMaxMs);
        EXPECT_EQ(pump_messages(port), PORT_OK);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
}

}  // namespace
