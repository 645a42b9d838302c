// Measures the two costs of the serial waits on a pseudo-terminal:
//  - CPU time of a 5-second port_read_byte_timed with nothing arriving
//    (target: under 5% of one core);
//  - the delay from a byte's write on the far side to its return from
//    port_read_byte_timed (target: well under a millisecond).
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "serial/port.h"

namespace {

using Clock = std::chrono::steady_clock;

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

}  // namespace

int main(int argc, char** argv) {
    const int samples = argc > 1 ? std::atoi(argv[1]) : 200;
    const int idleMs = argc > 2 ? std::atoi(argv[2]) : 5000;

    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("pty");
        return 1;
    }
    SerialPort* port = serial_port_open(0, ptsname(master), 115200, 'N', 8, 1);
    if (port->status != PORT_OK) {
        std::fprintf(stderr, "open failed: %d\n", static_cast<int>(port->status));
        return 1;
    }

    // 1. An idle wait.
    const double cpuBefore = cpuSeconds();
    const auto wallBefore = Clock::now();
    const int32_t rc = port_read_byte_timed(port, idleMs);
    const double wall = std::chrono::duration<double>(Clock::now() - wallBefore).count();
    const double cpu = cpuSeconds() - cpuBefore;
    std::printf("idle wait: %d ms asked, %.3f s wall, %.4f s CPU = %.2f%% of one core (rc %d)\n",
                idleMs, wall, cpu, 100.0 * cpu / wall, static_cast<int>(rc));

    // 2. Latency: the far side writes one byte at a time while we wait for it.
    std::atomic<int64_t> sentAt{0};
    std::atomic<bool> taken{true};
    std::thread peer([&] {
        for (int i = 0; i < samples; ++i) {
            while (!taken.load())
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            // Vary the gap so the byte lands at any point of an idle pass.
            std::this_thread::sleep_for(std::chrono::microseconds(1000 + (i * 377) % 2000));
            taken.store(false);
            sentAt.store(nowNs());
            const unsigned char byte = static_cast<unsigned char>(i);
            if (write(master, &byte, 1) != 1) return;
        }
    });
    std::vector<double> latencyUs;
    for (int i = 0; i < samples; ++i) {
        const int32_t byte = port_read_byte_timed(port, 2000);
        const int64_t got = nowNs();
        if (byte != (i & 0xFF)) {
            std::fprintf(stderr, "sample %d: got %d\n", i, static_cast<int>(byte));
            break;
        }
        latencyUs.push_back(static_cast<double>(got - sentAt.load()) / 1000.0);
        taken.store(true);
    }
    peer.join();
    if (latencyUs.empty()) return 1;
    std::sort(latencyUs.begin(), latencyUs.end());
    auto at = [&](double q) { return latencyUs[static_cast<size_t>(q * (latencyUs.size() - 1))]; };
    std::printf(
        "byte latency over %zu bytes: median %.1f us, p90 %.1f us, p99 %.1f us, max %.1f us\n",
        latencyUs.size(), at(0.5), at(0.9), at(0.99), latencyUs.back());
    port->ops.close(port);
    close(master);
    return 0;
}
