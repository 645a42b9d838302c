// The whole tool, measured the way users run it: the Linux build and the
// Windows build under Wine side by side, against the virtual phone on a
// pseudo-terminal (under Wine through a COM port linked to it). Prints one
// table:
//  - CPU while the tool waits 10 s for a phone's ENQ, counting every process
//    involved (under Wine the tool and every process of the prefix, the
//    wineserver included); and while the phone erases for 9 s, also after
//    two questions answered on the console and with a key typed meanwhile;
//  - how soon a byte is seen: the round trip of single bytes, at random gaps
//    of 20-60 ms, through the serial services' wait and back (median, p90);
//  - the block phase against a phone paced at the line's byte time, as a
//    share of the protocol limit (each block's bytes and its reply, 10 bits a
//    byte, one block in flight);
//    and at 460800 again with the wire trace on;
//  - CPU over a whole 2 MiB run at 460800 bit/s.
// Usage: bench_tool [--native-only] [--only idle|erase|wake|blocks|run|station]
// (station: tables of their own, the Linux build with 1, 2, 4 and 8 slots, and
// with 8 and 32 slots beside as many bare runs at once)
// (Wine: DOWNLOAD_WINEPREFIX, default build/wineprefix)
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/pty_server.h"
#include "sim/samples.h"
#include "tests/support/process.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Build {
    const char* name;
    bool wine;
    std::string exe;
    std::string probe;  // the serial services' probe program, for the round trip
};

std::string winePrefix() {
    const char* prefix = std::getenv("DOWNLOAD_WINEPREFIX");
    if (prefix != nullptr) return prefix;
    return (std::filesystem::path(DOWNLOAD_EXE).parent_path().parent_path().parent_path() /
            "wineprefix")
        .string();
}

// CPU ticks of every process that belongs to the measured build: the tool's
// process, and under Wine every process started with our prefix.
std::map<int, long> cpuTicks(int toolPid, bool wine) {
    std::map<int, long> ticks;
    const std::string mark = "WINEPREFIX=" + winePrefix();
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return ticks;
    while (const dirent* entry = readdir(proc)) {
        const int pid = std::atoi(entry->d_name);
        if (pid <= 0) continue;
        const std::string base = std::string("/proc/") + entry->d_name;
        bool ours = pid == toolPid;
        if (!ours && wine) {
            std::ifstream environ(base + "/environ", std::ios::binary);
            const std::string all =
                '\0' + std::string((std::istreambuf_iterator<char>(environ)), {});
            ours = all.find('\0' + mark + '\0') != std::string::npos;
        }
        if (!ours) continue;
        std::ifstream stat(base + "/stat");
        std::string line;
        std::getline(stat, line);
        const size_t close = line.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream fields(line.substr(close + 2));
        std::string field;
        long utime = 0, stime = 0;
        for (int i = 3; fields >> field; ++i) {
            if (i == 14) utime = std::atol(field.c_str());
            if (i == 15) {
                stime = std::atol(field.c_str());
                break;
            }
        }
        ticks[pid] = utime + stime;
    }
    closedir(proc);
    return ticks;
}

