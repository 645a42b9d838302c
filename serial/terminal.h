// The platform's console and files, as the application needs them. Nothing
// here prints. The key reads are in keyboard.h.
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

// Text for standard error when Ctrl-C or another terminating signal ends the
// process, written after the ports are released and the terminal restored;
// null for none. The caller keeps the text (a NUL-terminated buffer that it
// may rewrite at any time) for as long as it is set. Ctrl-C then ends the
// process with exit status 130; the other signals end it as they would.
void terminal_set_signal_note(const char* text);
constexpr int kExitInterrupted = 130;

// The platform, processor and compiler this program was built for.
const char* platform_build_description();

// The separator of directories in a path.
#ifdef _WIN32
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif

// Opens path for reading without translation ("rb") only when it names a
// regular file: a directory, a device or a FIFO is refused like a missing
// file. Null when refused or when it does not open.
FILE* file_open_regular(const char* path);

// The length of an open file in bytes (64-bit), or -1 when it is unknown.
// The file is left at its start.
int64_t file_length(FILE* file);

// Whether path names an existing regular file.
bool file_is_regular(const char* path);

// Whether two names (after links) or a name and an open file are the same
// existing file.
bool file_same(const char* path, const char* other);
bool file_same_open(const char* path, FILE* file);

// Whether a path names its place from the root (/opt/x on POSIX; C:\x, C:/x
// or \\server\x on Windows) rather than from the current directory.
bool path_is_absolute(const char* path);

// Whether an argument that starts with '/' may be a path (POSIX) rather than
// always an option (Windows, where '/' starts every option).
constexpr bool kSlashMayStartAPath = kPathSeparator == '/';
