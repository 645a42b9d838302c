#include "serial/keyboard.h"

#include "serial/port.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#endif

namespace {

TickSource tick_source = nullptr;

// Shared by key_pressed and read_key: a key the console reported with a
// repeat count comes back that many times.
int32_t last_key = 0;
int32_t pending_repeats = 0;

struct KeyCodes {
    uint32_t virtual_key;
    int32_t alt, plain, ctrl, shift;  // 0: no entry, the character is used
};

// PC BIOS extended codes (scan code * 256).
constexpr KeyCodes kKeyTable[] = {
    {VKEY_F1 + 0, 0x6800, 0x3B00, 0x5E00, 0x5400},  {VKEY_F1 + 1, 0x6900, 0x3C00, 0x5F00, 0x5500},
    {VKEY_F1 + 2, 0x6A00, 0x3D00, 0x6000, 0x5600},  {VKEY_F1 + 3, 0x6B00, 0x3E00, 0x6100, 0x5700},
    {VKEY_F1 + 4, 0x6C00, 0x3F00, 0x6200, 0x5800},  {VKEY_F1 + 5, 0x6D00, 0x4000, 0x6300, 0x5900},
    {VKEY_F1 + 6, 0x6E00, 0x4100, 0x6400, 0x5A00},  {VKEY_F1 + 7, 0x6F00, 0x4200, 0x6500, 0x5B00},
    {VKEY_F1 + 8, 0x7000, 0x4300, 0x6600, 0x5C00},  {VKEY_F1 + 9, 0x7100, 0x4400, 0x6700, 0x5D00},
    {VKEY_F1 + 10, 0x8B00, 0x8500, 0x8900, 0x8700}, {VKEY_F1 + 11, 0x8C00, 0x8600, 0x8A00, 0x8800},
    {VKEY_HOME, 0, 0x4700, 0x7700, 0x4700},         {VKEY_UP, 0, 0x4800, 0x8D00, 0x4800},
    {VKEY_PAGE_UP, 0, 0x4900, 0x8400, 0x4900},      {VKEY_LEFT, 0, 0x4B00, 0x7300, 0x4B00},
    {VKEY_CLEAR, 0, 0x4C00, 0x8F00, 0x4C00},        {VKEY_RIGHT, 0, 0x4D00, 0x7400, 0x4D00},
    {VKEY_END, 0, 0x4F00, 0x7500, 0x4F00},          {VKEY_DOWN, 0, 0x5000, 0x9100, 0x5000},
    {VKEY_PAGE_DOWN, 0, 0x5100, 0x7600, 0x5100},    {VKEY_INSERT, 0, 0x5200, 0x9200, 0x5200},
    {VKEY_DELETE, 0, 0x10000, 0x9300, 0x10000},
};

// Set-1 scan codes of the letters A..Z, for Alt+letter.
constexpr uint8_t kLetterScanCodes[26] = {
    0x1E, 0x30, 0x2E, 0x20, 0x12, 0x21, 0x22, 0x23, 0x17, 0x24, 0x25, 0x26, 0x32,
    0x31, 0x18, 0x19, 0x10, 0x13, 0x1F, 0x14, 0x16, 0x2F, 0x11, 0x2D, 0x15, 0x2C,
};

int32_t alt_code(uint32_t virtual_key) {
    if (virtual_key >= '1' && virtual_key <= '9')
        return static_cast<int32_t>(0x7800 + (virtual_key - '1') * 0x100);
    if (virtual_key == '0') return 0x8100;
    if (virtual_key >= 'A' && virtual_key <= 'Z') return kLetterScanCodes[virtual_key - 'A'] << 8;
    for (const KeyCodes& key : kKeyTable)
        if (key.virtual_key == virtual_key) return key.alt;
    return 0;
}

}  // namespace

int32_t translate_key(uint32_t control_state, uint32_t virtual_key, int ch) {
    int32_t code = 0;
    if (control_state & (KEY_RIGHT_ALT | KEY_LEFT_ALT)) {
        code = alt_code(virtual_key);
    } else {
        for (const KeyCodes& key : kKeyTable) {
            if (key.virtual_key != virtual_key) continue;
            if (!(control_state & (KEY_SHIFT | KEY_RIGHT_CTRL | KEY_LEFT_CTRL)))
                code = key.plain;
            else if (control_state & (KEY_RIGHT_CTRL | KEY_LEFT_CTRL))
                code = key.ctrl;
            else
                code = key.shift;
            break;
        }
    }
    if (code != 0) return code;
    return ch >= 1 && ch <= 127 ? ch : -1;
}