// CPU seconds the processes used between two snapshots (new ones in full).
double cpuBetween(const std::map<int, long>& before, const std::map<int, long>& after) {
    long sum = 0;
    for (const auto& [pid, t] : after) {
        const auto was = before.find(pid);
        sum += t - (was == before.end() ? 0 : was->second);
    }
    return static_cast<double>(sum) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A COM number linked to a pty in the prefix, for the Windows build.
struct ComLink {
    ComLink(int number, const std::string& device) : n(number) {
        path = winePrefix() + "/dosdevices/com" + std::to_string(n);
        ::unlink(path.c_str());
        if (::symlink(device.c_str(), path.c_str()) != 0) std::perror("symlink");
    }
    ~ComLink() { ::unlink(path.c_str()); }
    int n;
    std::string path;
};

pid_t startTool(const Build& build, const std::string& dir, std::vector<std::string> args,
                bool probe = false, const std::string& console = "") {
    std::vector<std::string> argv;
    if (build.wine) argv.push_back("/usr/bin/wine");
    argv.push_back(probe ? build.probe : build.exe);
    argv.insert(argv.end(), args.begin(), args.end());
    // No allocation in the child: the phones' threads run.
    const ExecCall call(argv, {"WINEPREFIX=" + winePrefix(), "WINEDEBUG=-all"});
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid();
        const int null = ::open("/dev/null", O_RDWR);
        // A console to type on, or none.
        const int input = console.empty() ? null : ::open(console.c_str(), O_RDWR);
        ::dup2(input, 0);
        if (::chdir(dir.c_str()) != 0) ::_exit(126);
        // The tool's output, kept for a run that fails.
        const int out = ::open("tool-output.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out >= 0 ? out : null, 1);
        ::dup2(out >= 0 ? out : null, 2);
        call.exec();
    }
    return pid;
}

// Linux builds of the tool, all in one new session (one scheduling group
// where the kernel groups by session), their output on /dev/null: a process
// that waits for them all and exits 0 when each did.
pid_t startTools(const std::string& dir, const std::vector<std::vector<std::string>>& lines) {
    std::vector<std::unique_ptr<ExecCall>> calls;
    for (const auto& args : lines) {
        std::vector<std::string> argv = {DOWNLOAD_EXE};
        argv.insert(argv.end(), args.begin(), args.end());
        calls.push_back(std::make_unique<ExecCall>(argv));
    }
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    // No allocation from here on: the phones' threads run in the parent.
    ::setsid();
    const int null = ::open("/dev/null", O_RDWR);
    if (::chdir(dir.c_str()) != 0) ::_exit(126);
    for (int fd = 0; fd < 3; ++fd)
        ::dup2(null, fd);
    for (const auto& call : calls)
        if (::fork() == 0) call->exec();
    int failed = 0;
    for (int status = 0; ::wait(&status) > 0;)
        failed += WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
    ::_exit(failed == 0 ? 0 : 1);
}

// The port argument: the pty itself, or a COM number linked to it.
std::string portArg(const Build& build, const std::string& device, std::unique_ptr<ComLink>* link) {
    if (!build.wine) return "/c:" + device;
    *link = std::make_unique<ComLink>(61, device);
    return "/c:COM61";
}

struct Served {
    bool ok = false;
    sim::RunReport report;
    double toolCpu = 0;  // seconds, the tool and (under Wine) the prefix
    double wall = 0;
};

// One run against an in-process phone.
Served serve(const Build& build, const std::string& dir, const sim::PhoneConfig& phone,
             std::vector<std::string> args) {
    sim::ServerOptions options;
    options.phone = phone;
    options.runs = 1;
    options.timeoutMs = 900000;
    sim::PtyServer server(options);
    std::string error;
    Served s;
    if (!server.open(&error)) {
        std::fprintf(stderr, "pty: %s\n", error.c_str());
        return s;
    }
    std::atomic<bool> served{false};
    std::thread phoneThread([&server, &served] {
        server.serve();
        served = true;
    });
    std::unique_ptr<ComLink> link;
    args.push_back(portArg(build, server.slavePath(), &link));
    const auto before = cpuTicks(-1, build.wine);
    const auto start = Clock::now();
    const pid_t pid = startTool(build, dir, args);
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    s.wall = std::chrono::duration<double>(Clock::now() - start).count();
    const auto after = cpuTicks(-1, build.wine);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    s.toolCpu = seconds(usage.ru_utime) + seconds(usage.ru_stime) + cpuBetween(before, after);
    // The phone ends its run itself once it has taken the last bytes the tool
    // sent before closing; stopping it sooner would lose them.
    for (int i = 0; i < 500 && !served; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    server.stop();
    phoneThread.join();
    if (server.reports().empty()) return s;
    s.report = server.reports().front();
    s.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && s.report.verdict.wellFormed();
    if (!s.ok) {
        std::fprintf(stderr, "  %s %s: exit %d, phone: %s\n", build.name, args[0].c_str(),
                     WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                     s.report.verdict.wellFormed() ? "well-formed" : "not well-formed");
        for (const auto& v : s.report.verdict.violations)
            std::fprintf(stderr, "    %s\n", v.c_str());
        for (const auto& n : s.report.verdict.notes)
            std::fprintf(stderr, "    note: %s\n", n.c_str());
        std::ifstream output(dir + "/tool-output.txt");
        const std::string text((std::istreambuf_iterator<char>(output)), {});
        std::fprintf(stderr, "  the tool's output ended:\n%s\n",
                     text.substr(text.size() > 600 ? text.size() - 600 : 0).c_str());
        const auto& chunks = s.report.transcript.chunks();
        for (size_t i = chunks.size() > 12 ? chunks.size() - 12 : 0; i < chunks.size(); ++i) {
            const auto& c = chunks[i];
            std::fprintf(stderr, "  %llu %s %s %u%s %zu bytes: %.40s\n",
                         static_cast<unsigned long long>(c.time), c.toPhone ? "in " : "out",
                         sim::phaseName(c.phase), c.speed, c.garbled ? " garbled" : "",
                         c.bytes.size(), c.bytes.c_str());
        }
    }
    return s;
}

// The prefix's own CPU (% of a core) while no tool runs: its services keep
// busy by themselves, and that is no cost of the tool's.
double background = 0;

double measureBackground(const Build& build, const std::string& dir) {
    if (!build.wine) return 0;
    // The prefix's services start with its first program and stay (its HID
    // bus driver polls every millisecond): they belong to the background.
    const pid_t pid = startTool(build, dir, {}, true);
    ::waitpid(pid, nullptr, 0);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const auto before = cpuTicks(-1, true);
    std::this_thread::sleep_for(std::chrono::seconds(10));
    return 100.0 * cpuBetween(before, cpuTicks(-1, true)) / 10.0;
}

// 1. CPU of a 10 s ENQ wait: a phone that never announces itself.
double idleCpu(const Build& build, const std::string& dir) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ::grantpt(master);
    ::unlockpt(master);
    const std::string device = ::ptsname(master);
    std::unique_ptr<ComLink> link;
    const pid_t pid = startTool(build, dir, {"image.bin", "/l", portArg(build, device, &link)});
    std::this_thread::sleep_for(std::chrono::seconds(build.wine ? 4 : 1));  // settled in its wait
    const auto before = cpuTicks(pid, build.wine);
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const auto after = cpuTicks(pid, build.wine);
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    ::close(master);
    // Less than the background's own swing (a few tenths) reads as nothing.
    return std::max(0.0, 100.0 * cpuBetween(before, after) / wall - background);
}

// 1b. CPU of a 9 s erase wait (the phone's erase): plain, after answering the
// two questions of an image without signature or CRC (the Windows console
// keeps the key's release unread), and with a key typed during the wait.
enum class EraseWait { Plain, AfterQuestions, KeyTyped };

double eraseCpu(const Build& build, const std::string& dir, EraseWait kind) {
    sim::PhoneConfig phone;
    phone.eraseMs = 9000;
    phone.enqIntervalMs = 20;
    sim::ServerOptions options;
    options.phone = phone;
    options.runs = 1;
    options.timeoutMs = 120000;
    sim::PtyServer server(options);
    std::string error;
    if (!server.open(&error)) return -1;
    std::thread phoneThread([&server] { server.serve(); });
    const int console = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ::grantpt(console);
    ::unlockpt(console);
    // What the tool's console writes (Wine draws on it) is read and dropped.
    std::atomic<bool> done{false};
    std::thread drain([&done, console] {
        while (!done) {
            pollfd fd{console, POLLIN, 0};
            char scrap[4096];
            if (::poll(&fd, 1, 50) > 0 && ::read(console, scrap, sizeof scrap) <= 0) break;
        }
    });
    std::unique_ptr<ComLink> link;
    const pid_t pid = startTool(build, dir,
                                {kind == EraseWait::AfterQuestions ? "unsigned.bin" : "image.bin",
                                 "/l", portArg(build, server.slavePath(), &link)},
                                false, ::ptsname(console));
    // Answers each question as it appears, then waits for the erase.
    const auto seen = [&dir](const std::string& text) {
        std::ifstream output(dir + "/tool-output.txt");
        const std::string all((std::istreambuf_iterator<char>(output)), {});
        return all.find(text) != std::string::npos;
    };
    const auto waitFor = [&seen](const std::string& text) {
        for (int i = 0; i < 3000 && !seen(text); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return seen(text);
    };
    double cpu = -1;
    bool ready = true;
    if (kind == EraseWait::AfterQuestions) {
        for (const char* question : {"wrong signature", "may be corrupt"}) {
            ready = ready && waitFor(question);
            if (ready && ::write(console, "y", 1) != 1) ready = false;
        }
    }
    if (ready && waitFor("Wait for FLASH to erase")) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        if (kind == EraseWait::KeyTyped && ::write(console, "x", 1) != 1) ready = false;
        // Wine's console and desktop take a first key once, whoever waits.
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        const auto before = cpuTicks(pid, build.wine);
        const auto start = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(6));
        const auto after = cpuTicks(pid, build.wine);
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        if (ready) cpu = std::max(0.0, 100.0 * cpuBetween(before, after) / wall - background);
    }
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    server.stop();
    phoneThread.join();
    done = true;
    drain.join();
    ::close(console);
    return cpu;
}

