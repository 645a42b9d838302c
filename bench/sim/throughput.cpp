// Image throughput of the real download tool against the virtual phone with
// the line's byte time emulated, next to what the line itself could carry.
// Usage: bench_sim_throughput [image KiB (256)] [speeds... (115200 460800)]
// An unpaced run (speed 0) shows the ceiling of the tool and the pty alone.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "sim/pty_server.h"
#include "sim/samples.h"
#include "tests/support/process.h"

namespace {

struct Measure {
    bool ok = false;
    double seconds = 0;  // first block byte to the last block's reply
    size_t blocks = 0;
};

Measure runOnce(const std::string& dir, size_t imageBytes, uint32_t speed) {
    sim::ServerOptions options;
    options.phone.paceLine = speed != 0;
    options.phone.eraseMs = 10;
    options.phone.transcriptLimit = 1u << 20;  // times are kept; most bytes need not be
    options.runs = 1;
    options.timeoutMs = 600000;
    sim::PtyServer server(options);
    std::string error;
    if (!server.open(&error)) {
        std::fprintf(stderr, "pty: %s\n", error.c_str());
        return {};
    }
    std::thread phone([&server] { server.serve(); });

    std::vector<std::string> args = {DOWNLOAD_EXE, "image.bin", "/l", "/c:" + server.slavePath()};
    if (speed == 460800) args.push_back("/s:460");
    if (speed == 230400) args.push_back("/s:230");
    const ExecCall call(args);  // no allocation in the child: the phone's thread runs
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        if (::chdir(dir.c_str()) != 0) ::_exit(126);
        call.exec();
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    server.stop();
    phone.join();

    Measure m;
    if (server.reports().empty()) return m;
    const auto& report = server.reports().front();
    sim::Micros first = 0, last = 0;
    for (const auto& chunk : report.transcript.chunks()) {
        if (chunk.phase != sim::Phase::Blocks) continue;
        if (first == 0 && chunk.toPhone) first = chunk.time;
        if (!chunk.toPhone) last = chunk.time;
    }
    m.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && report.verdict.wellFormed() &&
           !report.images.empty() && report.images[0].complete && last > first;
    m.seconds = static_cast<double>(last - first) / 1e6;
    m.blocks = (imageBytes + 1023) / 1024;
    return m;
}

}  // namespace

int main(int argc, char** argv) {
    const size_t kib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    std::vector<uint32_t> speeds;
    for (int i = 2; i < argc; ++i)
        speeds.push_back(static_cast<uint32_t>(std::strtoul(argv[i], nullptr, 10)));
    if (speeds.empty()) speeds = {115200, 460800, 0};

    const std::string dir =
        (std::filesystem::temp_directory_path() / ("bench-sim-" + std::to_string(::getpid())))
            .string();
    std::filesystem::create_directories(dir);
    const auto image = sim::makeCrcImage(kib * 1024);
    const std::string loader = sim::makeSampleLoader();
    sim::writeFile(dir + "/image.bin", image.data(), image.size());
    sim::writeFile(dir + "/rb7.s37", loader.data(), loader.size());

    std::printf("image %zu bytes, stop-and-wait blocks of 1024 bytes, 10 bits per byte\n",
                image.size());
    std::printf("%10s %10s %12s %12s %8s\n", "speed", "seconds", "tool KB/s", "line KB/s",
                "of line");
    int failures = 0;
    for (uint32_t speed : speeds) {
        const Measure m = runOnce(dir, image.size(), speed);
        if (!m.ok) {
            std::printf("%10u  run failed\n", speed);
            ++failures;
            continue;
        }
        const double rate = static_cast<double>(image.size()) / m.seconds / 1000.0;
        if (speed == 0) {
            std::printf("%10s %10.3f %12.1f %12s %8s\n", "unpaced", m.seconds, rate, "-", "-");
            continue;
        }
        const double line = speed / 10.0 / 1000.0;
        std::printf("%10u %10.3f %12.1f %12.1f %7.1f%%\n", speed, m.seconds, rate, line,
                    100.0 * rate / line);
    }
    std::filesystem::remove_all(dir);
    return failures == 0 ? 0 : 1;
}
