// Windows side of the clock, the idle hook, the console and the files.
#include <conio.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/files.h"
#include "platform/keyboard.h"
#include "platform/process.h"
#include "platform/terminal.h"
#include "serial/port.h"

namespace {

// Shared by key_pressed and read_key: a key the console reported with a
// repeat count comes back that many times.
int32_t last_key = 0;
int32_t pending_repeats = 0;

bool input_is_console() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

// Whether standard input is a console, asked once: it does not change.
bool console_input() {
    static const bool console = input_is_console();
    return console;
}

// False only when the last idle wait saw the console input without any
// record: key_pressed then needs no look of its own.
bool console_may_have_input = true;

}  // namespace

uint32_t platform_tick_ms() {
    return GetTickCount();
}

uint64_t platform_micros() {
    static LARGE_INTEGER frequency{};
    if (frequency.QuadPart == 0) QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const auto ticks = static_cast<uint64_t>(now.QuadPart);
    const auto per_second = static_cast<uint64_t>(frequency.QuadPart);
    return ticks / per_second * 1000000U + ticks % per_second * 1000000U / per_second;
}

int32_t pump_messages(SerialPort* port) {
    // Sleeps for at most the allowance on the port's events, the console
    // input (when a key is looked for) and the message queue: what the pass
    // waits for wakes it at once, and no core is held.
    const IdlePass pass = idle_take();
    DWORD ms = pass.ms;
    HANDLE events[3];
    uint32_t count = 0;
    bool short_wait = false;
    const int32_t ready = win32_port_idle_events(port, pass.input, events, &count, &short_wait);
    if (ready != 0) return ready < 0 ? ready : 0;
    // A byte that no armed read watches for is only seen on the next pass.
    if (short_wait) ms = 1;
    DWORD console = MAXDWORD;
    if (pass.keys && console_input()) {
        // A record that is no key press would keep the handle signalled.
        if (key_pressed()) return 0;
        console = count;
        events[count++] = GetStdHandle(STD_INPUT_HANDLE);
    }
    const DWORD woke =
        MsgWaitForMultipleObjects(count, count > 0 ? events : nullptr, FALSE, ms, QS_ALLINPUT);
    // A wake by an earlier handle may hide the console's: only a time-out
    // says for sure that no key came.
    if (console != MAXDWORD) console_may_have_input = woke != WAIT_TIMEOUT;
    if (woke == WAIT_OBJECT_0 + count) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    return win32_port_idle_done(port);
}

// Whether a key-down record is a key press that a key read returns: a
// character or a key with an extended code, not a modifier on its own.
bool is_key_press(const INPUT_RECORD& record) {
    if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) return false;
    const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
    return key.uChar.AsciiChar != 0 ||
           translate_key(key.dwControlKeyState, key.wVirtualKeyCode, 0) > 0;
}

void console_input_watched(bool woke) {
    console_may_have_input = woke;
}

int key_pressed() {
    if (pending_repeats > 0) return 1;
    if (!console_input() || !console_may_have_input) return 0;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    for (;;) {
        if (pending_repeats > 0) return 1;
        INPUT_RECORD record;
        DWORD got = 0;
        if (!PeekConsoleInputA(input, &record, 1, &got) || got == 0) {
            console_may_have_input = false;
            return 0;
        }
        if (is_key_press(record)) return 1;
        if (!ReadConsoleInputA(input, &record, 1, &got) || got == 0) return 0;
    }
}

int read_char() {
    // The run-time library's console character read, when there is a console.
    if (console_input()) {
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

namespace {

const char* volatile signal_note = nullptr;

// Ctrl-C, Ctrl-Break or a closed console window: the note, then the end. The
// system closes the port with the process.
BOOL WINAPI on_console_event(DWORD event) {
    const char* note = signal_note;
    if (note != nullptr) {
        DWORD written = 0;
        if (terminal_output_line_is_open())
            WriteFile(GetStdHandle(STD_ERROR_HANDLE), "\r\n", 2, &written, nullptr);
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), note, static_cast<DWORD>(std::strlen(note)),
                  &written, nullptr);
    }
    static char line[4096];
    intptr_t file = -1;
    const bool interrupt = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
    const size_t length = terminal_signal_event_line(interrupt, line, sizeof line, &file);
    if (length > 0 && file != -1) {
        DWORD written = 0;
        WriteFile(reinterpret_cast<HANDLE>(file), line, static_cast<DWORD>(length), &written,
                  nullptr);
    }
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) _exit(kExitInterrupted);
    return FALSE;
}

