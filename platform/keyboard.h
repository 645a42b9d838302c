// Millisecond clock, the idle hook of every wait, and the console key test.
#pragma once

#include <cstddef>
#include <cstdint>

struct SerialPort;

// Monotonic milliseconds; callers only use differences (32-bit wrap-around).
uint32_t tick_ms();
// The platform's own millisecond clock, which tick_ms reads unless a test
// replaced the source.
uint32_t platform_tick_ms();
// A monotonic clock in microseconds, for timing what happens on the line.
uint64_t platform_micros();

// Called on every pass of every wait; a negative result stops the wait with
// that code. The port may be null.
using IdleHook = int32_t (*)(SerialPort* port);
extern IdleHook idle_hook;
void set_idle_hook(IdleHook hook);

// The default idle hook: dispatches window messages on Windows; on POSIX it
// gives up the processor briefly (polling the port, if any) and returns 0,
// or PORT_FAILED when the port's device has gone away.
int32_t pump_messages(SerialPort* port);

// What the next idle pass waits for. A wait for a byte (idle_allow_ms) may
// sleep up to its allowance, and a byte arriving ends the sleep at once; for
// its first kIdleBriskMs (waited_ms) it wakes every kIdleBriskStepMs, which
// keeps a processor that will soon be needed from sinking into its
// slower-to-wake sleep, after that up to kIdleAllowanceMaxMs, never past the
// time it has left (left_ms). A wait that also looks for a key
// (idle_watch_keys) wakes on one on Windows. Every other pass (delays,
// writes) sleeps 1 ms on a finished write at most, whatever else arrives:
// idle_take gives the pass its due and leaves that behind.
constexpr uint32_t kIdleBriskMs = 100;
constexpr uint32_t kIdleBriskStepMs = 2;
constexpr uint32_t kIdleAllowanceMaxMs = 50;
void idle_allow_ms(uint32_t waited_ms, uint32_t left_ms);
void idle_watch_keys();
struct IdlePass {
    uint32_t ms;
    bool input;  // a byte ends it
    bool keys;   // a key press ends it
};
IdlePass idle_take();

// 1 when a key press is waiting on the console input, else 0. Consumes
// nothing a key read would return; on Windows it drops the records that are
// no key press (releases, focus, mouse, a modifier alone), which would keep
// a wait on the console awake.
int key_pressed();
#ifdef _WIN32
// A wait of the caller's own that watched the console input: whether it woke
// (false only when it timed out), so that key_pressed looks again after a wake.
void console_input_watched(bool woke);
#endif
// One key press as the console character read gives it: its character code
// 0..255, without echo and without Enter; -1 when the console input has
// ended or cannot be read. Shares its input with read_key: a byte that one
// has read ahead is the other's next.
int read_char();
// Reads one key and translates it to a PC extended key code (F1 = 0x3B00...).
// -1 when the console input has ended or cannot be read.
int32_t read_key();

// Modifier bits of a key press, as the Windows console reports them.
constexpr uint32_t KEY_RIGHT_ALT = 0x0001;
constexpr uint32_t KEY_LEFT_ALT = 0x0002;
constexpr uint32_t KEY_RIGHT_CTRL = 0x0004;
constexpr uint32_t KEY_LEFT_CTRL = 0x0008;
constexpr uint32_t KEY_SHIFT = 0x0010;

// Windows virtual-key codes of the keys that have extended codes.
constexpr uint32_t VKEY_CLEAR = 0x0C;
constexpr uint32_t VKEY_PAGE_UP = 0x21;
constexpr uint32_t VKEY_PAGE_DOWN = 0x22;
constexpr uint32_t VKEY_END = 0x23;
constexpr uint32_t VKEY_HOME = 0x24;
constexpr uint32_t VKEY_LEFT = 0x25;
constexpr uint32_t VKEY_UP = 0x26;
constexpr uint32_t VKEY_RIGHT = 0x27;
constexpr uint32_t VKEY_DOWN = 0x28;
constexpr uint32_t VKEY_INSERT = 0x2D;
constexpr uint32_t VKEY_DELETE = 0x2E;
constexpr uint32_t VKEY_F1 = 0x70;  // F2..F12 follow

// One key press (modifier bits, virtual-key code, its character) as a PC
// extended key code, or the character when it is 1..127, else -1.
int32_t translate_key(uint32_t control_state, uint32_t virtual_key, int ch);

// Decodes the first key in the bytes a terminal sent (a character, ESC plus a
// character for Alt, or an escape sequence such as ESC [ 1 ; 5 A). Sets *used
// to the bytes it took (at least 1 when length > 0) and returns the key code
// as translate_key does; an unknown sequence gives -1.
int32_t decode_terminal_key(const unsigned char* bytes, size_t length, size_t* used);

// Test seam: replace the clock (null restores the real one).
using TickSource = uint32_t (*)();
void set_tick_source(TickSource source);