// 2. Single bytes sent back by the probe program: the round trip in ms.
std::vector<double> wakeUps(const Build& build, const std::string& dir) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ::grantpt(master);
    ::unlockpt(master);
    const std::string device = ::ptsname(master);
    // Raw on both sides: the bytes pass untouched.
    const int slave = ::open(device.c_str(), O_RDWR | O_NOCTTY);
    termios raw{};
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);
    std::unique_ptr<ComLink> link;
    const std::string port = portArg(build, device, &link).substr(3);
    constexpr int kSamples = 200;
    const pid_t pid = startTool(build, dir,
                                {"named", port, "setline", "115200", "N", "8", "1", "echo",
                                 std::to_string(kSamples), "close"},
                                true);
    std::this_thread::sleep_for(std::chrono::seconds(build.wine ? 4 : 1));
    std::vector<double> ms;
    unsigned seed = 1;
    for (int i = 0; i < kSamples; ++i) {
        seed = seed * 1103515245U + 12345U;
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + (seed >> 16) % 41));
        const unsigned char byte = static_cast<unsigned char>(i);
        const auto sent = Clock::now();
        if (::write(master, &byte, 1) != 1) break;
        pollfd fd{master, POLLIN, 0};
        if (::poll(&fd, 1, 2000) <= 0) break;
        unsigned char back = 0;
        if (::read(master, &back, 1) != 1 || back != byte) break;
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
    }
    ::waitpid(pid, nullptr, 0);
    ::close(slave);
    ::close(master);
    if (ms.size() != kSamples) ms.clear();
    std::sort(ms.begin(), ms.end());
    return ms;
}

