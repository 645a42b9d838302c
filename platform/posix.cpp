// POSIX side of the clock, the idle hook, the console and the files.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <string>

#include "platform/files.h"
#include "platform/keyboard.h"
#include "platform/terminal.h"
#include "serial/port.h"

namespace {

bool terminal_saved = false;
bool terminal_changed = false;
struct termios saved_terminal;

void restore_terminal() {
    if (terminal_saved && terminal_changed) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_terminal);
}

// A process in the background that sets the terminal's modes is stopped
// (SIGTTOU), and would take the terminal from the shell.
bool in_foreground() {
    return tcgetpgrp(STDIN_FILENO) == getpgrp();
}

const char* volatile signal_note = nullptr;

// A killed run leaves nothing behind: the port is free for the next program
// and the terminal edits and echoes again. Only async-signal-safe calls.
void release_on_signal(int sig) {
    port_release_all_on_signal();
    restore_terminal();
    const char* note = signal_note;
    if (note != nullptr) {
        if (terminal_output_line_is_open()) {
            [[maybe_unused]] ssize_t written = write(STDERR_FILENO, "\n", 1);
        }
        size_t length = 0;
        while (note[length] != '\0')
            ++length;
        [[maybe_unused]] ssize_t written = write(STDERR_FILENO, note, length);
    }
    static char line[4096];
    intptr_t file = -1;
    const size_t length = terminal_signal_event_line(sig == SIGINT, line, sizeof line, &file);
    if (length > 0 && file >= 0) {
        [[maybe_unused]] ssize_t written = write(static_cast<int>(file), line, length);
    }
    if (sig == SIGINT) _exit(kExitInterrupted);
    signal(sig, SIG_DFL);
    raise(sig);
}

void sleep_ms(long ms) {
    timespec pause{0, ms * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

// Bytes that read_key has read ahead and not yet decoded; read_char takes
// them first.
unsigned char pending_bytes[32];
size_t pending_length = 0;

// Reads what standard input has, waiting up to timeout_ms (-1: no limit) for
// the first byte. 0 on time-out, -1 at end of input or on failure.
long read_input(unsigned char* buffer, size_t size, int timeout_ms) {
    for (;;) {
        pollfd input{STDIN_FILENO, POLLIN, 0};
        const int ready = poll(&input, 1, timeout_ms);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return -1;
        if (ready == 0) return 0;
        const ssize_t got = read(STDIN_FILENO, buffer, size);
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

void take_pending(size_t used) {
    if (used > pending_length) used = pending_length;
    for (size_t i = used; i < pending_length; ++i)
        pending_bytes[i - used] = pending_bytes[i];
    pending_length -= used;
}

}  // namespace

uint32_t platform_tick_ms() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

uint64_t platform_micros() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(now).count());
}

int32_t pump_messages(SerialPort* port) {
    const IdlePass pass = idle_take();
    if (port != nullptr) return posix_port_idle(port, static_cast<int32_t>(pass.ms), pass.input);
    sleep_ms(static_cast<long>(pass.ms));
    return 0;
}

int key_pressed() {
    if (pending_length > 0) return 1;
    if (!isatty(STDIN_FILENO)) return 0;
    pollfd input{STDIN_FILENO, POLLIN, 0};
    return poll(&input, 1, 0) > 0 && (input.revents & POLLIN) ? 1 : 0;
}

int read_char() {
    if (pending_length > 0) {
        const int ch = pending_bytes[0];
        take_pending(1);
        return ch;
    }
    return terminal_read_byte();
}

int32_t read_key() {
    if (pending_length == 0) {
        const long got = read_input(pending_bytes, 1, -1);
        if (got <= 0) return -1;
        pending_length = 1;
    }
    // A lone ESC and the start of a sequence look alike: give the rest of a
    // sequence a moment to arrive.
    while (pending_bytes[0] == 0x1B && !sequence_complete() &&
           pending_length < sizeof pending_bytes) {
        const long got =
            read_input(pending_bytes + pending_length, sizeof pending_bytes - pending_length, 30);
        if (got <= 0) break;
        pending_length += static_cast<size_t>(got);
    }
    size_t used = 0;
    const int32_t key = decode_terminal_key(pending_bytes, pending_length, &used);
    take_pending(used);
    return key;
}

void terminal_init() {
    static bool initialised = false;
    if (initialised) return;
    initialised = true;
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved_terminal) == 0) {
        terminal_saved = true;
        atexit(restore_terminal);
    }
    // SIGPIPE too: a closed reader of the output (download ... | head). A
    // signal that the caller ignores (nohup, a launcher) stays ignored.
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
        struct sigaction now {};
        if (sigaction(sig, nullptr, &now) == 0 && now.sa_handler == SIG_DFL)
            signal(sig, release_on_signal);
    }
    terminal_line_editing(false);
}

void terminal_line_editing(bool on) {
    if (!terminal_saved || !in_foreground()) return;
    terminal_changed = true;
    if (on) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
        return;
    }
    // Non-canonical, no echo; signals (Ctrl-C) still work.
    struct termios raw = saved_terminal;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
}

int terminal_read_byte() {
    unsigned char byte = 0;
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, &byte, 1);
        if (n == 1) return byte;
        if (n < 0 && errno == EINTR) continue;
        return -1;
    }
}

void terminal_drop_typed_ahead() {
    if (!terminal_saved) return;
    tcflush(STDIN_FILENO, TCIFLUSH);
    pending_length = 0;
}

