// Workers on Windows: CreateProcess in a process group of its own, a named
// pipe for the events read with overlapped reads, one wait on all of their
// events, the console and the stop request.
// clang-format off
#include <winsock2.h>  // before windows.h
#include <windows.h>
// clang-format on

#include <atomic>
#include <new>
#include <vector>

#include "platform/keyboard.h"
#include "platform/process.h"
#include "platform/sockets_native.h"

struct Worker {
    std::string name;  // \\.\pipe\...
    std::string stopName;
    HANDLE stop = nullptr;  // set: the worker stops as on Ctrl-Break
    HANDLE pipe = INVALID_HANDLE_VALUE;
    OVERLAPPED ov{};
    bool connected = false;
    bool ended = false;
    bool pending = false;  // a connect or a read is in the system's hands
    char buffer[4096];
    PROCESS_INFORMATION process{};
};

namespace {

HANDLE stop_event = nullptr;
HANDLE stop_done = nullptr;
std::atomic<int32_t> stop_request{StopNone};  // the first request not yet taken

// The system ends the process once a close, logoff or shutdown handler
// returns (or after about 5 s): the handler waits for the records first.
constexpr DWORD kCloseGraceMs = 4500;

BOOL WINAPI on_stop(DWORD event) {
    const bool close =
        event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
    if (!close && event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    int32_t none = StopNone;
    stop_request.compare_exchange_strong(none, close ? StopClose : StopInterrupt);
    if (stop_event != nullptr) SetEvent(stop_event);
    if (close && stop_done != nullptr) WaitForSingleObject(stop_done, kCloseGraceMs);
    return TRUE;
}

// One argument as the C run-time of the worker splits its command line.
std::string quoted(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string text = "\"";
    size_t slashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++slashes;
            continue;
        }
        text.append(c == '"' ? slashes * 2 + 1 : slashes, '\\');
        slashes = 0;
        text += c;
    }
    text.append(slashes * 2, '\\');
    return text + "\"";
}

// Starts the next read; false when the worker has closed its end.
bool start_read(Worker* w) {
    ResetEvent(w->ov.hEvent);
    w->pending = ReadFile(w->pipe, w->buffer, sizeof w->buffer, nullptr, &w->ov) ||
                 GetLastError() == ERROR_IO_PENDING;
    return w->pending;
}

bool process_ended(const Worker* w) {
    return w->process.hProcess == nullptr ||
           WaitForSingleObject(w->process.hProcess, 0) == WAIT_OBJECT_0;
}

}  // namespace

Worker* worker_create(std::string* eventsPath) {
    static LONG counter = 0;
    Worker* w = new (std::nothrow) Worker;
    if (w == nullptr) return nullptr;
    const LONG number = InterlockedIncrement(&counter);
    char name[96];
    wsprintfA(name, "Local\\download-stop-%lu-%ld", GetCurrentProcessId(), number);
    w->stopName = name;
    w->stop = CreateEventA(nullptr, TRUE, FALSE, name);
    wsprintfA(name, "\\\\.\\pipe\\download-%lu-%ld", GetCurrentProcessId(), number);
    w->name = name;
    w->ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    w->pipe = CreateNamedPipeA(
        name, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 0, 65536, 0, nullptr);
    if (w->stop == nullptr || w->ov.hEvent == nullptr || w->pipe == INVALID_HANDLE_VALUE) {
        worker_free(w);
        return nullptr;
    }
    if (!ConnectNamedPipe(w->pipe, &w->ov)) {
        const DWORD error = GetLastError();
        if (error == ERROR_PIPE_CONNECTED) {
            SetEvent(w->ov.hEvent);
        } else if (error != ERROR_IO_PENDING) {
            worker_free(w);
            return nullptr;
        }
        w->pending = error == ERROR_IO_PENDING;
    }
    *eventsPath = name;
    return w;
}

