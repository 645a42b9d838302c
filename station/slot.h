// One slot of the station as a state machine: its worker's event lines and
// the clock in; its state, its counts and its phone's record out. Pure: no
// process, no terminal, no file; the supervisor does what it asks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "station/phone.h"

// A worker's line longer than this is dropped (up to its line end).
constexpr size_t kMaxEventLine = 64 * 1024;

// How long a worker may say nothing in a stage before it counts as hung: the
// longest wait of the stage without an event (a phone that talks is heard at
// least once a second), with a margin; 0: no limit (the wait for a phone).
double silenceLimitSeconds(const std::string& stage);

// A worker asked to stop is ended after this long; one that a kill has not
// ended after kAbandonSeconds more is given up (its phone failed, the slot
// unusable), so that the station can always end.
constexpr double kStopGraceSeconds = 10;
constexpr double kAbandonSeconds = 5;

enum class SlotStop {
    None,
    Quiet,      // no new phone (q): only a slot that waits for one
    Pause,      // the slot paused: only while it waits for a phone
    Interrupt,  // the phone stops now (Ctrl-C, a termination request)
    Watchdog,   // the worker was silent too long
};

// What the supervisor must do for the slot's worker.
enum class SlotAction { None, Stop, Kill, Abandon };

// How a worker ended, as the system says.
struct WorkerExit {
    int status = -1;         // its exit status, -1 when a signal ended it
    int signal = 0;          // that signal
    bool abandoned = false;  // it could not be ended at all
};

struct Slot {
    std::string name;
    std::string device;
    // Over the station's run.
    int32_t verified = 0;
    int32_t failed = 0;
    int32_t interrupted = 0;
    int32_t workers = 0;                  // started on this slot: the last phone's number
    int32_t phones = 0;                   // that announced themselves
    std::vector<PhoneRecord> unfinished;  // failed and interrupted phones
    bool done = false;
    std::string unusable;      // why the slot takes no phone ("" when it does)
    std::string inputChanged;  // a worker found a file other than the one checked
    // A bad cable fails phone after phone: so many failures in a row (0:
    // never) and the slot takes no phone until it is released.
    int32_t quarantineAfter = 0;
    int32_t failuresInRow = 0;
    bool quarantined = false;
    // Its device has gone (an adapter pulled): it waits for it to come back.
    bool noAdapter = false;
    Json adapter;  // the USB adapter last seen there (null: none)
    // Told so by the control port: it takes no new phone until resumed.
    bool paused = false;
    // The label of its next phone, given before that phone came.
    std::string label;

    // The current worker and its phone.
    bool busy = false;
    PhoneRecord phone;
    std::string pending;    // a line not yet whole
    bool skipping = false;  // dropping the rest of an overlong line
    int64_t workerWallMs = 0;
    int64_t phoneStartMs = 0;  // steady clock
    int64_t lastWordMs = 0;
    std::string stage;
    std::string state = "waiting for a phone";
    int32_t image = -1;
    int64_t imageStartMs = 0;
    double fraction = -1;  // of the current image written; -1 when not writing
    bool ended = false;    // its end event came
    std::vector<std::string> notes;
    std::string answerEcho;  // the note that repeats an answer given by --answers
    SlotStop stop = SlotStop::None;
    std::string stopCause;  // what stopped it, for its record
    int64_t stopAskedMs = 0;
    int64_t killedMs = -1;

    // Changes of state not yet shown ("phone 3: loader"), and notes of the
    // station's own about this slot (a dropped line).
    std::vector<std::string> news;
};

// A new worker on the slot, for its next phone (number workers + 1).
void slotWorkerStarted(Slot& slot, const std::vector<ImageFacts>& images,
                       const std::string& logFile, int64_t nowMs, int64_t wallMs);
// A worker that could not be started: the slot takes no more phones.
void slotWorkerFailed(Slot& slot, const std::string& why);

// Bytes from the worker's channel: each whole line is one event.
void slotFeed(Slot& slot, const char* data, size_t size, int64_t nowMs);

// Ctrl-C or a termination request for the slot's worker (cause: "Ctrl-C",
// "SIGTERM", ...). False when it is not running or already stopping so.
bool slotInterrupt(Slot& slot, const std::string& cause, int64_t nowMs);

// The clock moved on: a stop to pass on (q for a slot without a phone), a
// silent worker, a stop that was not obeyed.
SlotAction slotTick(Slot& slot, int64_t nowMs, bool stationStopping);

// The worker has ended: its phone's record when it had one (true), the
// counts, the slot done (repeat: phones a slot, 0 one, -1 until stopped) or
// unusable.
bool slotWorkerEnded(Slot& slot, const WorkerExit& how, int64_t nowMs, int64_t wallMs,
                     int32_t repeat, bool stationStopping);

// The slot's device has gone: it takes phones again when it is back.
void slotAdapterGone(Slot& slot);
// Its device is there (again), this adapter (null: no USB adapter): what
// the station says once when its serial number is not the last one seen
// ("" when there is nothing to say).
std::string slotAdapterSeen(Slot& slot, const Json& adapter);

// Ends the slot's quarantine (its cable was changed); false when it had none.
bool slotRelease(Slot& slot);

// The slot takes no new phone (one being flashed finishes; a worker waiting
// for one is stopped) or takes them again; false when it already was so.
bool slotPause(Slot& slot);
bool slotResume(Slot& slot);
// The label of the phone being flashed, or of the next one.
void slotLabel(Slot& slot, const std::string& label);
// The label shown for the slot now ("" none).
const std::string& slotLabelNow(const Slot& slot);

// The slot's text for the screen: its phone and state ("phone 3: loader").
std::string slotLine(const Slot& slot, const std::string& state);
