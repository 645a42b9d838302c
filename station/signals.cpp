#include "station/signals.h"

#include "app/console.h"
#include "platform/process.h"
#include "station/journal.h"

int bellRings(Bell bell, const Slot& slot, const PhoneRecord& phone) {
    if (bell == Bell::None || bell == Bell::Default) return 0;
    if (phone.result == "failed") return slot.quarantined ? 3 : 1;
    return phone.result == "verified" && bell == Bell::All ? 1 : 0;
}

std::string BellSignal::phoneEnded(const Station&, const Slot& slot, const PhoneRecord& phone) {
    const int rings = bellRings(bell_, slot, phone);
    if (rings > 0 && !consoleOutputLost())
        consoleWrite(std::string(static_cast<size_t>(rings), '\a').c_str());
    return "";
}

ResultCommands::ResultCommands(const Station& station, const char* command)
    : station_(station),
      command_(command != nullptr ? command : ""),
      waiting_(station.slots.size()),
      running_(station.slots.size()) {}

ResultCommands::~ResultCommands() {
    for (Running& run : running_)
        if (run.worker != nullptr) worker_free(run.worker);
}

std::string ResultCommands::what(size_t slot, int32_t phone) const {
    return "--on-result for " + station_.slots[slot].name + " phone " + std::to_string(phone);
}

void ResultCommands::queue(size_t slot, const PhoneRecord& phone) {
    if (command_.empty()) return;
    const Slot& s = station_.slots[slot];
    Pending job;
    job.phone = phone.number;
    job.environment = {"DOWNLOAD_SLOT=" + s.name,
                       "DOWNLOAD_DEVICE=" + s.device,
                       "DOWNLOAD_PHONE=" + std::to_string(phone.number),
                       "DOWNLOAD_RESULT=" + phone.result,
                       "DOWNLOAD_REASON=" + phone.reason,
                       "DOWNLOAD_JOB=" + station_.identity.jobName,
                       "DOWNLOAD_RECORD=" + journalLine(phone, s, station_.identity)};
    waiting_[slot].push_back(job);
}

std::vector<std::string> ResultCommands::poll(int64_t nowMs) {
    std::vector<std::string> notes;
    for (size_t i = 0; i < running_.size(); ++i) {
        Running& run = running_[i];
        if (run.worker != nullptr) {
            char buffer[256];
            long n = 0;
            while ((n = worker_read(run.worker, buffer, sizeof buffer)) > 0) {
            }
            // Also one that closed its channel and lives on.
            if (run.killedMs < 0 && nowMs - run.startMs > kResultSeconds * 1000) {
                worker_kill(run.worker);
                run.killedMs = nowMs;
                notes.push_back(what(i, run.phone) + " ended after " +
                                std::to_string(kResultSeconds) + " s");
            }
            int status = -1;
            int signal = 0;
            // A command that a kill has not ended within seconds is left to itself.
            const bool given = run.killedMs >= 0 && nowMs - run.killedMs > 5000;
            if (n < 0 && !given) continue;
            if (!worker_reap(run.worker, &status, &signal, 0) && !given) continue;
            if (run.killedMs < 0 && status != 0)
                notes.push_back(what(i, run.phone) +
                                (signal != 0
                                     ? " ended by signal " + std::to_string(signal)
                                     : " ended with exit status " + std::to_string(status)));
            worker_free(run.worker);
            run = Running{};
        }
        if (waiting_[i].empty()) continue;
        const Pending job = waiting_[i].front();
        waiting_[i].pop_front();
        std::string path;
        std::string error;
        const OutputFile log =
            station_.config.logDir != nullptr
                ? createLog(station_, station_.slots[i], job.phone, ".result.log", &path, &error)
                : kNoOutputFile;
        std::string events;
        Worker* worker = worker_create(&events);
        if (worker != nullptr &&
            worker_start_shell(worker, command_, job.environment, log, &error)) {
            run = Running{worker, job.phone, nowMs, -1};
        } else {
            if (worker != nullptr) worker_free(worker);
            notes.push_back(what(i, job.phone) + " did not start: " + error);
        }
        output_close(log);
    }
    return notes;
}

bool ResultCommands::idle() const {
    for (size_t i = 0; i < running_.size(); ++i)
        if (running_[i].worker != nullptr || !waiting_[i].empty()) return false;
    return true;
}