namespace {

constexpr unsigned char kEsc = 0x1B;

// xterm modifier parameter: 1 + (1 shift, 2 alt, 4 ctrl).
uint32_t modifier_state(unsigned value) {
    if (value < 2) return 0;
    const unsigned bits = value - 1;
    uint32_t state = 0;
    if (bits & 1) state |= KEY_SHIFT;
    if (bits & 2) state |= KEY_LEFT_ALT;
    if (bits & 4) state |= KEY_LEFT_CTRL;
    return state;
}

// The key named by the final letter of ESC [ x or ESC O x.
uint32_t letter_key(unsigned char final) {
    switch (final) {
        case 'A':
            return VKEY_UP;
        case 'B':
            return VKEY_DOWN;
        case 'C':
            return VKEY_RIGHT;
        case 'D':
            return VKEY_LEFT;
        case 'E':
            return VKEY_CLEAR;  // keypad 5
        case 'H':
            return VKEY_HOME;
        case 'F':
            return VKEY_END;
        case 'P':
            return VKEY_F1;
        case 'Q':
            return VKEY_F1 + 1;
        case 'R':
            return VKEY_F1 + 2;
        case 'S':
            return VKEY_F1 + 3;
        default:
            return 0;
    }
}

// The key named by the number of ESC [ n ~.
uint32_t tilde_key(unsigned number) {
    switch (number) {
        case 1:
        case 7:
            return VKEY_HOME;
        case 2:
            return VKEY_INSERT;
        case 3:
            return VKEY_DELETE;
        case 4:
        case 8:
            return VKEY_END;
        case 5:
            return VKEY_PAGE_UP;
        case 6:
            return VKEY_PAGE_DOWN;
        case 11:
        case 12:
        case 13:
        case 14:
        case 15:
            return VKEY_F1 + (number - 11);
        case 17:
        case 18:
        case 19:
        case 20:
        case 21:
            return VKEY_F1 + 5 + (number - 17);
        case 23:
        case 24:
            return VKEY_F1 + 10 + (number - 23);
        default:
            return 0;
    }
}

// Virtual key of a plain character, for Alt+character.
uint32_t char_key(unsigned char ch) {
    if (ch >= 'a' && ch <= 'z') return static_cast<uint32_t>(ch - 'a' + 'A');
    if ((ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9')) return ch;
    return 0;
}

int plain_char(unsigned char ch) {
    if (ch == 0x7F) return 8;   // terminals send DEL for Backspace
    if (ch == '\n') return 13;  // Enter after the terminal's CR-to-LF mapping
    return ch;
}

}  // namespace

int32_t decode_terminal_key(const unsigned char* bytes, size_t length, size_t* used) {
    *used = 0;
    if (length == 0) return -1;
    *used = 1;
    if (bytes[0] != kEsc) return translate_key(0, 0, plain_char(bytes[0]));
    if (length == 1) return 27;

    const unsigned char intro = bytes[1];
    if (intro != '[' && intro != 'O') {
        if (intro == kEsc) return 27;  // the second ESC starts the next key
        *used = 2;
        return translate_key(KEY_LEFT_ALT, char_key(intro), plain_char(intro));
    }
    if (length == 2) {
        *used = 2;
        return translate_key(KEY_LEFT_ALT, 0, intro);
    }
    if (intro == '[' && bytes[2] == '[') {  // Linux console F1..F5: ESC [ [ A..E
        if (length < 4) {
            *used = 3;
            return -1;
        }
        *used = 4;
        if (bytes[3] >= 'A' && bytes[3] <= 'E')
            return translate_key(0, VKEY_F1 + static_cast<uint32_t>(bytes[3] - 'A'), 0);
        return -1;
    }

    // Parameters (digits and ';') then one final byte.
    unsigned params[2] = {0, 0};
    size_t count = 0;
    size_t i = 2;
    for (; i < length && bytes[i] >= 0x30 && bytes[i] <= 0x3F; ++i) {
        if (bytes[i] == ';') {
            if (count < 2) ++count;
        } else if (bytes[i] >= '0' && bytes[i] <= '9' && count < 2 && params[count] < 1000) {
            params[count] = params[count] * 10 + static_cast<unsigned>(bytes[i] - '0');
        }
    }
    if (i >= length) {
        *used = length;
        return -1;
    }
    const unsigned char final = bytes[i];
    *used = i + 1;
    uint32_t key = 0;
    uint32_t state = 0;
    if (final == '~') {
        key = tilde_key(params[0]);
        state = modifier_state(params[1]);
    } else {
        key = letter_key(final);
        // ESC [ 1 ; 5 A carries the modifiers in the second parameter; some
        // terminals send ESC O 5 P with them in the first.
        state = modifier_state(count >= 1 ? params[1] : params[0]);
    }
    if (key == 0) return -1;
    return translate_key(state, key, 0);
}

uint32_t tick_ms() {
    if (tick_source != nullptr) return tick_source();
#ifdef _WIN32
    return GetTickCount();
#else
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
#endif
}

void set_tick_source(TickSource source) {
    tick_source = source;
}

IdleHook idle_hook = pump_messages;

void set_idle_hook(IdleHook hook) {
    idle_hook = hook != nullptr ? hook : pump_messages;
}

#ifdef _WIN32

int32_t pump_messages(SerialPort*) {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    // Lets another ready thread run; returns at once when there is none, so a
    // reply is still seen without a timer tick's delay.
    SwitchToThread();
    return 0;
}

int key_pressed() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    for (;;) {
        if (pending_repeats > 0) return 1;
        INPUT_RECORD record;
        DWORD got = 0;
        if (!PeekConsoleInputA(input, &record, 1, &got) || got == 0) return 0;
        if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) return 1;
        if (!ReadConsoleInputA(input, &record, 1, &got) || got == 0) return 0;
    }
}