// A station's worker: its supervisor's stop request, in a thread of its own
// as the system delivers Ctrl-Break.
DWORD WINAPI watch_stop_event(void* event) {
    if (WaitForSingleObject(event, INFINITE) == WAIT_OBJECT_0) on_console_event(CTRL_BREAK_EVENT);
    return 0;
}

}  // namespace

void terminal_init() {
    static bool initialised = false;
    if (initialised) return;
    initialised = true;
    setvbuf(stdout, nullptr, _IONBF, 0);
    SetConsoleCtrlHandler(on_console_event, TRUE);
    char name[96];
    const DWORD n = GetEnvironmentVariableA(kStopEventVariable, name, sizeof name);
    if (n == 0 || n >= sizeof name) return;
    SetEnvironmentVariableA(kStopEventVariable, nullptr);
    HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, name);
    if (event == nullptr) return;
    HANDLE thread = CreateThread(nullptr, 0, watch_stop_event, event, 0, nullptr);
    if (thread != nullptr) CloseHandle(thread);
}

void terminal_keep_running() {
    // A write to a closed pipe fails here; no signal ends the process.
}

bool terminal_in_foreground() {
    return true;
}

bool terminal_size(int* columns, int* rows) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return false;
    *columns = info.srWindow.Right - info.srWindow.Left + 1;
    *rows = info.srWindow.Bottom - info.srWindow.Top + 1;
    return *columns > 0 && *rows > 0;
}

bool terminal_output_is_console() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

bool terminal_escapes() {
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return GetConsoleMode(output, &mode) &&
           SetConsoleMode(output, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

void terminal_set_signal_note(const char* text) {
    signal_note = text;
}

const char* platform_build_description() {
#if defined(__x86_64__) || defined(_M_X64)
#define DOWNLOAD_CPU "x86_64"
#else
#define DOWNLOAD_CPU "x86"
#endif
#if defined(__clang__)
    return "Windows " DOWNLOAD_CPU ", clang " __clang_version__;
#elif defined(__GNUC__)
    return "Windows " DOWNLOAD_CPU ", GCC " __VERSION__ " (mingw-w64)";
#else
    return "Windows " DOWNLOAD_CPU;
#endif
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
    if (console_input()) FlushConsoleInputBuffer(GetStdHandle(STD_INPUT_HANDLE));
    pending_repeats = 0;
}

void terminal_put_char_direct(char ch) {
    // The console itself, found once; without one the marks are for nobody.
    static const HANDLE console =
        CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD mode = 0;
    static const bool usable = console != INVALID_HANDLE_VALUE && GetConsoleMode(console, &mode);
    if (!usable) return;
    DWORD written = 0;
    WriteConsoleA(console, &ch, 1, &written, nullptr);
}

bool path_is_absolute(const char* path) {
    const bool slash0 = path[0] == '\\' || path[0] == '/';
    const bool drive = ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
                       path[1] == ':' && (path[2] == '\\' || path[2] == '/');
    return drive || (slash0 && (path[1] == '\\' || path[1] == '/'));
}

namespace {

// A file's identity: its volume and its index there (0, 0 when unknown).
struct FileId {
    DWORD volume;
    uint64_t index;
};

FileId id_of(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info;
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info)) return {0, 0};
    return {info.dwVolumeSerialNumber, uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow};
}

FileId id_of(const char* path) {
    // A device (\\.\pipe\NAME, \\.\COM12) is opened by nobody here: opening a
    // pipe connects to it and takes it from its real client.
    if (std::strncmp(path, "\\\\.\\", 4) == 0) return {0, 0};
    HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const FileId id = id_of(handle);
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    return id;
}

bool same_id(FileId a, FileId b) {
    return a.index != 0 && a.volume == b.volume && a.index == b.index;
}

}  // namespace

bool terminal_streams_same() {
    DWORD mode = 0;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    if (GetConsoleMode(out, &mode) && GetConsoleMode(err, &mode)) return true;
    return same_id(id_of(out), id_of(err));
}

bool file_same(const char* path, const char* other) {
    return same_id(id_of(path), id_of(other));
}

bool file_same_open(const char* path, FILE* file) {
    if (file == nullptr) return false;
    return same_id(id_of(path), id_of(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)))));
}

