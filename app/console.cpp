#include "app/console.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/events.h"
#include "platform/keyboard.h"
#include "platform/terminal.h"

void consoleInit() {
    terminal_init();
}

namespace {

// Where standard output and standard error show in one place, a note
// after an open line of output (a row of progress glyphs) would run into it.
bool streamsSame() {
    static const bool same = terminal_streams_same();
    return same;
}

void writeOut(const char* text, size_t length) {
    if (length == 0) return;
    std::fwrite(text, 1, length, stdout);
    fflush(stdout);
    terminal_output_line_open(text[length - 1] != '\n' && streamsSame());
}

}  // namespace

void consolePrint(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n >= static_cast<int>(sizeof text)) {
        std::string whole(static_cast<size_t>(n) + 1, '\0');
        std::vsnprintf(whole.data(), whole.size(), format, again);
        writeOut(whole.data(), static_cast<size_t>(n));
    } else if (n > 0) {
        writeOut(text, static_cast<size_t>(n));
    }
    va_end(again);
}

void consoleWrite(const char* text) {
    writeOut(text, std::strlen(text));
}

bool consoleOutputLost() {
    return ferror(stdout) != 0;
}

void consoleBeginNote() {
    if (terminal_output_line_is_open()) std::fputc('\n', stderr);
    terminal_output_line_open(false);
}

void consoleNote(const char* format, ...) {
    char note[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(note, sizeof note, format, args);
    va_end(args);
    if (note[0] != '\n') consoleBeginNote();
    std::fprintf(stderr, "%s\n", note);
    fflush(stderr);
    // A note's leading line feed only spaces it from the classic text.
    eventNote(note[0] == '\n' ? note + 1 : note);
}

void consolePutChar(char ch) {
    writeOut(&ch, 1);
}

void consolePutCharDirect(char ch) {
    terminal_put_char_direct(ch);
    terminal_output_line_open(ch != '\n' && streamsSame());
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
