// The clock, the idle hook and the key translations, the same on every
// platform; the platform's console and clock are in platform_<os>.cpp.
#include "platform/keyboard.h"

namespace {

TickSource tick_source = nullptr;

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
    return tick_source != nullptr ? tick_source() : platform_tick_ms();
}

void set_tick_source(TickSource source) {
    tick_source = source;
}

IdleHook idle_hook = pump_messages;

namespace {
constexpr IdlePass kPlainPass = {1, false, false};
IdlePass next_pass = kPlainPass;
}  // namespace

void idle_allow_ms(uint32_t waited_ms, uint32_t left_ms) {
    const uint32_t most = waited_ms < kIdleBriskMs ? kIdleBriskStepMs : kIdleAllowanceMaxMs;
    next_pass.ms = left_ms < 1 ? 1 : left_ms > most ? most : left_ms;
    next_pass.input = true;
}

void idle_watch_keys() {
    next_pass.keys = true;
}

IdlePass idle_take() {
    const IdlePass pass = next_pass;
    next_pass = kPlainPass;
    return pass;
}

void set_idle_hook(IdleHook hook) {
    idle_hook = hook != nullptr ? hook : pump_messages;
}
