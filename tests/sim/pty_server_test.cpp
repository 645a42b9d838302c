// The phone served on a real pseudo-terminal by a thread: the port's speed as
// the tool sets it, runs bounded by opening and closing, hang-up, pacing.
#include "sim/pty_server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "tests/support/temp_dir.h"

namespace {

speed_t code(uint32_t speed) {
    switch (speed) {
        case 9600:
            return B9600;
        case 38400:
            return B38400;
        case 115200:
            return B115200;
        case 230400:
            return B230400;
        default:
            return B460800;
    }
}

// The tool's end of the line.
class Port {
public:
    explicit Port(const std::string& path) { fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY); }
    ~Port() { close(); }
    bool ok() const { return fd_ >= 0; }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    void set(uint32_t speed, bool raw = true) {
        struct termios t;
        ASSERT_EQ(tcgetattr(fd_, &t), 0);
        if (raw) cfmakeraw(&t);
        if (!raw) t.c_lflag |= ICANON | ECHO;
        cfsetispeed(&t, code(speed));
        cfsetospeed(&t, code(speed));
        ASSERT_EQ(tcsetattr(fd_, TCSANOW, &t), 0);
    }
    void write(const std::string& bytes) {
        ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Reads until `until` has arrived or `ms` passed; `gone` tells of a hang-up.
    std::string read(int ms, const std::string& until = "", bool* gone = nullptr) {
        std::string out;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            if (!until.empty() && out.find(until) != std::string::npos) break;
            pollfd fd = {fd_, POLLIN, 0};
            if (::poll(&fd, 1, 5) <= 0) continue;
            char buffer[256];
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n <= 0) {
                if (gone != nullptr) *gone = true;
                break;
            }
            out.append(buffer, static_cast<size_t>(n));
        }
        return out;
    }

private:
    int fd_ = -1;
};