int32_t read_key() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    for (;;) {
        if (pending_repeats > 0) {
            --pending_repeats;
            return last_key;
        }
        INPUT_RECORD record;
        DWORD got = 0;
        // Not a console, or it failed: there is no key to wait for.
        if (!ReadConsoleInputA(input, &record, 1, &got) || got == 0) return -1;
        if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) continue;
        const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
        last_key = translate_key(key.dwControlKeyState, key.wVirtualKeyCode,
                                 static_cast<unsigned char>(key.uChar.AsciiChar));
        pending_repeats = key.wRepeatCount;
    }
}

#else

namespace {

// Bytes of a terminal sequence read ahead by read_key and not yet decoded.
unsigned char pending_bytes[32];
size_t pending_length = 0;

void sleep_ms(long ms) {
    timespec pause{0, ms * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

// Reads what standard input has, waiting up to timeout_ms (-1: no limit) for
// the first byte. 0 on time-out, -1 at end of input or on failure.
long read_input(unsigned char* buffer, size_t size, int timeout_ms) {
    for (;;) {
        pollfd input{0, POLLIN, 0};
        int ready = poll(&input, 1, timeout_ms);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return -1;
        if (ready == 0) return 0;
        ssize_t got = read(0, buffer, size);
        if (got > 0) return static_cast<long>(got);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        return -1;
    }
}

// Whether the pending bytes starting with ESC hold a whole key.
bool sequence_complete() {
    if (pending_length < 2) return false;
    if (pending_bytes[1] != '[' && pending_bytes[1] != 'O') return true;
    if (pending_length < 3) return false;
    if (pending_bytes[1] == '[' && pending_bytes[2] == '[') return pending_length >= 4;
    for (size_t i = 2; i < pending_length; ++i)
        if (pending_bytes[i] >= 0x40 && pending_bytes[i] <= 0x7E) return true;
    return false;
}

}  // namespace

int32_t pump_messages(SerialPort* port) {
    if (port != nullptr) return posix_port_idle(port, 1);
    sleep_ms(1);
    return 0;
}

int key_pressed() {
    if (pending_repeats > 0 || pending_length > 0) return 1;
    if (!isatty(0)) return 0;
    pollfd input{0, POLLIN, 0};
    return poll(&input, 1, 0) > 0 && (input.revents & POLLIN) ? 1 : 0;
}

int32_t read_key() {
    if (pending_repeats > 0) {
        --pending_repeats;
        return last_key;
    }
    if (pending_length == 0) {
        long got = read_input(pending_bytes, 1, -1);
        if (got <= 0) return -1;
        pending_length = 1;
    }
    // A lone ESC and the start of a sequence look alike: give the rest of a
    // sequence a moment to arrive.
    while (pending_bytes[0] == kEsc && !sequence_complete() &&
           pending_length < sizeof pending_bytes) {
        long got =
            read_input(pending_bytes + pending_length, sizeof pending_bytes - pending_length, 30);
        if (got <= 0) break;
        pending_length += static_cast<size_t>(got);
    }
    size_t used = 0;
    last_key = decode_terminal_key(pending_bytes, pending_length, &used);
    if (used > pending_length) used = pending_length;
    for (size_t i = used; i < pending_length; ++i)
        pending_bytes[i - used] = pending_bytes[i];
    pending_length -= used;
    return last_key;
}

#endif
