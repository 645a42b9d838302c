// The platform's console, as the application needs it. Nothing here prints.
// The key reads are in keyboard.h, the files in files.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Console set-up, once per process (later calls do nothing): standard output
// unbuffered; on a terminal, keys seen without Enter and without echo. The
// terminal is restored at exit and on every terminating signal, which also
// releases the open ports first.
void terminal_init();

// One byte of standard input, unbuffered, so that key reads and line reads
// never take input from each other; -1 at its end or on a failure.
int terminal_read_byte();

// One line of standard input, with the terminal's own editing and echo,
// without its line end (LF or CR LF). Characters beyond size - 1 are read and
// dropped, and *truncated (when given) tells. False at the end of the input or
// on a failure; a last line without a line end still counts.
bool terminal_read_line(char* buffer, size_t size, bool* truncated);

// Switches a terminal between line editing with echo (for terminal_read_line)
// and keys without Enter or echo; nothing on a console that needs no switch.
void terminal_line_editing(bool on);

// Discards keys typed on the console and not yet read. Input that is not a
// console (a pipe, a file) is left alone: it holds answers meant in order.
void terminal_drop_typed_ahead();

// One character at the cursor of the console itself: on Windows not through
// standard output, so that redirected output never gets it.
void terminal_put_char_direct(char ch);

// Whether standard output is a terminal (a console), where a line can be
// rewritten in place.
bool terminal_output_is_console();
// Whether it takes the terminal's escape sequences (cursor moves, colours):
// not a dumb terminal; on Windows a console that can be switched to them.
bool terminal_escapes();

// A supervisor outlives what it writes to: a standard output whose reader
// has gone (a closed pipe) or a terminal that it shares from the background
// does not stop it; such writes fail instead.
void terminal_keep_running();
// Whether the console's keys are this process's now (POSIX: its process
// group is the terminal's foreground; always on Windows).
bool terminal_in_foreground();
// The size of the terminal (console window) that standard output shows in.
bool terminal_size(int* columns, int* rows);
// Whether standard output and standard error are one place (a terminal, or
// a file they share), where a note would be shown twice.
bool terminal_streams_same();
// Whether standard output's last text left a line open where standard
// error shows too: a note then begins a line of its own (also on the signal
// path).
void terminal_output_line_open(bool open);
bool terminal_output_line_is_open();

// Text for standard error when Ctrl-C or another terminating signal ends the
// process, written after the ports are released and the terminal restored;
// null for none. The caller keeps the text (a NUL-terminated buffer that it
// may rewrite at any time) for as long as it is set. Ctrl-C then ends the
// process with exit status 130; the other signals end it as they would.
void terminal_set_signal_note(const char* text);
constexpr int kExitInterrupted = 130;

// The event stream's last line when a terminating signal (on Windows Ctrl-C
// or a closed console) ends the process, written after the note: the text
// for Ctrl-C or the one for any other signal, each ending where a number
// goes, then the seconds since start_us (platform_micros) and "}\n". The
// caller keeps the texts as for the note; a null text writes nothing.
void terminal_set_signal_event(intptr_t file, uint64_t start_us, const char* on_interrupt,
                               const char* on_other);
// For the platform's signal path (async-signal-safe): that line into out,
// its length (0 when none is set) and the file it goes to.
size_t terminal_signal_event_line(bool interrupt, char* out, size_t size, intptr_t* file);

// The platform, processor and compiler this program was built for.
const char* platform_build_description();
