#include "station/supervisor.h"

#include <filesystem>

#include "app/console.h"
#include "app/run_state.h"
#include "platform/files.h"
#include "platform/keyboard.h"
#include "platform/process.h"
#include "platform/serial_ports.h"
#include "platform/terminal.h"
#include "station/control.h"
#include "station/plain_lines.h"
#include "station/signals.h"

namespace {

// How often the observers see the whole station.
constexpr int64_t kRefreshMs = 250;
// After the console closed, the system ends the process within about 5 s:
// workers that have not ended by this are left, their phones recorded.
constexpr int64_t kCloseGraceMs = 2500;
// A worker that says this much at once waits for the next pass: one
// talkative worker cannot hold the loop.
constexpr int kReadsPerPass = 64;

// How often a slot without its adapter looks for it.
constexpr int64_t kAdapterLookMs = 1000;

// What the system says of a slot's device: a USB adapter's ids, or null.
Json adapterOf(const std::string& device) {
    const SerialPortInfo info = serial_port_describe(device.c_str());
    if (info.vendorId.empty()) return Json();
    return {{"vid", info.vendorId},
            {"pid", info.productId},
            {"serial", info.serial},
            {"path", info.byPath.empty() ? device : info.byPath.front()}};
}

const char* causeOf(StopRequest request) {
    switch (request) {
        case StopInterrupt:
            return "Ctrl-C";
        case StopTerminate:
            return "SIGTERM";
        case StopHangUp:
            return "SIGHUP";
        case StopClose:
            return "the console closed";
        default:
            return "";
    }
}

class Loop : public ControlActions {
public:
    Loop(Station& station, const std::vector<StationObserver*>& observers, ControlPort* control)
        : station_(station),
          observers_(observers),
          control_(control),
          workers_(station.slots.size(), nullptr),
          lookedMs_(station.slots.size(), -kAdapterLookMs),
          results_(station, station.config.onResult) {}
    void run();
    bool abortPhone(size_t i) override;
    bool releaseSlot(size_t i) override;
    void stopStation() override { quit(); }

private:
    void serveControl(int64_t nowMs);
    void say(const std::string& text, bool urgent);
    void publish(Slot& slot);
    std::string beingFlashed() const;
    void halt(const std::string& why);
    void quit();
    void release();
    void stopAll(StopRequest request, int64_t nowMs);
    void readKeys(int64_t nowMs);
    bool openLog(const Slot& slot, int32_t number, std::string* path, OutputFile* log,
                 std::string* error);
    void startWorker(size_t i, int64_t nowMs);
    bool readWorker(size_t i, int64_t nowMs);
    void endWorker(size_t i, int64_t nowMs, bool abandon);
    void tick(size_t i, int64_t nowMs);

