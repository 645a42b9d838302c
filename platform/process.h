// The processes a supervisor starts, the channels their events come back on,
// and the one wait on all of them, the console and a stop request. Nothing
// here prints.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/sockets.h"

struct Worker;

// Windows: the environment variable that names a worker's stop event.
constexpr const char* kStopEventVariable = "DOWNLOAD_STOP_EVENT";

// A worker with its event channel, not started yet: *eventsPath is the name
// the worker writes its events to (--events=). Null when the system refused.
Worker* worker_create(std::string* eventsPath);
// Starts program (args[0] is the name it is shown by) in its own process
// group, with every signal's default action (a broken pipe aside: ignored,
// so that a worker outlives its supervisor) and none blocked, standard input
// empty, standard output and error into log (kNoOutputFile: nowhere), and no
// descriptor or handle of this process but its event channel. False with the
// system's reason in *error.
bool worker_start(Worker* worker, const std::string& program, const std::vector<std::string>& args,
                  OutputFile log, std::string* error);
// Starts command through the system's shell (sh -c; cmd /s /c on Windows) as
// worker_start starts a program, with NAME=VALUE entries added to its
// environment. Its channel closes when it has ended.
bool worker_start_shell(Worker* worker, const std::string& command,
                        const std::vector<std::string>& environment, OutputFile log,
                        std::string* error);
// What the channel holds now: > 0 bytes read, 0 when the worker has closed it
// (it has ended), -1 when nothing is there yet.
long worker_read(Worker* worker, char* buffer, size_t size);
// Asks the worker to stop through its own safe way out: as Ctrl-C does
// (interrupt: exit status 130) or as a termination request.
void worker_stop(Worker* worker, bool interrupt);
// Ends it at once.
void worker_kill(Worker* worker);
// After its channel closed: waits (boundedly) for the process and says how it
// ended: *status its exit status, or -1 when a signal ended it (*signal).
// False when it has not ended yet.
bool worker_reap(Worker* worker, int* status, int* signal, uint32_t waitMs);
// Frees what the supervisor holds of it; a process that has not ended is
// left to itself.
void worker_free(Worker* worker);

// The path of this program, for showing (argv[0] made absolute where known).
std::string program_path(const char* argv0);
// The path that starts this very program again, also when its file has
// been replaced meanwhile (an upgrade in the middle of a shift).
std::string program_self(const char* argv0);

// The machine's name and this process's id, for records.
std::string host_name();
uint32_t process_id();

// What asked the supervisor to stop.
enum StopRequest : int32_t {
    StopNone = 0,
    StopInterrupt,  // Ctrl-C
    StopTerminate,  // a termination request (SIGTERM)
    StopHangUp,     // the terminal went away (SIGHUP)
    StopClose,      // Windows: the console closed, a logoff or a shutdown
};

// The supervisor's stop requests: caught from now on instead of ending the
// process at once (a signal that was ignored when the process started
// stays ignored).
void stop_requests_catch();
// The request that came since the last call (the first of them), or
// StopNone.
StopRequest stop_request_take();
// Windows: a closed console lets the process end only after this (or after
// the few seconds the system gives): the records are written by then.
void stop_requests_done();

// Sleeps until a worker's channel has something (or has closed), a key is
// waiting on the console (when keys), a stop request has come that was not
// taken yet, a watched socket is ready, or timeoutMs.
void wait_for_workers(Worker* const* workers, size_t count, bool keys, const SocketWatch* sockets,
                      size_t socketCount, uint32_t timeoutMs);
