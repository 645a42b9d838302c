// Key translation, terminal key sequences, the key test, the clock and the
// idle hook.
#include "platform/keyboard.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "serial/port.h"
#include "tests/serial/pty.h"

namespace {

constexpr uint32_t kAlt = KEY_LEFT_ALT;
constexpr uint32_t kCtrl = KEY_RIGHT_CTRL;
constexpr uint32_t kShift = KEY_SHIFT;

TEST(TranslateKey, Table) {
    struct Case {
        const char* name;
        uint32_t state;
        uint32_t key;
        int ch;
        int32_t expected;
    } const cases[] = {
        {"F1", 0, VKEY_F1, 0, 0x3B00},
        {"F10", 0, VKEY_F1 + 9, 0, 0x4400},
        {"F11", 0, VKEY_F1 + 10, 0, 0x8500},
        {"Alt F1", kAlt, VKEY_F1, 0, 0x6800},
        {"right Alt F12", KEY_RIGHT_ALT, VKEY_F1 + 11, 0, 0x8C00},
        {"Ctrl F10", kCtrl, VKEY_F1 + 9, 0, 0x6700},
        {"left Ctrl F11", KEY_LEFT_CTRL, VKEY_F1 + 10, 0, 0x8900},
        {"Shift F1", kShift, VKEY_F1, 0, 0x5400},
        {"Shift F12", kShift, VKEY_F1 + 11, 0, 0x8800},
        {"Alt A", kAlt, 'A', 'a', 0x1E00},
        {"Alt B", kAlt, 'B', 'b', 0x3000},
        {"Alt Q", kAlt, 'Q', 'q', 0x1000},
        {"Alt Z", kAlt, 'Z', 'z', 0x2C00},
        {"Alt 1", kAlt, '1', '1', 0x7800},
        {"Alt 9", kAlt, '9', '9', 0x8000},
        {"Alt 0", kAlt, '0', '0', 0x8100},
        {"Alt wins over Shift", kAlt | kShift, VKEY_F1, 0, 0x6800},
        {"Ctrl wins over Shift", kCtrl | kShift, VKEY_HOME, 0, 0x7700},
        {"Home Up PgUp", 0, VKEY_PAGE_UP, 0, 0x4900},
        {"Up", 0, VKEY_UP, 0, 0x4800},
        {"Clear", 0, VKEY_CLEAR, 0, 0x4C00},
        {"Ctrl Clear", kCtrl, VKEY_CLEAR, 0, 0x8F00},
        {"Ctrl Down", kCtrl, VKEY_DOWN, 0, 0x9100},
        {"Ctrl PgDn", kCtrl, VKEY_PAGE_DOWN, 0, 0x7600},
        {"Shift End is plain", kShift, VKEY_END, 0, 0x4F00},
        {"Insert", 0, VKEY_INSERT, 0, 0x5200},
        {"Delete is 0x10000", 0, VKEY_DELETE, 0, 0x10000},
        {"Shift Delete", kShift, VKEY_DELETE, 0, 0x10000},
        {"Ctrl Insert", kCtrl, VKEY_INSERT, 0, 0x9200},
        {"Ctrl Delete", kCtrl, VKEY_DELETE, 0, 0x9300},
        {"Alt Home has no entry", kAlt, VKEY_HOME, 0, -1},
        {"plain a", 0, 'A', 'a', 97},
        {"Shift A", kShift, 'A', 'A', 65},
        {"Ctrl A", kCtrl, 'A', 1, 1},
        {"Enter", 0, 0x0D, 13, 13},
        {"Escape", 0, 0x1B, 27, 27},
        {"character above 127", 0, 0xDD, 0xE9, -1},
        {"no character", 0, 0x14, 0, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(translate_key(c.state, c.key, c.ch), c.expected);
    }
}

TEST(DecodeTerminalKey, Sequences) {
    struct Case {
        const char* name;
        std::string bytes;
        int32_t expected;
        size_t used;
    } const cases[] = {
        {"letter", "a", 97, 1},
        {"only the first key", "ab", 97, 1},
        {"DEL is Backspace", "\x7f", 8, 1},
        {"LF is Enter", "\n", 13, 1},
        {"CR is Enter", "\r", 13, 1},
        {"Ctrl C", "\x03", 3, 1},
        {"UTF-8 byte", "\xc3", -1, 1},
        {"lone ESC", "\x1b", 27, 1},
        {"ESC ESC", "\x1b\x1b", 27, 1},
        {"Alt a",
         "\x1b"
         "a",
         0x1E00, 2},
        {"Alt 5",
         "\x1b"
         "5",
         0x7C00, 2},
        {"F1 (SS3)", "\x1bOP", 0x3B00, 3},
        {"F4 (SS3)", "\x1bOS", 0x3E00, 3},
        {"F1 (Linux console)", "\x1b[[A", 0x3B00, 4},
        {"F5 (Linux console)", "\x1b[[E", 0x3F00, 4},
        {"F5", "\x1b[15~", 0x3F00, 5},
        {"F6", "\x1b[17~", 0x4000, 5},
        {"F10", "\x1b[21~", 0x4400, 5},
        {"F12", "\x1b[24~", 0x8600, 5},
        {"Shift F12", "\x1b[24;2~", 0x8800, 7},
        {"Ctrl F1", "\x1b[1;5P", 0x5E00, 6},
        {"Alt F2", "\x1b[1;3Q", 0x6900, 6},
        {"Up", "\x1b[A", 0x4800, 3},
        {"Down (application mode)", "\x1bOB", 0x5000, 3},
        {"Right then more", "\x1b[Cx", 0x4D00, 3},
        {"Left", "\x1b[D", 0x4B00, 3},
        {"Ctrl Up", "\x1b[1;5A", 0x8D00, 6},
        {"Shift Up is plain", "\x1b[1;2A", 0x4800, 6},
        {"Home", "\x1b[H", 0x4700, 3},
        {"Home (tilde)", "\x1b[1~", 0x4700, 4},
        {"End", "\x1b[F", 0x4F00, 3},
        {"End (tilde)", "\x1b[4~", 0x4F00, 4},
        {"Insert", "\x1b[2~", 0x5200, 4},
        {"Delete", "\x1b[3~", 0x10000, 4},
        {"Ctrl Delete", "\x1b[3;5~", 0x9300, 6},
        {"PgUp", "\x1b[5~", 0x4900, 4},
        {"PgDn", "\x1b[6~", 0x5100, 4},
        {"keypad 5", "\x1b[E", 0x4C00, 3},
        {"unknown number", "\x1b[99~", -1, 5},
        {"unknown final", "\x1b[Z", -1, 3},
        {"cut short", "\x1b[1;5", -1, 5},
        {"huge parameter", "\x1b[99999999999999999999~", -1, 23},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        size_t used = 99;
        EXPECT_EQ(decode_terminal_key(reinterpret_cast<const unsigned char*>(c.bytes.data()),
                                      c.bytes.size(), &used),
                  c.expected);
        EXPECT_EQ(used, c.used);
    }
    size_t used = 99;
    EXPECT_EQ(decode_terminal_key(nullptr, 0, &used), -1);
    EXPECT_EQ(used, 0u);
}

// Points standard input at another descriptor for the life of the object.
class StdinRedirect {
public:
    explicit StdinRedirect(int fd) : saved_(dup(0)) { dup2(fd, 0); }
    ~StdinRedirect() {
        dup2(saved_, 0);
        close(saved_);
    }

private:
    int saved_;
};

// Polls key_pressed for up to a second (a pty hands bytes over asynchronously).
bool keyArrives() {
    for (int i = 0; i < 1000; ++i) {
        if (key_pressed()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

class TerminalInputTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        ASSERT_TRUE(pty.holdSlaveRaw());
        slave = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(slave, 0);
    }
    void TearDown() override {
        if (slave >= 0) close(slave);
    }
    Pty pty;
    int slave = -1;
};

TEST_F(TerminalInputTest, KeyPressedConsumesNothing) {
    StdinRedirect redirect(slave);
    EXPECT_EQ(key_pressed(), 0);
    pty.write("q");
    ASSERT_TRUE(keyArrives());
    EXPECT_EQ(key_pressed(), 1);
    EXPECT_EQ(key_pressed(), 1);
    char key = 0;
    ASSERT_EQ(read(0, &key, 1), 1);
    EXPECT_EQ(key, 'q');
    EXPECT_EQ(key_pressed(), 0);
}

TEST_F(TerminalInputTest, ReadKeyTranslatesSequences) {
    StdinRedirect redirect(slave);
    pty.write(
        "\x1b[A"
        "a"
        "\x1bOP"
        "\x1b[3~"
        "\x1b"
        "x"
        "\x7f");
    ASSERT_TRUE(keyArrives());
    EXPECT_EQ(read_key(), 0x4800);
    EXPECT_EQ(read_key(), 'a');
    EXPECT_EQ(read_key(), 0x3B00);
    EXPECT_EQ(read_key(), 0x10000);
    EXPECT_EQ(read_key(), 0x2D00);  // Alt x
    EXPECT_EQ(read_key(), 8);
}

TEST_F(TerminalInputTest, LoneEscapeIsEscape) {
    StdinRedirect redirect(slave);
    pty.write("\x1b");
    ASSERT_TRUE(keyArrives());
    EXPECT_EQ(read_key(), 27);
    pty.write("z");
    EXPECT_EQ(read_key(), 'z');
}

TEST(KeyInput, NotATerminalReportsNoKeyAndEndsReadKey) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "q", 1), 1);
    close(fds[1]);
    StdinRedirect redirect(fds[0]);
    EXPECT_EQ(key_pressed(), 0);  // input waiting, but not from a console
    EXPECT_EQ(read_key(), 'q');
    EXPECT_EQ(read_key(), -1);  // end of input: no hang
    close(fds[0]);
}

uint32_t fixedClock() {
    return 4242;
}

TEST(Clock, MonotonicMillisecondsAndFakeSource) {
    const uint32_t a = tick_ms();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const uint32_t elapsed = tick_ms() - a;
    EXPECT_GE(elapsed, 50u);
    EXPECT_LT(elapsed, 5000u);  // milliseconds, not microseconds or CPU time
    set_tick_source(fixedClock);
    EXPECT_EQ(tick_ms(), 4242u);
    set_tick_source(nullptr);
    EXPECT_NE(tick_ms(), 4242u);
}

int32_t otherHook(SerialPort*) {
    return -77;
}

TEST(IdleHook, SetterAndDefault) {
    EXPECT_EQ(idle_hook, pump_messages);
    set_idle_hook(otherHook);
    EXPECT_EQ(idle_hook(nullptr), -77);
    set_idle_hook(nullptr);  // back to the default, never a null hook
    EXPECT_EQ(idle_hook, pump_messages);
    EXPECT_EQ(pump_messages(nullptr), 0);
    SerialPort* fallback = port_fallback();
    EXPECT_EQ(pump_messages(fallback), 0);
}

}  // namespace