    Station& station_;
    const std::vector<StationObserver*>& observers_;
    ControlPort* control_;
    std::vector<Worker*> workers_;   // by slot; null when none runs
    std::vector<int64_t> lookedMs_;  // by slot: its device last looked for
    ResultCommands results_;
    int64_t lastRefreshMs_ = -kRefreshMs;
    int64_t closedAtMs_ = -1;
};

void Loop::say(const std::string& text, bool urgent) {
    for (StationObserver* observer : observers_)
        observer->stationSaid(station_, text, urgent);
}

void Loop::publish(Slot& slot) {
    for (const std::string& line : slot.news)
        for (StationObserver* observer : observers_)
            observer->slotChanged(station_, slot, line);
    slot.news.clear();
}

std::string Loop::beingFlashed() const {
    const int32_t n = phonesBeingFlashed(station_);
    return n == 1 ? "1 phone being flashed finishes"
                  : std::to_string(n) + " phones being flashed finish";
}

void Loop::halt(const std::string& why) {
    station_.stopping = true;
    if (station_.halt.empty()) station_.halt = why;
    say(why + ": no new phones; " + beingFlashed(), true);
}

void Loop::quit() {
    station_.stopping = true;
    say("stopping: no new phones; " + beingFlashed(), false);
}

void Loop::release() {
    int32_t released = 0;
    for (Slot& slot : station_.slots) {
        released += slotRelease(slot) ? 1 : 0;
        publish(slot);
    }
    if (released > 0)
        say(std::to_string(released) + (released == 1 ? " slot" : " slots") + " released", false);
}

// ABORT from the control port: this phone alone stops, as on Ctrl-C.
bool Loop::abortPhone(size_t i) {
    Slot& slot = station_.slots[i];
    // A phone whose end has come keeps its result.
    if (!slot.phone.started || slot.ended ||
        !slotInterrupt(slot, "ABORT from the control port", steadyMs()))
        return false;
    worker_stop(workers_[i], true);
    return true;
}

bool Loop::releaseSlot(size_t i) {
    Slot& slot = station_.slots[i];
    if (!slotRelease(slot)) return false;
    publish(slot);
    say(slot.name + " released", false);
    return true;
}

void Loop::serveControl(int64_t nowMs) {
    if (control_ == nullptr) return;
    std::vector<std::string> notes;
    control_->serve(station_, *this, nowMs, &notes);
    for (const std::string& note : notes)
        say(note, false);
}

void Loop::stopAll(StopRequest request, int64_t nowMs) {
    if (request == StopNone || !station_.stopCause.empty()) return;
    station_.stopping = true;
    station_.stopCause = causeOf(request);
    int32_t phones = 0;
    for (size_t i = 0; i < workers_.size(); ++i) {
        Slot& slot = station_.slots[i];
        const bool flashing = slot.busy && slot.phone.started;
        if (slotInterrupt(slot, station_.stopCause, nowMs)) {
            worker_stop(workers_[i], true);
            phones += flashing ? 1 : 0;
        }
    }
    if (request == StopClose) closedAtMs_ = nowMs;
    say("stopping now (" + station_.stopCause + "): " + std::to_string(phones) +
            (phones == 1 ? " phone" : " phones") + " interrupted",
        false);
}

void Loop::readKeys(int64_t nowMs) {
    while (key_pressed()) {
        const int key = consoleReadKey();
        if (key < 0) break;
        if (key == 'q' || key == 'Q') quit();
        if (key == 'r' || key == 'R') release();
        // A terminal that passes Ctrl-C on as a byte.
        if (key == kCtrlC) stopAll(StopInterrupt, nowMs);
    }
}

// The phone's log: a header line, then what its worker prints.
bool Loop::openLog(const Slot& slot, int32_t number, std::string* path, OutputFile* log,
                   std::string* error) {
    *log = createLog(station_, slot, number, ".log", path, error);
    if (*log == kNoOutputFile) return false;
    const std::string header = "# " + clockOfDay(wallMs()) + " download " +
                               station_.identity.version + ", station " +
                               station_.identity.station + ", slot " + slot.name + " (" +
                               slot.device + "), phone " + std::to_string(number) + "\n";
    output_write(*log, header.data(), header.size());
    return true;
}

void Loop::startWorker(size_t i, int64_t nowMs) {
    Slot& slot = station_.slots[i];
    if (station_.config.repeat != 0) {
        // Phone after phone, a pulled adapter is waited for (once a second).
        if (slot.noAdapter && nowMs - lookedMs_[i] < kAdapterLookMs) return;
        lookedMs_[i] = nowMs;
        if (!serial_device_present(slot.device.c_str())) {
            if (!slot.noAdapter) slotAdapterGone(slot);
            publish(slot);
            return;
        }
    }
    // Above the table too, where a slot's own lines do not show.
    const std::string changed = slotAdapterSeen(slot, adapterOf(slot.device));
    if (!changed.empty()) say(changed, false);
    std::string logFile;
    OutputFile log = kNoOutputFile;
    std::string error = "no channel for its events";
    Worker* worker = nullptr;
    if (station_.config.logDir == nullptr ||
        openLog(slot, slot.workers + 1, &logFile, &log, &error)) {
        std::string eventsPath;
        worker = worker_create(&eventsPath);
        std::vector<std::string> args = station_.workerArgs;
        args.push_back("/c:" + slot.device);
        args.push_back("--events=" + eventsPath);
        if (worker != nullptr && !worker_start(worker, station_.program, args, log, &error)) {
            worker_free(worker);
            worker = nullptr;
        }
        output_close(log);
    }
    if (worker == nullptr) {
        slotWorkerFailed(slot, error);
    } else {
        workers_[i] = worker;
        slotWorkerStarted(slot, station_.images, logFile, nowMs, wallMs());
    }
    publish(slot);
}

// True when the worker has ended (its channel closed).
bool Loop::readWorker(size_t i, int64_t nowMs) {
    char buffer[4096];
    for (int reads = 0; reads < kReadsPerPass; ++reads) {
        const long n = worker_read(workers_[i], buffer, sizeof buffer);
        if (n < 0) return false;
        if (n == 0) return true;
        slotFeed(station_.slots[i], buffer, static_cast<size_t>(n), nowMs);
    }
    return false;
}

void Loop::endWorker(size_t i, int64_t nowMs, bool abandon) {
    Slot& slot = station_.slots[i];
    Worker* worker = workers_[i];
    workers_[i] = nullptr;
    WorkerExit how;
    how.abandoned = abandon;
    if (!abandon && !worker_reap(worker, &how.status, &how.signal, 1000)) {
        // Its channel closed, its process lives on: ended, or left.
        worker_kill(worker);
        how.abandoned = !worker_reap(worker, &how.status, &how.signal, 1000);
    }
    worker_free(worker);
    if (slotWorkerEnded(slot, how, nowMs, wallMs(), station_.config.repeat, station_.stopping)) {
        // The record is kept before the phone's end is shown.
        bool kept = true;
        for (StationObserver* observer : observers_) {
            const std::string trouble = observer->phoneEnded(station_, slot, slot.phone);
            if (!trouble.empty()) halt(trouble);
            kept = kept && trouble.empty();
        }
        if (kept) results_.queue(i, slot.phone);
    }
    // A worker that could not use its device because it has gone: the slot
    // waits for it instead of giving up.
    if (station_.config.repeat != 0 && slot.done && !slot.unusable.empty() && !how.abandoned &&
        !station_.stopping && !serial_device_present(slot.device.c_str()))
        slotAdapterGone(slot);
    publish(slot);
}

void Loop::tick(size_t i, int64_t nowMs) {
    switch (slotTick(station_.slots[i], nowMs, station_.stopping)) {
        case SlotAction::Stop:
            worker_stop(workers_[i], false);
            break;
        case SlotAction::Kill:
            worker_kill(workers_[i]);
            break;
        case SlotAction::Abandon:
            endWorker(i, nowMs, true);
            break;
        case SlotAction::None:
            break;
    }
}

void Loop::run() {
    for (;;) {
        int64_t now = steadyMs();
        bool active = false;
        for (size_t i = 0; i < workers_.size(); ++i) {
            const Slot& slot = station_.slots[i];
            const bool idle = !slot.busy && !slot.done && slot.unusable.empty();
            if (idle && !slot.quarantined && !slot.paused && !station_.stopping)
                startWorker(i, now);
            // A quarantined slot waits for its release (r) until the station stops.
            active = active || slot.busy || (idle && !station_.stopping);
        }
        for (const std::string& note : results_.poll(now))
            say(note, false);
        if (!active && results_.idle()) break;
        if (now - lastRefreshMs_ >= kRefreshMs) {
            for (StationObserver* observer : observers_)
                observer->refresh(station_);
            lastRefreshMs_ = now;
        }
        const bool keys = terminal_in_foreground();
        // The result commands are looked at every pass: at least this often.
        const std::vector<SocketWatch> sockets =
            control_ != nullptr ? control_->watches() : std::vector<SocketWatch>();
        wait_for_workers(workers_.data(), workers_.size(), keys, sockets.data(), sockets.size(),
                         kRefreshMs);
        now = steadyMs();
        stopAll(stop_request_take(), now);
        if (keys) readKeys(now);
        serveControl(now);
        for (size_t i = 0; i < workers_.size(); ++i) {
            if (workers_[i] != nullptr && readWorker(i, now)) endWorker(i, now, false);
            Slot& slot = station_.slots[i];
            if (!slot.inputChanged.empty()) {
                // The files changed under the station: an operator must look.
                halt(slot.inputChanged);
                slot.inputChanged.clear();
            }
            const bool closing = closedAtMs_ >= 0 && now - closedAtMs_ > kCloseGraceMs;
            if (workers_[i] != nullptr && closing) {
                worker_kill(workers_[i]);
                endWorker(i, now, true);
            }
            if (workers_[i] != nullptr) tick(i, now);
            publish(slot);
        }
    }
    for (StationObserver* observer : observers_)
        observer->finish(station_);
}

}  // namespace

void superviseStation(Station& station, const std::vector<StationObserver*>& observers,
                      ControlPort* control) {
    Loop(station, observers, control).run();
}
