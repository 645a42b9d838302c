// Windows side of the clock, the idle hook, the console and the files.
#include <conio.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cstdio>

#include "serial/keyboard.h"
#include "serial/port.h"
#include "serial/terminal.h"

namespace {

// Shared by key_pressed and read_key: a key the console reported with a
// repeat count comes back that many times.
int32_t last_key = 0;
int32_t pending_repeats = 0;

bool input_is_console() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

}  // namespace

uint32_t platform_tick_ms() {
    return GetTickCount();
}

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

int read_char() {
    // The run-time library's console character read, when there is a console.
    if (input_is_console()) {
        const int ch = _getch();
        return ch < 0 ? -1 : ch & 0xFF;
    }
    return terminal_read_byte();
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

void terminal_init() {
    static bool initialised = false;
    if (initialised) return;
    initialised = true;
    setvbuf(stdout, nullptr, _IONBF, 0);
}

void terminal_line_editing(bool) {
    // The console reads lines with editing and echo, and _getch reads keys
    // without them: nothing to switch.
}

int terminal_read_byte() {
    unsigned char byte = 0;
    return _read(0, &byte, 1) == 1 ? byte : -1;
}

void terminal_drop_typed_ahead() {
    if (input_is_console()) FlushConsoleInputBuffer(GetStdHandle(STD_INPUT_HANDLE));
    pending_repeats = 0;
}

void terminal_put_char_direct(char ch) {
    _putch(static_cast<unsigned char>(ch));
}

FILE* file_open_regular(const char* path) {
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return nullptr;
    // Device names (NUL, CON, COM1) open too: only a plain file is an image.
    struct _stat64 st;
    if (_fstat64(_fileno(file), &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) {
        std::fclose(file);
        return nullptr;
    }
    return file;
}

int64_t file_length(FILE* file) {
    int64_t length = -1;
    if (_fseeki64(file, 0, SEEK_END) == 0) length = _ftelli64(file);
    std::clearerr(file);
    _fseeki64(file, 0, SEEK_SET);
    return length;
}
