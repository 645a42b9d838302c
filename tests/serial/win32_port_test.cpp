// The Win32 driver, run under Wine by the probe program, against a
// pseudo-terminal linked to a COM port of the Wine prefix.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/serial/pty.h"
#include "tests/support/process.h"
#include "tests/support/wine.h"

namespace {

const std::string kProbe = WIN32_PORT_PROBE_EXE;

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char b : bytes) {
        text.push_back(digits[b >> 4]);
        text.push_back(digits[b & 15]);
    }
    return text;
}

ProcessResult runProbe(const std::vector<std::string>& args) {
    ProcessOptions options;
    options.environment = wineEnvironment();
    options.timeoutSeconds = 60;
    return runProcess(wineCommand(kProbe, args), options);
}

std::vector<std::string> linesOf(const std::string& output) {
    std::vector<std::string> lines;
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// Checks that the probe printed these lines, in this order (other lines,
// such as dump output, may lie between them).
void expectLines(const ProcessResult& result, const std::vector<std::string>& expected) {
    const std::vector<std::string> lines = linesOf(result.output);
    size_t at = 0;
    for (const std::string& want : expected) {
        while (at < lines.size() && lines[at] != want)
            ++at;
        ASSERT_LT(at, lines.size()) << "missing \"" << want << "\" in:\n" << result.output;
        ++at;
    }
}

// A pty whose slave is COMn of the prefix, unlinked again at the end.
class WineCom {
public:
    explicit WineCom(int n) : n_(n) {
        pty_.holdSlaveRaw();
        linkWineComPort(n_, pty_.slavePath());
    }
    ~WineCom() { unlinkWineComPort(n_); }
    Pty& pty() { return pty_; }
    std::string number() const { return std::to_string(n_); }

private:
    int n_;
    Pty pty_;
};

TEST(Win32Port, UnmappedPortIsNotFound) {
    REQUIRE_WINE(kProbe);
    unlinkWineComPort(29);
    const ProcessResult result = runProbe({"open", "29", "rxcount", "close", "win32open", "29"});
    EXPECT_EQ(result.exitStatus, 0) << result.output;
    expectLines(result, {"open status=-14 type=15 index=28", "rxcount -24", "close rc=0",
                         "win32open status=-14 type=15 index=28"});
}

TEST(Win32Port, LineSetUpIsSeenOnTheLine) {
    REQUIRE_WINE(kProbe);
    WineCom com(21);
    const struct {
        int bps;
        speed_t code;
    } speeds[] = {{9600, B9600},     {19200, B19200},   {38400, B38400},  {57600, B57600},
                  {115200, B115200}, {230400, B230400}, {460800, B460800}};
    // Per speed: set it, tell the far side, wait for its go-ahead.
    std::vector<std::string> args{"open", com.number()};
    for (size_t i = 0; i < std::size(speeds); ++i) {
        args.insert(args.end(), {"setline", std::to_string(speeds[i].bps), "N", "8", "1", "write",
                                 hex(std::string(1, static_cast<char>(i))), "read", "1", "20000"});
    }
    args.insert(args.end(), {"setline", "9600", "e", "7", "2", "setline", "9600", "X", "8", "1",
                             "setline", "9600", "N", "8", "3", "close"});
    ProcessResult result;
    std::thread probe([&] { result = runProbe(args); });
    std::vector<speed_t> seen;
    for (size_t i = 0; i < std::size(speeds); ++i) {
        const std::string marker = com.pty().read(1, 30000);
        if (marker != std::string(1, static_cast<char>(i))) break;
        seen.push_back(cfgetospeed(&static_cast<const termios&>(com.pty().settings())));
        com.pty().write("g");
    }
    probe.join();
    ASSERT_EQ(seen.size(), std::size(speeds)) << result.output;
    for (size_t i = 0; i < std::size(speeds); ++i)
        EXPECT_EQ(seen[i], speeds[i].code) << speeds[i].bps;
    // A pty keeps only speed and stop bits (it forces CS8, drops parity).
    EXPECT_NE(com.pty().settings().c_cflag & CSTOPB, 0u);
    expectLines(result, {"open status=0 type=15 index=20", "setline rc=0 status=0",
                         "setline rc=-26 status=-26", "setline rc=-28 status=-28", "close rc=0"});
}

TEST(Win32Port, BlocksBothWaysAndQueueCounts) {
    REQUIRE_WINE(kProbe);
    WineCom com(22);
    const std::string all = allByteValues();
    com.pty().write(all);
    const ProcessResult result = runProbe({"open",        com.number(),
                                           "rxcount",     "rxfree",
                                           "readblock",   "64",
                                           "read",        "192",
                                           "2000",        "readblock",
                                           "64",          "status",
                                           "read",        "1",
                                           "0",           "status",
                                           "write",       hex(all),
                                           "txcount",     "txfree",
                                           "writeblock",  hex(std::string(2000, 'w')),
                                           "clearstatus", "bigwrite",
                                           "3000",        "-1",
                                           "close"});
    EXPECT_EQ(result.exitStatus, 0) << result.output;
    expectLines(result, {
                            "open status=0 type=15 index=21",
                            "rxcount 256",
                            "rxfree 794",
                            "readblock rc=0 count=64 data=" + hex(all.substr(0, 64)),
                            "read " + hex(all.substr(64)) + " rc=0",
                            "readblock rc=-8 count=0 data=",
                            "status 0",
                            "read  rc=-8",
                            "status 0",
                            "write rc=0 count=256 status=0",
                            "txcount 0",
                            "txfree 1050",
                            "writeblock rc=-9 count=1050 status=-9",
                            "clearstatus status=0",
                            "bigwrite rc=0 count=3000 status=0",
                            "close rc=0",
                        });
    std::string big;
    for (int i = 0; i < 3000; ++i)
        big.push_back(static_cast<char>(i));
    EXPECT_TRUE(com.pty().readAvailable() == all + std::string(1050, 'w') + big);
}

TEST(Win32Port, NamedOpens) {
    REQUIRE_WINE(kProbe);
    WineCom plain(23);
    WineCom device(24);
    const ProcessResult result =
        runProbe({"named", "COM23", "write", "31", "close", "named", "\\\\.\\COM24", "write", "32",
                  "close", "named", "COM28", "close"});
    unlinkWineComPort(28);
    EXPECT_EQ(result.exitStatus, 0) << result.output;
    expectLines(result,
                {"named status=0 type=15 index=0", "write rc=0 count=1 status=0", "close rc=0",
                 "named status=0 type=15 index=0", "write rc=0 count=1 status=0", "close rc=0",
                 "named status=-14 type=15 index=0", "close rc=0"});
    EXPECT_EQ(plain.pty().readAvailable(), "1");
    EXPECT_EQ(device.pty().readAvailable(), "2");
}

TEST(Win32Port, ModemLinesAndBreakOnAPtyDoNoHarm) {
    REQUIRE_WINE(kProbe);
    WineCom com(25);
    const ProcessResult result =
        runProbe({"open", com.number(), "dtr", "0", "rts", "0", "dtr", "1", "rts", "1", "break",
                  "50", "modem", "line", "write", "55", "dump", "close"});
    EXPECT_EQ(result.exitStatus, 0) << result.output;
    expectLines(result,
                {"open status=0 type=15 index=24", "dtr rc=0", "rts rc=0", "dtr rc=0", "rts rc=0",
                 "modem 0", "line 0", "write rc=0 count=1 status=0", "dump: ",
                 "dump: Port type:  MS Windows  DCB BaudRate: 38400   ByteSize: 8  Parity: 0",
                 "dump: XonLim: 262   XoffLim: 262   EofChr: 00  EvtChr: 00", "dump: 8250:0000",
                 "dump rc=0", "close rc=0"});
    EXPECT_NE(result.output.find("break rc=0"), std::string::npos);
    EXPECT_EQ(com.pty().readAvailable(), "\x55");
}

// The bytes that the idle wait's armed read takes are counted, and handed
// out once, first, whichever read asks: with the whole-buffer armed read and
// with the one-byte one, whether they came before the rest or with it; and
// with a driver whose reads end empty again and again, which is no sign of a
// device gone.
TEST(Win32Port, TheWaitsBytesAreHandedOutOnce) {
    REQUIRE_WINE(kProbe);
    const struct {
        const char *mode, *first, *then;
    } cases[] = {{"status", "A", "BC"},
                 {"status", "AB", "C"},
                 {"onebyte", "AB", "C"},
                 {"earlyend", "AB", "C"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.mode) + " " + c.first + "|" + c.then);
        WineCom com(27);
        ProcessResult result;
        std::thread probe([&] {
            result = runProbe({"open", com.number(), c.mode, "write", "01", "wait", "1500",
                               "rxcount", "readblock", "2", "rxcount", "read", "1", "100",
                               "rxcount", "readblock", "4", "close"});
        });
        const std::string started = com.pty().read(1, 30000);
        if (started == "\x01") {
            // Into the armed read, then behind what it took.
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            com.pty().write(c.first);
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
            com.pty().write(c.then);
        }
        probe.join();
        ASSERT_EQ(started, "\x01") << result.output;
        expectLines(result,
                    {"rxcount 3", "readblock rc=0 count=2 data=4142", "rxcount 1", "read 43 rc=0",
                     "rxcount 0", "readblock rc=-8 count=0 data=", "close rc=0"});
    }
}

