// The application's console: its texts, a key read without echo or Enter,
// and a line read. End of input and read failures are reported, never
// invented. The platform's side is in platform/terminal.h and keyboard.h.
#pragma once

#include <cstddef>

// Unbuffered output; on a terminal, keys without Enter or echo, restored at
// exit and on terminating signals. Safe to call more than once.
void consoleInit();

// Formatted output; every text appears at once.
void consolePrint(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// Text printed as it is (never used as a format).
void consoleWrite(const char* text);
// A line of its own on standard error: causes, remedies, the phone's state.
// The classic texts on standard output never change for it.
void consoleNote(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// Whether standard output has failed (its reader has gone): a station stops
// writing to it and goes on.
bool consoleOutputLost();
// Ends standard output's open line first where a note on standard error
// would run into it; consoleNote does it by itself.
void consoleBeginNote();
// One character of formatted output.
void consolePutChar(char ch);
// One character at the cursor of the console itself: on Windows not through
// standard output, so redirected output does not get it.
void consolePutCharDirect(char ch);

// Discards keys typed on the console before a question is asked, so that a
// key meant for one question cannot answer the next.
void consoleDropTypedAhead();

// One key press, without echo and without Enter: its character code 0..255,
// or -1 at end of input or on a read failure.
int consoleReadKey();

// One line from standard input without its line end. Characters beyond
// size - 1 are read and dropped; *truncated (when given) tells. False at end
// of input or on a read failure (a final line without a line end still
// counts as a line).
bool consoleReadLine(char* buffer, size_t size, bool* truncated = nullptr);
