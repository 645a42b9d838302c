// Workers on POSIX: fork and exec, a pipe for the events (the worker's
// descriptor 3, /dev/fd/3), poll for the wait.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <new>
#include <thread>

#include "platform/process.h"
#include "platform/sockets_native.h"

struct Worker {
    int events[2] = {-1, -1};  // the pipe: read end ours, write end the worker's
    pid_t pid = -1;
};

namespace {

constexpr int kEventsFd = 3;

int stop_pipe[2] = {-1, -1};
std::atomic<int> stop_signal{0};  // the first signal not yet taken
static_assert(std::atomic<int>::is_always_lock_free, "touched by a signal handler");

void on_stop(int sig) {
    int none = 0;
    stop_signal.compare_exchange_strong(none, sig);
    const char byte = 1;
    [[maybe_unused]] ssize_t n = write(stop_pipe[1], &byte, 1);
}

// In the child between fork and exec: async-signal-safe calls only.
void close_from(int first) {
#if defined(SYS_close_range)
    if (syscall(SYS_close_range, first, ~0U, 0) == 0) return;
#endif
    for (int fd = first; fd < 65536; ++fd)
        close(fd);
}

[[noreturn]] void become_worker(const char* program, char* const* argv, char* const* envp,
                                int events, int log) {
    // Its own process group: the terminal's Ctrl-C reaches the supervisor
    // alone, which passes the stop on.
    setpgid(0, 0);
    // What the supervisor ignored or blocked (nohup, a script's &) is not
    // the worker's: Ctrl-C passed on must reach its way out.
    struct sigaction initial {};
    initial.sa_handler = SIG_DFL;
    sigemptyset(&initial.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig)
        sigaction(sig, &initial, nullptr);
    signal(SIGPIPE, SIG_IGN);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // Out of the way of 0-3 first: the supervisor's own may be closed.
    const int channel = fcntl(events, F_DUPFD, 10);
    const int output = fcntl(log >= 0 ? log : open("/dev/null", O_WRONLY), F_DUPFD, 10);
    const int input = open("/dev/null", O_RDONLY);
    if (channel < 0 || output < 0 || input < 0) _exit(127);
    dup2(input, 0);
    dup2(output, 1);
    dup2(output, 2);
    dup2(channel, kEventsFd);
    close_from(kEventsFd + 1);
    execve(program, argv, envp);
    _exit(127);
}

bool start(Worker* worker, const std::string& program, const std::vector<std::string>& args,
           const std::vector<std::string>& environment, OutputFile log, std::string* error) {
    // Everything the child needs is made here: it may not allocate.
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const char* equals = std::strchr(*entry, '=');
        const size_t name = equals != nullptr ? static_cast<size_t>(equals - *entry) + 1 : 0;
        bool replaced = false;
        for (const std::string& added : environment)
            replaced = replaced || (name > 0 && added.compare(0, name, *entry, name) == 0);
        if (!replaced) envp.push_back(*entry);
    }
    for (const std::string& added : environment)
        envp.push_back(const_cast<char*>(added.c_str()));
    envp.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0)
        become_worker(program.c_str(), argv.data(), envp.data(), worker->events[1],
                      static_cast<int>(log));
    const int saved = errno;
    close(worker->events[1]);
    worker->events[1] = -1;
    if (pid < 0) {
        *error = std::strerror(saved);
        return false;
    }
    worker->pid = pid;
    return true;
}

}  // namespace

Worker* worker_create(std::string* eventsPath) {
    Worker* worker = new (std::nothrow) Worker;
    if (worker == nullptr) return nullptr;
    if (pipe2(worker->events, O_CLOEXEC) != 0) {
        delete worker;
        return nullptr;
    }
    fcntl(worker->events[0], F_SETFL, O_NONBLOCK);
    *eventsPath = "/dev/fd/" + std::to_string(kEventsFd);
    return worker;
}

bool worker_start(Worker* worker, const std::string& program, const std::vector<std::string>& args,
                  OutputFile log, std::string* error) {
    return start(worker, program, args, {}, log, error);
}