// 3. The block phase against the paced phone, as a share of the protocol limit.
double blockShare(const Build& build, const std::string& dir, uint32_t speed, bool trace = false) {
    sim::PhoneConfig phone;
    phone.paceLine = true;
    phone.eraseMs = 10;
    phone.enqIntervalMs = 20;
    phone.transcriptLimit = 1u << 20;
    std::vector<std::string> args = {"image.bin", "/l"};
    if (speed == 460800) args.push_back("/s:460");
    if (trace) args.push_back("--trace=trace.txt");
    const Served s = serve(build, dir, phone, args);
    if (!s.ok) return -1;
    sim::Micros first = 0, last = 0;
    uint64_t bytes = 0;
    for (const auto& chunk : s.report.transcript.chunks()) {
        if (chunk.phase != sim::Phase::Blocks) continue;
        if (first == 0 && chunk.toPhone) first = chunk.time;
        if (!chunk.toPhone) last = chunk.lastTime;
    }
    for (const auto& image : s.report.images)
        bytes += image.size;
    // Every block's data and its reply ("OK" CR LF) one after the other.
    const uint64_t blocks = (bytes + 1023) / 1024;
    const double limit = static_cast<double>((bytes + 4 * blocks) * 10) / speed;
    return 100.0 * limit / (static_cast<double>(last - first) / 1e6);
}