// A server on its own thread for the life of the object.
class Served {
public:
    explicit Served(sim::ServerOptions options) : server(std::move(options)) {
        std::string error;
        opened = server.open(&error);
        EXPECT_TRUE(opened) << error;
        if (opened)
            thread = std::thread([this] {
                server.serve();
                finished = true;
            });
    }
    ~Served() { finish(); }
    void finish() {
        if (!thread.joinable()) return;
        server.stop();
        thread.join();
    }
    // Waits for serve() to end by itself.
    bool ended(int ms) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            if (finished) {
                thread.join();
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    sim::PtyServer server;
    std::thread thread;
    bool opened = false;
    std::atomic<bool> finished{false};
};

sim::ServerOptions options(bool loaderRunning = false) {
    sim::ServerOptions o;
    o.phone.loaderRunning = loaderRunning;
    o.phone.enqIntervalMs = 20;
    o.timeoutMs = 20000;
    return o;
}

TEST(PtyServer, RunFromOpenToClose) {
    TempDir dir;
    sim::ServerOptions o = options();
    o.linkPath = dir.file("com31");
    {
        Served served(o);
        ASSERT_TRUE(served.opened);
        char target[256] = {};
        ASSERT_GT(::readlink(o.linkPath.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(std::string(target), served.server.slavePath());

        Port port(o.linkPath);
        ASSERT_TRUE(port.ok());
        port.set(38400);
        const std::string enq = port.read(1000, "\x81\x81");
        EXPECT_NE(enq.find("\x81\x81"), std::string::npos);
        port.write("\x7E");
        port.read(100);  // ENQs already on their way
        port.write("AT\r");
        EXPECT_EQ(port.read(1000, "\r\n"), "OK\r\n");
        port.close();
        ASSERT_TRUE(served.ended(2000));
        const auto& report = served.server.reports().at(0);
        EXPECT_FALSE(report.verdict.ended);
        EXPECT_EQ(report.transcript.bytes(true),
                  "\x7E"
                  "AT\r");
        EXPECT_EQ(report.transcript.bytes(false, sim::Phase::Rom), "OK\r\n");
        for (const auto& chunk : report.transcript.chunks())
            if (chunk.toPhone) {
                EXPECT_EQ(chunk.speed, 38400u);
            }
    }
    EXPECT_NE(::access(o.linkPath.c_str(), F_OK), 0) << "the link goes with the server";
}

TEST(PtyServer, AnswersOnlyAtTheRightSpeed) {
    struct Case {
        bool loaderRunning;
        uint32_t speed;
        std::string command;
        bool answered;
    };
    const Case cases[] = {
        {false, 38400, "AT\r", true},   {false, 115200, "AT\r", false},
        {false, 9600, "AT\r", false},   {true, 115200, "AT\r\n", true},
        {true, 38400, "AT\r\n", false}, {true, 460800, "AT\r\n", false},
    };
    for (const auto& c : cases) {
        sim::ServerOptions o = options(c.loaderRunning);
        o.phone.enq = false;
        Served served(o);
        ASSERT_TRUE(served.opened);
        Port port(served.server.slavePath());
        port.set(c.speed);
        port.write(c.command);
        const std::string reply = port.read(300, "\r\n");
        EXPECT_EQ(reply == "OK\r\n", c.answered) << c.speed << " " << c.command;
        if (!c.answered) {
            EXPECT_EQ(reply, "") << c.speed;
        }
        port.close();
        ASSERT_TRUE(served.ended(2000));
        const auto& chunks = served.server.reports().at(0).transcript.chunks();
        ASSERT_FALSE(chunks.empty());
        EXPECT_EQ(chunks[0].speed, c.speed);
        EXPECT_EQ(chunks[0].garbled, !c.answered);
    }
}

TEST(PtyServer, PortNotRawIsReported) {
    sim::ServerOptions o = options(true);
    Served served(o);
    ASSERT_TRUE(served.opened);
    Port port(served.server.slavePath());
    port.set(115200, false);
    port.write("AT\r\n");
    port.read(200, "OK");
    port.close();
    ASSERT_TRUE(served.ended(2000));
    EXPECT_FALSE(served.server.reports().at(0).verdict.violations.empty());
}

TEST(PtyServer, HangUpClosesTheDevice) {
    sim::ServerOptions o = options(true);
    o.phone.hangUpAt = {{"V", 0}};
    o.runs = 0;
    Served served(o);
    ASSERT_TRUE(served.opened);
    Port port(served.server.slavePath());
    port.set(115200);
    port.write("AT\r\n");
    EXPECT_EQ(port.read(1000, "\r\n"), "OK\r\n");
    port.write("AT##V\r\n");
    bool gone = false;
    EXPECT_EQ(port.read(2000, "", &gone), "");
    EXPECT_TRUE(gone) << "the tool's port must see the device vanish";
    ASSERT_TRUE(served.ended(2000)) << "serving ends with the device, even with runs left";
    EXPECT_TRUE(served.server.reports().at(0).verdict.hungUp);
}

TEST(PtyServer, RunsShareTheFlash) {
    sim::ServerOptions o = options(true);
    o.runs = 2;
    Served served(o);
    ASSERT_TRUE(served.opened);
    std::string first;
    for (int run = 0; run < 2; ++run) {
        Port port(served.server.slavePath());
        port.set(115200);
        if (run == 0) {
            for (const char* command :
                 {"AT##L=0x10000\r\n", "AT##S=0x4\r\n", "AT##E\r\n", "AT##B\r\n"}) {
                port.write(command);
                EXPECT_EQ(port.read(1000, "\r\n"), "OK\r\n") << command;
            }
            port.write("wxyz");
            EXPECT_EQ(port.read(1000, "\r\n"), "OK\r\n");
        } else {
            port.write("AT##L=0x10000\r\n");
            port.read(1000, "\r\n");
            port.write("AT##S=0x4\r\n");
            port.read(1000, "\r\n");
        }
        port.write("AT##C\r\n");
        const std::string sums = port.read(1000, "OK\r\n");
        if (run == 0)
            first = sums;
        else
            EXPECT_EQ(sums, first);
        port.write("AT##T\r\n");
        port.close();
        // Let the server see the close before the next opening.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(first, "0x7A797877\r\nOK\r\n");
    ASSERT_TRUE(served.ended(2000));
    ASSERT_EQ(served.server.reports().size(), 2u);
    EXPECT_TRUE(served.server.reports()[0].verdict.ended);
    EXPECT_EQ(served.server.flash().read(0x10000, 4), (std::vector<uint8_t>{'w', 'x', 'y', 'z'}));
}

TEST(PtyServer, PacedLineTakesTheByteTime) {
    // 1024 bytes at 115200 bit/s take 89 ms on a real line: the reply cannot
    // come sooner (a lower bound only; nothing here measures speed).
    sim::ServerOptions o = options(true);
    o.phone.paceLine = true;
    Served served(o);
    ASSERT_TRUE(served.opened);
    Port port(served.server.slavePath());
    port.set(115200);
    for (const char* command : {"AT##L=0x10000\r\n", "AT##S=0x400\r\n", "AT##E\r\n", "AT##B\r\n"}) {
        port.write(command);
        ASSERT_EQ(port.read(1000, "\r\n"), "OK\r\n") << command;
    }
    const auto start = std::chrono::steady_clock::now();
    port.write(std::string(1024, 'p'));
    EXPECT_EQ(port.read(3000, "\r\n"), "OK\r\n");
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(88));
}

TEST(PtyServer, PacedBytesBeforeTheCloseStillArrive) {
    // The tool sends its end-of-run command and closes the port at once: on
    // a real line those bytes are on their way.
    sim::ServerOptions o = options(true);
    o.phone.paceLine = true;
    Served served(o);
    ASSERT_TRUE(served.opened);
    Port port(served.server.slavePath());
    port.set(115200);
    port.write("AT##T\r\n");
    port.close();
    ASSERT_TRUE(served.ended(2000));
    EXPECT_TRUE(served.server.reports().at(0).verdict.ended);
}

TEST(PtyServer, GivesUpWhenNobodyComes) {
    sim::ServerOptions o = options();
    o.timeoutMs = 100;
    Served served(o);
    ASSERT_TRUE(served.opened);
    ASSERT_TRUE(served.ended(3000));
    EXPECT_TRUE(served.server.timedOut());
    EXPECT_TRUE(served.server.reports().empty());
}

}  // namespace
