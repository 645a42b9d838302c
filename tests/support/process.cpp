#include "tests/support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

extern char** environ;

ExecCall::ExecCall(const std::vector<std::string>& argv,
                   const std::vector<std::string>& environment) {
    strings_ = argv;
    for (char** e = environ; *e != nullptr; ++e) {
        const char* eq = std::strchr(*e, '=');
        const size_t name = eq != nullptr ? static_cast<size_t>(eq - *e) + 1 : std::strlen(*e);
        bool replaced = false;
        for (const auto& entry : environment)
            replaced = replaced || entry.compare(0, name, *e, name) == 0;
        if (!replaced) strings_.emplace_back(*e);
    }
    strings_.insert(strings_.end(), environment.begin(), environment.end());
    for (size_t i = 0; i < strings_.size(); ++i)
        (i < argv.size() ? argv_ : envp_).push_back(strings_[i].data());
    argv_.push_back(nullptr);
    envp_.push_back(nullptr);
}

void ExecCall::exec() const {
    // The test process ignores SIGPIPE for its own pipes; exec would hand
    // that on to every program a test starts.
    signal(SIGPIPE, SIG_DFL);
    execve(argv_[0], argv_.data(), envp_.data());
    _exit(127);
}

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
    ProcessResult result;
    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return result;

    const ExecCall call(argv, options.environment);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(options.separateErrors ? err[1] : out[1], 2);
        close(in[0]);
        close(in[1]);
        close(out[0]);
        close(out[1]);
        close(err[0]);
        close(err[1]);
        if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0)
            _exit(126);
        call.exec();
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    fcntl(err[0], F_SETFL, O_NONBLOCK);
    // Standard error is read alongside, so that a full pipe never stalls the program.
    auto readErrors = [&] {
        char buf[4096];
        ssize_t got;
        while ((got = read(err[0], buf, sizeof buf)) > 0)
            result.errors.append(buf, static_cast<size_t>(got));
    };
    signal(SIGPIPE, SIG_IGN);
    size_t written = 0;
    if (options.input.empty() && options.closeInput) {
        close(in[1]);
        in[1] = -1;
    } else {
        fcntl(in[1], F_SETFL, O_NONBLOCK);
    }

    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(static_cast<long>(options.timeoutSeconds * 1000));
    for (;;) {
        pollfd fds[2] = {{out[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
        bool writing = in[1] >= 0 && written < options.input.size();
        int n = poll(fds, writing ? 2 : 1, 50);
        readErrors();
        if (n > 0 && (fds[0].revents & (POLLIN | POLLHUP))) {
            char buf[4096];
            ssize_t got = read(out[0], buf, sizeof buf);
            if (got <= 0) break;
            result.output.append(buf, static_cast<size_t>(got));
        }
        if (writing && n > 0 && (fds[1].revents & (POLLOUT | POLLERR))) {
            ssize_t w =
                write(in[1], options.input.data() + written, options.input.size() - written);
            if (w > 0) written += static_cast<size_t>(w);
            if (w < 0 || written == options.input.size()) {
                if (options.closeInput) {
                    close(in[1]);
                    in[1] = -1;
                }
            }
        }
        if (std::chrono::steady_clock::now() > deadline) {
            result.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
    }
    close(out[0]);
    if (in[1] >= 0) close(in[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    readErrors();
    close(err[0]);
    if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}
