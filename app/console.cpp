#include "app/console.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <initializer_list>

#ifdef _WIN32
#include <conio.h>
#include <io.h>
#include <windows.h>
#else
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#endif

#include "serial/port.h"

namespace {

bool initialised = false;

#ifndef _WIN32
bool terminalSaved = false;
struct termios savedTerminal;

void restoreTerminal() {
    if (terminalSaved) tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
}

// A killed run leaves nothing behind: the port is free for the next program
// and the terminal edits and echoes again.
void releaseOnSignal(int sig) {
    port_release_all_on_signal();
    restoreTerminal();
    signal(sig, SIG_DFL);
    raise(sig);
}

// Non-canonical, no echo; signals (Ctrl-C) still work.
void enterKeyMode() {
    if (!terminalSaved) return;
    struct termios raw = savedTerminal;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
}
#endif

}  // namespace

void consoleInit() {
    if (initialised) return;
    initialised = true;
    setvbuf(stdout, nullptr, _IONBF, 0);
#ifndef _WIN32
    if (isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &savedTerminal) == 0) {
        terminalSaved = true;
        atexit(restoreTerminal);
    }
    // SIGPIPE too: a closed reader of the output (download ... | head).
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE})
        signal(sig, releaseOnSignal);
    enterKeyMode();
#endif
}

void consolePrint(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vfprintf(stdout, format, args);
    va_end(args);
    fflush(stdout);
}

void consoleWrite(const char* text) {
    fputs(text, stdout);
    fflush(stdout);
}

void consolePutChar(char ch) {
    fputc(static_cast<unsigned char>(ch), stdout);
    fflush(stdout);
}

void consolePutCharDirect(char ch) {
#ifdef _WIN32
    // Progress marks for the person watching: never into redirected output.
    _putch(static_cast<unsigned char>(ch));
#else
    consolePutChar(ch);
#endif
}

void consoleDropTypedAhead() {
#ifdef _WIN32
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(input, &mode)) FlushConsoleInputBuffer(input);
#else
    // Only a terminal has keys typed ahead; a pipe holds answers meant in order.
    if (terminalSaved) tcflush(STDIN_FILENO, TCIFLUSH);
#endif
}

// One byte of standard input, unbuffered so that key reads and line reads
// never steal input from each other; -1 at end of input or on failure.
static int readInputByte() {
    unsigned char byte = 0;
    for (;;) {
#ifdef _WIN32
        int n = _read(0, &byte, 1);
#else
        ssize_t n = read(STDIN_FILENO, &byte, 1);
#endif
        if (n == 1) return byte;
        if (n < 0 && errno == EINTR) continue;
        return -1;
    }
}

int consoleReadKey() {
#ifdef _WIN32
    DWORD mode = 0;
    if (GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode)) {
        int ch = _getch();
        return ch < 0 ? -1 : ch & 0xFF;
    }
#endif
    return readInputByte();
}

bool consoleReadLine(char* buffer, size_t size, bool* truncated) {
    if (size == 0) return false;
#ifndef _WIN32
    // A typed line needs the terminal's own editing and echo.
    if (terminalSaved) tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
#endif
    size_t stored = 0;
    if (truncated != nullptr) *truncated = false;
    bool gotAny = false;
    bool ok = false;
    for (;;) {
        int ch = readInputByte();
        if (ch < 0) {
            ok = gotAny;
            break;
        }
        gotAny = true;
        if (ch == '\n') {
            ok = true;
            break;
        }
        if (stored + 1 < size) {
            buffer[stored++] = static_cast<char>(ch);
        } else if (truncated != nullptr) {
            *truncated = true;
        }
    }
    // Drop a CR of a CR LF line end.
    if (stored > 0 && buffer[stored - 1] == '\r') --stored;
    buffer[stored] = '\0';
#ifndef _WIN32
    enterKeyMode();
#endif
    return ok;
}
