#include "app/console.h"

#include <cstdarg>
#include <cstdio>

#include "app/events.h"
#include "platform/keyboard.h"
#include "platform/terminal.h"

void consoleInit() {
    terminal_init();
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

void consoleNote(const char* format, ...) {
    char note[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(note, sizeof note, format, args);
    va_end(args);
    std::fprintf(stderr, "%s\n", note);
    fflush(stderr);
    // A note's leading line feed only spaces it from the classic text.
    eventNote(note[0] == '\n' ? note + 1 : note);
}

void consolePutChar(char ch) {
    fputc(static_cast<unsigned char>(ch), stdout);
    fflush(stdout);
}

void consolePutCharDirect(char ch) {
    terminal_put_char_direct(ch);
}

void consoleDropTypedAhead() {
    terminal_drop_typed_ahead();
}

int consoleReadKey() {
    return read_char();
}

bool consoleReadLine(char* buffer, size_t size, bool* truncated) {
    return terminal_read_line(buffer, size, truncated);
}