namespace {

// A variable of this process set for a child to inherit, and put back after.
struct Variable {
    std::string name;
    std::string before;
    bool was = false;
};

std::vector<Variable> setVariables(const std::vector<std::string>& entries) {
    std::vector<Variable> saved;
    for (const std::string& entry : entries) {
        const size_t equals = entry.find('=');
        if (equals == std::string::npos || equals == 0) continue;
        Variable v;
        v.name = entry.substr(0, equals);
        char value[32768];
        const DWORD n = GetEnvironmentVariableA(v.name.c_str(), value, sizeof value);
        v.was = n > 0 && n < sizeof value;
        if (v.was) v.before.assign(value, n);
        SetEnvironmentVariableA(v.name.c_str(), entry.c_str() + equals + 1);
        saved.push_back(v);
    }
    return saved;
}

void restoreVariables(const std::vector<Variable>& saved) {
    for (const Variable& v : saved)
        SetEnvironmentVariableA(v.name.c_str(), v.was ? v.before.c_str() : nullptr);
}

bool start(Worker* w, const std::string& program, std::string command,
           const std::vector<std::string>& environment, OutputFile logFile, std::string* error) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE log = logFile != kNoOutputFile
                     ? reinterpret_cast<HANDLE>(logFile)
                     : CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inherit, OPEN_EXISTING, 0, nullptr);
    HANDLE input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, 0, nullptr);
    const bool ours = logFile == kNoOutputFile;
    if (log == INVALID_HANDLE_VALUE || input == INVALID_HANDLE_VALUE ||
        !SetHandleInformation(log, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
        *error = "NUL: cannot be opened";
        if (ours && log != INVALID_HANDLE_VALUE) CloseHandle(log);
        if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
        return false;
    }
    // Only these two handles reach the worker, whatever else is inheritable
    // here (its events and its stop event it opens by name).
    HANDLE handles[2] = {input, log};
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> attributes(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
    const bool listed = InitializeProcThreadAttributeList(list, 1, 0, &size) &&
                        UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                                  handles, sizeof handles, nullptr, nullptr);
    STARTUPINFOEXA startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input;
    startup.StartupInfo.hStdOutput = log;
    startup.StartupInfo.hStdError = log;
    startup.lpAttributeList = listed ? list : nullptr;
    // The worker finds its stop event by name in its environment.
    SetEnvironmentVariableA(kStopEventVariable, w->stopName.c_str());
    const std::vector<Variable> saved = setVariables(environment);
    const BOOL ok =
        listed && CreateProcessA(program.c_str(), command.data(), nullptr, nullptr, TRUE,
                                 CREATE_NEW_PROCESS_GROUP | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                                 nullptr, &startup.StartupInfo, &w->process);
    const DWORD failure = GetLastError();
    SetEnvironmentVariableA(kStopEventVariable, nullptr);
    restoreVariables(saved);
    if (listed) DeleteProcThreadAttributeList(list);
    if (ours)
        CloseHandle(log);
    else
        SetHandleInformation(log, HANDLE_FLAG_INHERIT, 0);
    CloseHandle(input);
    if (!ok) {
        w->process = PROCESS_INFORMATION{};
        char text[160] = "";
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, failure,
                       0, text, sizeof text, nullptr);
        *error = text;
        return false;
    }
    CloseHandle(w->process.hThread);
    w->process.hThread = nullptr;
    return true;
}

}  // namespace

bool worker_start(Worker* w, const std::string& program, const std::vector<std::string>& args,
                  OutputFile log, std::string* error) {
    std::string command;
    for (const std::string& arg : args) {
        if (!command.empty()) command += ' ';
        command += quoted(arg);
    }
    return start(w, program, command, {}, log, error);
}

bool worker_start_shell(Worker* w, const std::string& command,
                        const std::vector<std::string>& environment, OutputFile log,
                        std::string* error) {
    char shell[MAX_PATH] = "";
    const DWORD n = GetEnvironmentVariableA("ComSpec", shell, sizeof shell);
    const std::string program =
        n > 0 && n < sizeof shell ? shell : "C:\\Windows\\System32\\cmd.exe";
    // /s: cmd takes what stands between the outer quotes as it is.
    return start(w, program, "cmd /s /c \"" + command + "\"", environment, log, error);
}

long worker_read(Worker* w, char* buffer, size_t size) {
    if (w->ended) return 0;
    DWORD got = 0;
    if (!w->connected) {
        if (!HasOverlappedIoCompleted(&w->ov) &&
            WaitForSingleObject(w->ov.hEvent, 0) != WAIT_OBJECT_0) {
            // A worker that ends before it opens its events never connects.
            if (!process_ended(w)) return -1;
            w->ended = true;
            return 0;
        }
        w->connected = true;
        w->pending = false;
        if (!start_read(w)) w->ended = true;
        return w->ended ? 0 : -1;
    }
    if (!GetOverlappedResult(w->pipe, &w->ov, &got, FALSE)) {
        if (GetLastError() == ERROR_IO_INCOMPLETE) return -1;
        w->pending = false;
        w->ended = true;  // a broken pipe: the worker has ended
        return 0;
    }
    w->pending = false;
    const DWORD n = got < size ? got : static_cast<DWORD>(size);
    CopyMemory(buffer, w->buffer, n);
    if (!start_read(w)) {
        w->ended = true;
        if (n == 0) return 0;
    }
    return n > 0 ? static_cast<long>(n) : -1;
}

