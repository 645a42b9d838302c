#pragma once

#include <string>
#include <vector>

struct ProcessResult {
    int exitStatus = -1;  // exit code, or -1 when killed by a signal or timed out
    int signal = 0;       // the terminating signal, if any
    bool timedOut = false;
    std::string output;  // standard output and standard error, interleaved
    std::string errors;  // standard error, when kept apart
};

struct ProcessOptions {
    std::string workingDirectory;  // empty: inherit
    std::string input;             // written to standard input, then closed
    bool closeInput = true;        // false: input stays open (no end of input)
    double timeoutSeconds = 60.0;
    std::vector<std::string> environment;  // extra NAME=VALUE entries
    bool separateErrors = false;           // standard error into errors, not output
};

// Runs a program with arguments (argv[0] is the program path), capturing its
// output through a pipe.
ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// A program's arguments and environment made ready before fork: a child of a
// threaded test may not allocate (another thread may hold the allocator's
// lock at the fork), so it only calls exec with these.
class ExecCall {
public:
    // environment: NAME=VALUE entries that replace or add to this process's.
    ExecCall(const std::vector<std::string>& argv,
             const std::vector<std::string>& environment = {});
    ExecCall(const ExecCall&) = delete;  // its pointers point into itself
    ExecCall& operator=(const ExecCall&) = delete;
    // Async-signal-safe: never returns; exit status 127 when exec fails.
    // The program starts with SIGPIPE's default action.
    [[noreturn]] void exec() const;

private:
    std::vector<std::string> strings_;
    std::vector<char*> argv_, envp_;
};
