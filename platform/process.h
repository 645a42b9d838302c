// The processes a supervisor starts, the channels their events come back on,
// and the one wait on all of them, the console and a stop request. Nothing
// here prints.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct Worker;

// Windows: the environment variable that names a worker's stop event.
constexpr const char* kStopEventVariable = "DOWNLOAD_STOP_EVENT";

// A worker with its event channel, not started yet: *eventsPath is the name
// the worker writes its events to (--events=). Null when the system refused.
Worker* worker_create(std::string* eventsPath);
// Starts args[0] with args in its own process group, standard input empty,
// standard output and error into logPath (null: nowhere). False with the
// system's reason in *error.
bool worker_start(Worker* worker, const std::vector<std::string>& args, const char* logPath,
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
void worker_free(Worker* worker);

// The path of this program, for starting itself.
std::string program_path(const char* argv0);

// The supervisor's stop request (Ctrl-C, a termination request, a closed
// console): caught from now on instead of ending the process at once.
void stop_requests_catch();
bool stop_requested();

// Sleeps until a worker's channel has something (or has closed), a key is
// waiting on the console (when keys), a stop is requested, or timeoutMs.
void wait_for_workers(Worker* const* workers, size_t count, bool keys, uint32_t timeoutMs);