void terminal_keep_running() {
    for (int sig : {SIGPIPE, SIGTTOU, SIGTTIN})
        signal(sig, SIG_IGN);
}

bool terminal_in_foreground() {
    return !isatty(STDIN_FILENO) || in_foreground();
}

bool terminal_size(int* columns, int* rows) {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0)
        return false;
    *columns = size.ws_col;
    *rows = size.ws_row;
    return true;
}

bool terminal_streams_same() {
    struct stat out;
    struct stat err;
    return fstat(STDOUT_FILENO, &out) == 0 && fstat(STDERR_FILENO, &err) == 0 &&
           out.st_dev == err.st_dev && out.st_ino == err.st_ino;
}

bool terminal_output_is_console() {
    return isatty(STDOUT_FILENO) != 0;
}

bool terminal_escapes() {
    const char* term = std::getenv("TERM");
    return isatty(STDOUT_FILENO) != 0 && term != nullptr && std::strcmp(term, "dumb") != 0;
}

void terminal_set_signal_note(const char* text) {
    signal_note = text;
}

const char* platform_build_description() {
#if defined(__linux__)
#define DOWNLOAD_OS "Linux"
#else
#define DOWNLOAD_OS "POSIX"
#endif
#if defined(__x86_64__)
#define DOWNLOAD_CPU "x86_64"
#elif defined(__aarch64__)
#define DOWNLOAD_CPU "aarch64"
#else
#define DOWNLOAD_CPU "unknown processor"
#endif
#if defined(__clang__)
    return DOWNLOAD_OS " " DOWNLOAD_CPU ", clang " __clang_version__;
#else
    return DOWNLOAD_OS " " DOWNLOAD_CPU ", GCC " __VERSION__;
#endif
}

void terminal_put_char_direct(char ch) {
    // Standard output is the console here.
    fputc(static_cast<unsigned char>(ch), stdout);
    fflush(stdout);
}

bool path_is_absolute(const char* path) {
    return path[0] == '/';
}

namespace {

bool same_id(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

bool file_same(const char* path, const char* other) {
    struct stat a;
    struct stat b;
    return stat(path, &a) == 0 && stat(other, &b) == 0 && same_id(a, b);
}

bool file_same_open(const char* path, FILE* file) {
    struct stat a;
    struct stat b;
    return file != nullptr && stat(path, &a) == 0 && fstat(fileno(file), &b) == 0 && same_id(a, b);
}

namespace {

const char* output_failed = "";

// The system's reason, kept for output_failure; false for the caller to return.
bool failed() {
    output_failed = std::strerror(errno);
    return false;
}

OutputFile opened(int fd) {
    if (fd < 0) failed();
    return fd < 0 ? kNoOutputFile : fd;
}

}  // namespace

const char* output_failure() {
    return output_failed;
}

OutputFile output_open(const char* path) {
    // Not truncated when it is a pipe or a device: O_TRUNC leaves those alone.
    return opened(open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
}

bool output_write(OutputFile file, const char* data, size_t length) {
    while (length > 0) {
        const ssize_t n = write(static_cast<int>(file), data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = ENOSPC;
        if (n <= 0) return failed();
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

OutputFile output_open_append(const char* path) {
    return opened(open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
}

OutputFile output_open_records(const char* path, bool* created) {
    *created = false;
    int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        *created = true;
        return fd;
    }
    if (errno == EEXIST) fd = open(path, O_RDWR | O_APPEND | O_CLOEXEC);
    return opened(fd);
}

OutputFile output_create_new(const char* path, bool* exists) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    *exists = fd < 0 && errno == EEXIST;
    return opened(fd);
}

bool output_is_regular(OutputFile file) {
    struct stat st;
    return fstat(static_cast<int>(file), &st) == 0 && S_ISREG(st.st_mode);
}

int64_t output_length(OutputFile file) {
    struct stat st;
    if (fstat(static_cast<int>(file), &st) == 0) return static_cast<int64_t>(st.st_size);
    failed();
    return -1;
}

int output_last_byte(OutputFile file) {
    const int64_t length = output_length(file);
    unsigned char byte = 0;
    if (length <= 0 || pread(static_cast<int>(file), &byte, 1, length - 1) != 1) return -1;
    return byte;
}

bool output_cut(OutputFile file, int64_t length) {
    return ftruncate(static_cast<int>(file), static_cast<off_t>(length)) == 0 || failed();
}

bool output_sync(OutputFile file) {
    return fsync(static_cast<int>(file)) == 0 || failed();
}

bool path_sync_folder(const char* path) {
    std::string folder = path;
    const size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return failed();
    const bool synced = fsync(fd) == 0 || failed();
    close(fd);
    return synced;
}

int64_t path_free_bytes(const char* path) {
    struct statvfs st;
    if (statvfs(path, &st) != 0) return -1;
    return static_cast<int64_t>(st.f_bavail) * static_cast<int64_t>(st.f_frsize);
}

bool path_exists(const char* path) {
    struct stat st;
    return stat(path, &st) == 0;
}

void output_close(OutputFile file) {
    if (file != kNoOutputFile) close(static_cast<int>(file));
}

int64_t file_length(FILE* file) {
    int64_t length = -1;
    if (fseeko(file, 0, SEEK_END) == 0) length = ftello(file);
    std::clearerr(file);
    fseeko(file, 0, SEEK_SET);
    return length;
}