void worker_stop(Worker* w, bool) {
    // Not Ctrl-Break to its process group: that needs a console the station
    // may not have, and Wine never delivers it. The worker's way out takes the
    // event as Ctrl-Break.
    if (w->process.hProcess != nullptr) SetEvent(w->stop);
}

void worker_kill(Worker* w) {
    if (w->process.hProcess != nullptr) TerminateProcess(w->process.hProcess, 1);
}

bool worker_reap(Worker* w, int* status, int* signal, uint32_t waitMs) {
    *status = -1;
    *signal = 0;
    if (w->process.hProcess == nullptr) return true;
    if (WaitForSingleObject(w->process.hProcess, waitMs) != WAIT_OBJECT_0) return false;
    DWORD code = 0;
    if (GetExitCodeProcess(w->process.hProcess, &code)) *status = static_cast<int>(code);
    CloseHandle(w->process.hProcess);
    w->process = PROCESS_INFORMATION{};
    return true;
}

void worker_free(Worker* w) {
    if (w->pipe != INVALID_HANDLE_VALUE) {
        if (w->pending) {
            CancelIo(w->pipe);
            DWORD got = 0;
            // Nothing completes into freed memory (bounded: a cancel ends at once).
            if (WaitForSingleObject(w->ov.hEvent, 1000) == WAIT_OBJECT_0)
                GetOverlappedResult(w->pipe, &w->ov, &got, FALSE);
        }
        CloseHandle(w->pipe);
    }
    if (w->ov.hEvent != nullptr) CloseHandle(w->ov.hEvent);
    if (w->stop != nullptr) CloseHandle(w->stop);
    if (w->process.hProcess != nullptr) CloseHandle(w->process.hProcess);
    delete w;
}

std::string program_path(const char* argv0) {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    return n > 0 && n < sizeof path ? std::string(path, n) : std::string(argv0);
}

std::string program_self(const char* argv0) {
    // A running program's file cannot be replaced here, only renamed.
    return program_path(argv0);
}

std::string host_name() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = "";
    DWORD size = sizeof name;
    return GetComputerNameA(name, &size) ? std::string(name, size) : std::string();
}

uint32_t process_id() {
    return GetCurrentProcessId();
}

void stop_requests_catch() {
    if (stop_event == nullptr) stop_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (stop_done == nullptr) stop_done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(on_stop, TRUE);
}

StopRequest stop_request_take() {
    const auto request = static_cast<StopRequest>(stop_request.exchange(StopNone));
    if (stop_event != nullptr) ResetEvent(stop_event);
    // One that came between the two lines wakes the next wait.
    if (stop_request != StopNone && stop_event != nullptr) SetEvent(stop_event);
    return request;
}

void stop_requests_done() {
    if (stop_done != nullptr) SetEvent(stop_done);
}

void wait_for_workers(Worker* const* workers, size_t count, bool keys, const SocketWatch* sockets,
                      size_t socketCount, uint32_t timeoutMs) {
    // At most 32 workers, the stop, the console and 9 sockets: within the 64
    // handles one wait takes.
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    DWORD n = 0;
    for (size_t i = 0; i < count && n + 2 < MAXIMUM_WAIT_OBJECTS; ++i)
        if (workers[i] != nullptr && !workers[i]->ended) handles[n++] = workers[i]->ov.hEvent;
    const DWORD firstSocket = n;
    for (size_t i = 0; i < socketCount && n + 2 < MAXIMUM_WAIT_OBJECTS; ++i)
        handles[n++] = sockets[i].socket->event;
    const DWORD socketsEnd = n;
    if (stop_event != nullptr) handles[n++] = stop_event;
    bool console = false;
    if (keys) {
        DWORD mode = 0;
        HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
        if (GetConsoleMode(input, &mode)) {
            // A record that is no key press would keep the handle signalled.
            if (key_pressed()) return;
            handles[n++] = input;
            console = true;
        }
    }
    if (stop_request != StopNone) return;
    const DWORD woke = WaitForMultipleObjects(n, handles, FALSE, timeoutMs);
    // What woke it is forgotten (else the next wait returns at once): the
    // caller now reads and writes every socket until it would block.
    for (DWORD i = firstSocket; i < socketsEnd; ++i) {
        WSANETWORKEVENTS seen;
        WSAEnumNetworkEvents(sockets[i - firstSocket].socket->handle, handles[i], &seen);
    }
    // Else key_pressed, which last found the console empty, would not look again.
    if (console) console_input_watched(woke != WAIT_TIMEOUT);
}