// 4. CPU over a whole run at 460800.
double runCpu(const Build& build, const std::string& dir) {
    sim::PhoneConfig phone;
    phone.paceLine = true;
    phone.eraseMs = 10;
    phone.enqIntervalMs = 20;
    phone.transcriptLimit = 1u << 20;
    const Served s = serve(build, dir, phone, {"big.bin", "/l", "/s:460"});
    if (!s.ok) return -1;
    return 100.0 * s.toolCpu / s.wall - background;
}

// 5. A station of n slots at 460800, each phone taking the same 512 KiB
// image, and beside it n bare single runs started at once against the same
// kind of phones: the phones' block rates added up, the wall time, the
// supervisor's own CPU, each worker's (each bare run's), and the paced
// phones' (this process) apart.
struct StationFigures {
    double rate = -1;  // kB/s, all phones' block phases
    double wall = 0;   // s, from the start to the last tool's end
    double supervisorCpu = 0;
    double workerCpu = 0;  // one worker or one bare run, % of a core
    double phoneCpu = 0;   // the virtual phones, % of a core
};

// CPU seconds of a process (own, and of its children it has waited for).
std::pair<double, double> processCpu(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const size_t close = line.rfind(')');
    if (close == std::string::npos) return {-1, -1};
    std::istringstream fields(line.substr(close + 2));
    std::string field;
    long own = 0, children = 0;
    for (int i = 3; fields >> field && i <= 17; ++i) {
        if (i == 14 || i == 15) own += std::atol(field.c_str());
        if (i == 16 || i == 17) children += std::atol(field.c_str());
    }
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    return {own / tick, children / tick};
}