// Every byte that a write took goes out: what is still in the platform's
// hands when the port closes is delivered first (within its line time), and
// what the platform ends short (a driver's write time-out) is sent on. The
// far side lets the pty fill up and reads only once the probe is closing,
// which 4800 bit/s makes seconds: the probe's write gives up 1.5 s after the
// pty is full (at 2.3 s, the line time of 1050 bytes, without a time-out).
TEST(Win32Port, EveryWrittenByteArrives) {
    REQUIRE_WINE(kProbe);
    const struct {
        const char* writeTimeout;
        int readAfterMs;  // after the pty is full
    } cases[] = {{"0", 3000}, {"20", 1800}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("write time-out ") + c.writeTimeout);
        WineCom com(28);
        ProcessResult result;
        std::thread probe([&] {
            result = runProbe({"open", com.number(), "writetimeout", c.writeTimeout, "setline",
                               "4800", "N", "8", "1", "bigwrite", "300000", "1500", "close"});
        });
        // Full once the count stops growing.
        for (int level = -1, steady = 0; steady < 4;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            const int now = com.pty().queued();
            steady = now > 0 && now == level ? steady + 1 : 0;
            level = now;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(c.readAfterMs));
        const std::string got = com.pty().read(300000, 3000);
        probe.join();
        std::smatch count;
        ASSERT_TRUE(
            std::regex_search(result.output, count, std::regex("bigwrite rc=-9 count=([0-9]+)")))
            << result.output;
        std::string sent;
        for (size_t i = 0; i < std::stoul(count[1]); ++i)
            sent.push_back(static_cast<char>(i));
        EXPECT_EQ(got.size(), sent.size()) << result.output;
        EXPECT_TRUE(got == sent);
        expectLines(result, {"close rc=0"});
    }
}

