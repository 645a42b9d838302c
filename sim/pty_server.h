// Serves the virtual phone on a pseudo-terminal: the tool opens the slave side
// as its serial port, the server reads and writes the master side. A run lasts
// from the tool's opening of the port to its closing; the flash is kept from
// one run to the next.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/flash_memory.h"
#include "sim/phone_config.h"
#include "sim/phone_model.h"
#include "sim/transcript.h"

namespace sim {

struct ServerOptions {
    PhoneConfig phone;
    std::string linkPath;    // a symlink to the slave made here (and removed at the end)
    uint32_t runs = 1;       // runs to serve; 0: until stopped
    uint32_t timeoutMs = 0;  // stop serving after this long in all; 0: never
};

// One run as the phone saw it.
struct RunReport {
    Verdict verdict;
    Transcript transcript;
    std::vector<ImageRecord> images;
    std::vector<std::string> loaderLines;
    uint64_t loaderBytes = 0;
};

class PtyServer {
public:
    explicit PtyServer(ServerOptions options);
    ~PtyServer();
    PtyServer(const PtyServer&) = delete;
    PtyServer& operator=(const PtyServer&) = delete;

    // Creates the pseudo-terminal (raw, 9600 bit/s) and the link.
    bool open(std::string* error);
    const std::string& slavePath() const { return slavePath_; }

    // Serves until the runs are done, the phone hung up, the time is up or
    // stop() is called. Call once, from one thread.
    void serve();
    // From any thread: makes serve() return soon.
    void stop();

    // Valid after serve() has returned.
    const std::vector<RunReport>& reports() const { return reports_; }
    const FlashMemory& flash() const { return *flash_; }
    bool timedOut() const { return timedOut_; }

private:
    bool serveRun(Micros deadline);
    void closeMaster();

    ServerOptions options_;
    std::shared_ptr<FlashMemory> flash_;
    int master_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::string slavePath_;
    bool linked_ = false;
    std::atomic<bool> stopping_{false};
    bool timedOut_ = false;
    std::vector<RunReport> reports_;
};

// The line settings a pseudo-terminal's master sees; false when it cannot tell.
bool readLineSettings(int fd, LineSettings* line);

// A monotonic clock in microseconds.
Micros monotonicMicros();

}  // namespace sim