double cpuSeconds(int who) {
    rusage usage{};
    ::getrusage(who, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The station (one tool, --ports) or bare runs (a tool a phone, /c:).
StationFigures stationRun(const std::string& dir, int slots, bool station) {
    StationFigures figures;
    std::vector<std::unique_ptr<sim::PtyServer>> phones;
    std::vector<std::thread> threads;
    for (int i = 0; i < slots; ++i) {
        sim::ServerOptions options;
        options.phone.paceLine = true;
        options.phone.eraseMs = 10;
        options.phone.enqIntervalMs = 20;
        options.phone.transcriptLimit = 1u << 20;
        options.runs = 1;
        options.timeoutMs = 600000;
        phones.push_back(std::make_unique<sim::PtyServer>(options));
        std::string error;
        if (!phones.back()->open(&error)) return figures;
    }
    for (auto& phone : phones)
        threads.emplace_back([&phone] { phone->serve(); });
    const double ownBefore = cpuSeconds(RUSAGE_SELF);
    const double childrenBefore = cpuSeconds(RUSAGE_CHILDREN);
    const auto start = Clock::now();
    std::vector<std::vector<std::string>> lines;
    if (station) {
        std::string ports = "--ports=";
        for (int i = 0; i < slots; ++i) {
            if (i > 0) ports += ',';
            ports += 'S';
            ports += std::to_string(i);
            ports += '=';
            ports += phones[static_cast<size_t>(i)]->slavePath();
        }
        lines.push_back({"half.bin", "/l", "/s:460", ports});
    } else {
        for (auto& phone : phones)
            lines.push_back({"half.bin", "/l", "/s:460", "/c:" + phone->slavePath()});
    }
    const pid_t pid = startTools(dir, lines);
    // The station's own CPU, from its last look at it (the tools' parent's
    // child); the rest is its workers' or the bare runs'.
    std::pair<double, double> cpu{0, 0};
    int status = 0;
    const std::string childList =
        "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children";
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        pid_t tool = 0;
        if (station && std::ifstream(childList) >> tool) {
            const auto now = processCpu(tool);
            if (now.first >= 0) cpu = now;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const bool allVerified = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    figures.wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double children = cpuSeconds(RUSAGE_CHILDREN) - childrenBefore;
    figures.phoneCpu = 100.0 * (cpuSeconds(RUSAGE_SELF) - ownBefore) / figures.wall;
    for (auto& thread : threads)
        thread.join();
    // The station and every worker it reaped; its own from its last look.
    figures.supervisorCpu = station ? 100.0 * cpu.first / figures.wall : 0.0;
    figures.workerCpu = 100.0 * (children - (station ? cpu.first : 0.0)) / slots / figures.wall;
    if (!allVerified) return figures;
    double rate = 0;
    for (auto& phone : phones) {
        if (phone->reports().empty()) return figures;
        sim::Micros first = 0, last = 0;
        uint64_t bytes = 0;
        for (const auto& chunk : phone->reports().front().transcript.chunks()) {
            if (chunk.phase != sim::Phase::Blocks) continue;
            if (first == 0 && chunk.toPhone) first = chunk.time;
            if (!chunk.toPhone) last = chunk.lastTime;
        }
        for (const auto& image : phone->reports().front().images)
            bytes += image.size;
        rate += static_cast<double>(bytes) / (static_cast<double>(last - first) / 1e6) / 1000.0;
    }
    figures.rate = rate;
    return figures;
}

void stationTable(const std::string& dir) {
    std::printf(
        "| slots | blocks, all phones (kB/s) | of slots x one slot | supervisor CPU (%% of "
        "a core) | CPU of a worker | virtual phones' CPU |\n|---|---|---|---|---|---|\n");
    double one = 0;
    for (int slots : {1, 2, 4, 8}) {
        std::fprintf(stderr, "a station of %d slots...\n", slots);
        const StationFigures f = stationRun(dir, slots, true);
        if (slots == 1) one = f.rate;
        if (f.rate < 0) {
            std::printf("| %d | failed | | | | |\n", slots);
            continue;
        }
        std::printf("| %d | %.1f | %.1f %% | %.2f | %.1f | %.1f |\n", slots, f.rate,
                    one > 0 ? 100.0 * f.rate / (one * slots) : 0.0, f.supervisorCpu, f.workerCpu,
                    f.phoneCpu);
    }
    std::printf(
        "\n| slots | station: wall (s) | bare runs: wall (s) | station / bare runs | blocks, "
        "station / bare (kB/s) | CPU per slot, station (%% of a core) | of it the supervisor's | "
        "CPU per bare run |\n|---|---|---|---|---|---|---|---|\n");
    for (int slots : {8, 32}) {
        std::fprintf(stderr, "%d slots: a station, then %d bare runs...\n", slots, slots);
        const StationFigures st = stationRun(dir, slots, true);
        const StationFigures bare = stationRun(dir, slots, false);
        if (st.rate < 0 || bare.rate < 0) {
            std::printf("| %d | failed | | | | | | |\n", slots);
            continue;
        }
        std::printf("| %d | %.2f | %.2f | %.3f | %.1f / %.1f | %.2f | %.3f | %.2f |\n", slots,
                    st.wall, bare.wall, st.wall / bare.wall, st.rate, bare.rate,
                    st.supervisorCpu / slots + st.workerCpu, st.supervisorCpu / slots,
                    bare.workerCpu);
    }
}

std::string cell(double value, const char* format) {
    if (value < 0) return "failed";
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    bool nativeOnly = false;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--native-only") == 0) nativeOnly = true;
        if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) only = argv[++i];
    }
    auto wanted = [&only](const char* what) { return only.empty() || only == what; };
    std::vector<Build> builds = {{"Linux build", false, DOWNLOAD_EXE, PORT_PROBE_EXE}};
    if (only == "station") {
        const std::string scratch = (std::filesystem::temp_directory_path() /
                                     ("bench-station-" + std::to_string(::getpid())))
                                        .string();
        std::filesystem::create_directories(scratch);
        const auto image = sim::makeCrcImage(512 * 1024);
        const std::string loader = sim::makeSampleLoader(0x00080000, 16384);
        sim::writeFile(scratch + "/half.bin", image.data(), image.size());
        sim::writeFile(scratch + "/rb7.s37", loader.data(), loader.size());
        stationTable(scratch);
        std::filesystem::remove_all(scratch);
        return 0;
    }
    if (!nativeOnly && std::filesystem::exists(DOWNLOAD_WINDOWS_EXE) &&
        std::filesystem::exists(winePrefix() + "/system.reg")) {
        builds.push_back({"Windows build (Wine)", true, DOWNLOAD_WINDOWS_EXE, WINDOWS_PROBE_EXE});
    }
    double backgroundShown = 0;
    const std::string dir =
        (std::filesystem::temp_directory_path() / ("bench-tool-" + std::to_string(::getpid())))
            .string();
    std::filesystem::create_directories(dir);
    const auto image = sim::makeCrcImage(256 * 1024);
    const auto big = sim::makeCrcImage(2 * 1024 * 1024);
    const std::string loader = sim::makeSampleLoader(0x00080000, 16384);
    sim::writeFile(dir + "/image.bin", image.data(), image.size());
    sim::writeFile(dir + "/big.bin", big.data(), big.size());
    sim::writeFile(dir + "/rb7.s37", loader.data(), loader.size());
    sim::writeFile(dir + "/k52.s37", loader.data(), loader.size());
    const std::string unsigned_(70000, 'x');  // neither signature nor CRC: two questions
    sim::writeFile(dir + "/unsigned.bin", unsigned_.data(), unsigned_.size());

    std::vector<std::vector<std::string>> rows = {
        {"idle CPU, 10 s ENQ wait (% of a core)"},
        {"CPU of a 9 s erase wait (% of a core)"},
        {"the same after answering two questions"},
        {"the same with a key typed during it"},
        {"byte round trip, median / p90 (ms)"},
        {"block phase at 115200 (% of the protocol limit)"},
        {"block phase at 460800 (% of the protocol limit)"},
        {"the same with --trace=FILE"},
        {"CPU of a 2 MiB run at 460800 (% of a core)"},
    };
    for (const Build& build : builds) {
        std::fprintf(stderr, "measuring the %s...\n", build.name);
        if (build.wine) {
            // One wineserver for every run, started apart from them (with its
            // output nowhere) and kept for the whole measurement.
            const std::string env = "WINEPREFIX='" + winePrefix() + "' WINEDEBUG=-all ";
            const std::string command = env + "wineserver -k >/dev/null 2>&1; " + env +
                                        "wineserver -p600 </dev/null >/dev/null 2>&1";
            [[maybe_unused]] int rc = std::system(command.c_str());
        }
        background = measureBackground(build, dir);
        if (build.wine) backgroundShown = background;
        size_t row = 0;
        rows[row++].push_back(wanted("idle") ? cell(idleCpu(build, dir), "%.1f") : "-");
        for (EraseWait kind : {EraseWait::Plain, EraseWait::AfterQuestions, EraseWait::KeyTyped})
            rows[row++].push_back(wanted("erase") ? cell(eraseCpu(build, dir, kind), "%.1f") : "-");
        const auto ms = wanted("wake") ? wakeUps(build, dir) : std::vector<double>{};
        rows[row++].push_back(!wanted("wake") ? "-"
                              : ms.empty()    ? "failed"
                                              : cell(ms[ms.size() / 2], "%.3f") + " / " +
                                                 cell(ms[ms.size() * 9 / 10], "%.3f"));
        rows[row++].push_back(wanted("blocks") ? cell(blockShare(build, dir, 115200), "%.1f")
                                               : "-");
        rows[row++].push_back(wanted("blocks") ? cell(blockShare(build, dir, 460800), "%.1f")
                                               : "-");
        rows[row++].push_back(wanted("blocks") ? cell(blockShare(build, dir, 460800, true), "%.1f")
                                               : "-");
        rows[row++].push_back(wanted("run") ? cell(runCpu(build, dir), "%.1f") : "-");
    }
    std::printf("| measure |");
    for (const Build& build : builds)
        std::printf(" %s |", build.name);
    std::printf("\n|---|");
    for (size_t i = 0; i < builds.size(); ++i)
        std::printf("---|");
    std::printf("\n");
    for (const auto& row : rows) {
        std::printf("| %s |", row[0].c_str());
        for (size_t i = 1; i < row.size(); ++i)
            std::printf(" %s |", row[i].c_str());
        std::printf("\n");
    }
    if (backgroundShown > 0) {
        std::printf(
            "\nUnder Wine every process of the prefix counts, the wineserver included, less "
            "the %.1f %% the prefix uses with its services up and no tool running.\n",
            backgroundShown);
    }
    std::filesystem::remove_all(dir);
    return 0;
}