bool worker_start_shell(Worker* worker, const std::string& command,
                        const std::vector<std::string>& environment, OutputFile log,
                        std::string* error) {
    return start(worker, "/bin/sh", {"sh", "-c", command}, environment, log, error);
}

long worker_read(Worker* worker, char* buffer, size_t size) {
    for (;;) {
        const ssize_t n = read(worker->events[0], buffer, size);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        return errno == EAGAIN ? -1 : 0;
    }
}

void worker_stop(Worker* worker, bool interrupt) {
    if (worker->pid > 0) kill(worker->pid, interrupt ? SIGINT : SIGTERM);
}

void worker_kill(Worker* worker) {
    if (worker->pid > 0) kill(worker->pid, SIGKILL);
}

bool worker_reap(Worker* worker, int* status, int* signal, uint32_t waitMs) {
    *status = -1;
    *signal = 0;
    if (worker->pid <= 0) return true;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        int how = 0;
        const pid_t done = waitpid(worker->pid, &how, WNOHANG);
        if (done == worker->pid) {
            worker->pid = -1;
            if (WIFEXITED(how)) *status = WEXITSTATUS(how);
            if (WIFSIGNALED(how)) *signal = WTERMSIG(how);
            return true;
        }
        if (done < 0 && errno != EINTR) {
            worker->pid = -1;
            return true;
        }
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void worker_free(Worker* worker) {
    for (int fd : worker->events)
        if (fd >= 0) close(fd);
    delete worker;
}

std::string program_path(const char* argv0) {
#if defined(__linux__)
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n > 0) return std::string(path, static_cast<size_t>(n));
#endif
    return argv0;
}

std::string program_self(const char* argv0) {
#if defined(__linux__)
    // The running program's own file, even when its name now holds another.
    if (access("/proc/self/exe", X_OK) == 0) return "/proc/self/exe";
#endif
    return program_path(argv0);
}

std::string host_name() {
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) != 0) return "";
    name[sizeof name - 1] = '\0';
    return name;
}

uint32_t process_id() {
    return static_cast<uint32_t>(getpid());
}

void stop_requests_catch() {
    if (stop_pipe[0] < 0 && pipe2(stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction now {};
        if (sigaction(sig, nullptr, &now) != 0 || now.sa_handler == SIG_IGN) continue;
        struct sigaction caught {};
        caught.sa_handler = on_stop;
        sigemptyset(&caught.sa_mask);
        caught.sa_flags = SA_RESTART;
        sigaction(sig, &caught, nullptr);
    }
}

StopRequest stop_request_take() {
    switch (stop_signal.exchange(0)) {
        case SIGINT:
            return StopInterrupt;
        case SIGTERM:
            return StopTerminate;
        case SIGHUP:
            return StopHangUp;
        default:
            return StopNone;
    }
}

void stop_requests_done() {}

void wait_for_workers(Worker* const* workers, size_t count, bool keys, const SocketWatch* sockets,
                      size_t socketCount, uint32_t timeoutMs) {
    std::vector<pollfd> fds;
    for (size_t i = 0; i < count; ++i)
        if (workers[i] != nullptr) fds.push_back({workers[i]->events[0], POLLIN, 0});
    for (size_t i = 0; i < socketCount; ++i) {
        const short events =
            static_cast<short>((sockets[i].read ? POLLIN : 0) | (sockets[i].write ? POLLOUT : 0));
        fds.push_back({sockets[i].socket->fd, events, 0});
    }
    if (stop_pipe[0] >= 0) fds.push_back({stop_pipe[0], POLLIN, 0});
    if (keys && isatty(STDIN_FILENO)) fds.push_back({STDIN_FILENO, POLLIN, 0});
    if (stop_signal != 0) return;
    poll(fds.data(), fds.size(), static_cast<int>(timeoutMs));
    char drain[16];
    while (stop_pipe[0] >= 0 && read(stop_pipe[0], drain, sizeof drain) > 0) {
    }
}