// A reply is never lost on a busy machine: bytes that arrive while the idle
// wait's read is armed are read once and in order, however the threads run.
TEST(Win32Port, NoReplyIsLostUnderLoad) {
    REQUIRE_WINE(kProbe);
    constexpr int kReplies = 3000;
    WineCom com(20);
    ProcessResult result;
    std::thread probe([&] {
        result = runProbe({"open", com.number(), "setline", "460800", "N", "8", "1", "write", "01",
                           "echo", std::to_string(4 * kReplies), "close"});
    });
    std::atomic<bool> busy{true};
    std::vector<std::thread> load;
    for (int i = 0; i < 2; ++i)
        load.emplace_back([&busy] {
            while (busy) {
            }
        });
    int echoed = 0;
    if (com.pty().read(1, 30000) == "\x01") {
        unsigned seed = 1;
        for (; echoed < kReplies; ++echoed) {
            seed = seed * 1103515245U + 12345U;
            std::this_thread::sleep_for(std::chrono::microseconds((seed >> 8) % 4000));
            const std::string reply = {static_cast<char>(echoed), 'O', 'K', '\n'};
            com.pty().write(reply);
            if (com.pty().read(4, 3000) != reply) break;
        }
    }
    busy = false;
    for (auto& t : load)
        t.join();
    probe.join();
    EXPECT_EQ(echoed, kReplies) << result.output;
}

TEST(Win32Port, HangUpEndsAnUnboundedWait) {
    REQUIRE_WINE(kProbe);
    WineCom com(26);
    ProcessResult result;
    std::thread probe([&] {
        // After the hang-up a timed read ends at once too, long before its 60 s.
        result = runProbe({"open", com.number(), "write", "41", "read", "1", "-1", "status",
                           "bigwrite", "100000", "-1", "read", "1", "60000", "close"});
    });
    const std::string started = com.pty().read(1, 30000);
    if (started == "A") {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        com.pty().closeHeldSlave();
        com.pty().closeMaster();
    }
    probe.join();
    ASSERT_EQ(started, "A") << result.output;
    EXPECT_FALSE(result.timedOut);
    expectLines(result,
                {"read  rc=-1", "status -1", "bigwrite rc=-1 count=0 status=-1", "read  rc=-1"});
}

}  // namespace