namespace {

char output_failed[160] = "";

// The system's reason, kept for output_failure; false for the caller to return.
bool failed() {
    const DWORD error = GetLastError();
    output_failed[0] = '\0';
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                   output_failed, sizeof output_failed, nullptr);
    size_t n = std::strlen(output_failed);
    while (n > 0 && (output_failed[n - 1] == '\n' || output_failed[n - 1] == '\r' ||
                     output_failed[n - 1] == '.'))
        output_failed[--n] = '\0';
    return false;
}

HANDLE handle_of(OutputFile file) {
    return reinterpret_cast<HANDLE>(file);
}

OutputFile opened(HANDLE handle) {
    if (handle == INVALID_HANDLE_VALUE) failed();
    return handle == INVALID_HANDLE_VALUE ? kNoOutputFile : reinterpret_cast<OutputFile>(handle);
}

bool to_end(HANDLE handle) {
    LARGE_INTEGER zero{};
    return SetFilePointerEx(handle, zero, nullptr, FILE_END) != 0;
}

}  // namespace

const char* output_failure() {
    return output_failed;
}

OutputFile output_open(const char* path) {
    // A named pipe exists already (its reader made it); a file is made anew.
    const bool pipe = _strnicmp(path, "\\\\.\\pipe\\", 9) == 0;
    return opened(CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              pipe ? OPEN_EXISTING : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr));
}

bool output_write(OutputFile file, const char* data, size_t length) {
    while (length > 0) {
        DWORD written = 0;
        const DWORD piece = length > 0x10000000 ? 0x10000000 : static_cast<DWORD>(length);
        if (!WriteFile(handle_of(file), data, piece, &written, nullptr)) return failed();
        if (written == 0) {
            SetLastError(ERROR_DISK_FULL);
            return failed();
        }
        data += written;
        length -= written;
    }
    return true;
}

OutputFile output_open_append(const char* path) {
    return opened(CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
}

OutputFile output_open_records(const char* path, bool* created) {
    // Read and write (a cut needs both), every write at the end: the file
    // pointer stays there, as this process is its only writer.
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    *created = handle != INVALID_HANDLE_VALUE && GetLastError() != ERROR_ALREADY_EXISTS;
    if (handle != INVALID_HANDLE_VALUE && !to_end(handle)) {
        failed();
        CloseHandle(handle);
        return kNoOutputFile;
    }
    return opened(handle);
}

OutputFile output_create_new(const char* path, bool* exists) {
    HANDLE handle = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    *exists = handle == INVALID_HANDLE_VALUE &&
              (GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS);
    return opened(handle);
}

bool output_is_regular(OutputFile file) {
    return GetFileType(handle_of(file)) == FILE_TYPE_DISK;
}

int64_t output_length(OutputFile file) {
    LARGE_INTEGER size{};
    if (GetFileSizeEx(handle_of(file), &size)) return size.QuadPart;
    failed();
    return -1;
}

int output_last_byte(OutputFile file) {
    const int64_t length = output_length(file);
    if (length <= 0) return -1;
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(static_cast<uint64_t>(length - 1) & 0xFFFFFFFFU);
    at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(length - 1) >> 32);
    unsigned char byte = 0;
    DWORD got = 0;
    const bool read = ReadFile(handle_of(file), &byte, 1, &got, &at) && got == 1;
    to_end(handle_of(file));
    return read ? byte : -1;
}

bool output_cut(OutputFile file, int64_t length) {
    LARGE_INTEGER at{};
    at.QuadPart = length;
    return (SetFilePointerEx(handle_of(file), at, nullptr, FILE_BEGIN) &&
            SetEndOfFile(handle_of(file))) ||
           failed();
}

bool output_sync(OutputFile file) {
    return FlushFileBuffers(handle_of(file)) != 0 || failed();
}

void output_close(OutputFile file) {
    if (file != kNoOutputFile) CloseHandle(handle_of(file));
}

bool path_sync_folder(const char*) {
    // NTFS keeps a new file's name in its own journal.
    return true;
}

int64_t path_free_bytes(const char* path) {
    std::string folder = path;
    const size_t slash = folder.find_last_of("\\/");
    folder = slash == std::string::npos ? "." : folder.substr(0, slash + 1);
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExA(folder.c_str(), &available, nullptr, nullptr)) return -1;
    return available.QuadPart > INT64_MAX ? INT64_MAX : static_cast<int64_t>(available.QuadPart);
}

bool path_exists(const char* path) {
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

int64_t file_length(FILE* file) {
    int64_t length = -1;
    if (_fseeki64(file, 0, SEEK_END) == 0) length = _ftelli64(file);
    std::clearerr(file);
    _fseeki64(file, 0, SEEK_SET);
    return length;
}
