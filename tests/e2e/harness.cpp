#include "tests/e2e/harness.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "sim/options.h"
#include "sim/samples.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wine.h"

extern char** environ;

namespace e2e {

namespace {

using Clock = std::chrono::steady_clock;

// A COM number of the range kept for these tests, held through a lock file
// for as long as the object lives, so that parallel tests never share one.
class ComNumber {
public:
    ComNumber() {
        for (int n = 30; n <= 59; ++n) {
            const std::string path = "/tmp/download-e2e-com" + std::to_string(n) + ".lock";
            const int fd = ::open(path.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0666);
            if (fd < 0) continue;
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
                number_ = n;
                fd_ = fd;
                return;
            }
            ::close(fd);
        }
    }
    ~ComNumber() {
        if (fd_ >= 0) ::close(fd_);
    }
    ComNumber(const ComNumber&) = delete;
    ComNumber& operator=(const ComNumber&) = delete;
    int number() const { return number_; }

private:
    int number_ = -1;
    int fd_ = -1;
};

// The phone as a thread of this process.
class ThreadPhone {
public:
    ThreadPhone(const sim::PhoneConfig& config, uint32_t timeoutMs, uint32_t runs = 1) {
        sim::ServerOptions options;
        options.phone = config;
        options.runs = runs;
        options.timeoutMs = timeoutMs;
        server_ = std::make_shared<sim::PtyServer>(options);
        std::string error;
        if (!server_->open(&error)) {
            ADD_FAILURE() << "cannot open the phone's pty: " << error;
            return;
        }
        thread_ = std::thread([this] {
            server_->serve();
            finished_ = true;
        });
    }
    ~ThreadPhone() { finish(0); }
    std::string path() const { return server_->slavePath(); }
    // Lets the run end by itself for a while, then stops the phone.
    void finish(int graceMs) {
        if (!thread_.joinable()) return;
        const auto end = Clock::now() + std::chrono::milliseconds(graceMs);
        while (!finished_ && Clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        server_->stop();
        thread_.join();
    }
    std::shared_ptr<sim::PtyServer> server() const { return server_; }
    void collect(Result* result) {
        const auto& reports = server_->reports();
        result->server = server_;
        result->flashBase = server_->flash().base();
        if (reports.empty()) return;
        const auto& report = reports.front();
        result->phone.served = true;
        result->phone.verdict = report.verdict;
        result->phone.transcript = report.transcript;
        result->phone.images = report.images;
        result->phone.loaderLines = report.loaderLines.size();
    }

private:
    std::shared_ptr<sim::PtyServer> server_;
    std::thread thread_;
    std::atomic<bool> finished_{false};
};

// Reads what is there on a non-blocking descriptor.
void drain(int fd, std::string* out) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) return;
        if (out != nullptr) out->append(buffer, static_cast<size_t>(n));
    }
}

// The phone as phonesim, a child process.
class ChildPhone {
public:
    ChildPhone(const sim::PhoneConfig& config, const std::string& dir, uint32_t timeoutSeconds)
        : dir_(dir) {
        std::vector<std::string> args = {PHONESIM_EXE,
                                         "--runs",
                                         "1",
                                         "--timeout",
                                         std::to_string(timeoutSeconds),
                                         "--quiet",
                                         "--transcript",
                                         dir + "/phone-transcript.txt",
                                         "--report",
                                         dir + "/phone-report.txt",
                                         "--dump",
                                         dir + "/phone-flash.bin"};
        const auto switches = sim::phoneSwitches(config);
        args.insert(args.end(), switches.begin(), switches.end());
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) return;
        const ExecCall call(args);
        pid_ = ::fork();
        if (pid_ < 0) {
            ADD_FAILURE() << "cannot start phonesim";
            ::close(out[0]);
            ::close(out[1]);
            return;
        }
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            call.exec();
        }
        ::close(out[1]);
        // The first line is the terminal's path.
        const auto end = Clock::now() + std::chrono::seconds(10);
        std::string line;
        while (line.find('\n') == std::string::npos && Clock::now() < end) {
            pollfd fd = {out[0], POLLIN, 0};
            if (::poll(&fd, 1, 20) <= 0) continue;
            char buffer[256];
            const ssize_t n = ::read(out[0], buffer, sizeof buffer);
            if (n <= 0) break;
            line.append(buffer, static_cast<size_t>(n));
        }
        ::close(out[0]);
        if (line.find('\n') == std::string::npos) {
            ADD_FAILURE() << "phonesim did not name its terminal";
            return;
        }
        path_ = line.substr(0, line.find('\n'));
    }
    ~ChildPhone() { finish(0); }
    const std::string& path() const { return path_; }
    void finish(int graceMs) {
        if (pid_ <= 0) return;
        const auto end = Clock::now() + std::chrono::milliseconds(graceMs);
        int status = 0;
        pid_t done = 0;
        while ((done = ::waitpid(pid_, &status, WNOHANG)) == 0 && Clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (done == 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, &status, 0);
        }
        pid_ = -1;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void collect(Result* result) {
        result->phone.phonesimStatus = status_;
        result->flashDump = readFile(dir_ + "/phone-flash.bin");
        const std::string reportText = readFile(dir_ + "/phone-report.txt");
        if (reportText.empty()) return;
        sim::RunReport report;
        if (!sim::parseReport(reportText, &report)) {
            ADD_FAILURE() << "unreadable phonesim report:\n" << reportText;
            return;
        }
        auto transcript = sim::Transcript::parse(readFile(dir_ + "/phone-transcript.txt"));
        if (!transcript) ADD_FAILURE() << "unreadable phonesim transcript";
        result->phone.served = true;
        result->phone.verdict = report.verdict;
        if (transcript) result->phone.transcript = *transcript;
        result->phone.images = report.images;
        result->phone.loaderLines = report.loaderLines.size();
    }

private:
    std::string dir_;
    std::string path_;
    pid_t pid_ = -1;
    int status_ = -1;
};

std::string normaliseLineEnds(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out += text[i];
    }
    return out;
}

// The child of `parent` whose command line holds `argument` (a station's
// worker, by its /c:), or -1.
pid_t childWith(pid_t parent, const std::string& argument) {
    for (const int pid : childProcesses(parent)) {
        const std::string command = readFile("/proc/" + std::to_string(pid) + "/cmdline");
        if (command.find(std::string(1, '\0') + argument + '\0') != std::string::npos) return pid;
    }
    return -1;
}

// Runs the tool with its console on a pseudo-terminal and its output in a
// pipe, typing the scenario's keys (a station's workers are on `workerDevices`).
void runTool(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
             const std::string& dir, const Scenario& scenario, Result* result,
             const std::vector<std::string>& workerDevices = {}) {
    const int console = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (console < 0 || ::grantpt(console) != 0 || ::unlockpt(console) != 0) {
        ADD_FAILURE() << "no console pty";
        return;
    }
    char consoleName[128];
    ::ptsname_r(console, consoleName, sizeof consoleName);
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(console);
        return;
    }
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        ::close(console);
        return;
    }
    const ExecCall call(argv, environment);
    const pid_t pid = ::fork();
    if (pid < 0) {
        ADD_FAILURE() << "cannot start " << argv[0];
        for (int fd : {out[0], out[1], err[0], err[1], console})
            ::close(fd);
        return;
    }
    if (pid == 0) {
        ::setsid();
        const int tty = ::open(consoleName, O_RDWR);
        if (tty < 0) ::_exit(126);
        if (scenario.background) {
            // Another process group takes the terminal's foreground (and
            // ends with the tool), as a shell's does for a job run with &.
            const pid_t foreground = ::fork();
            if (foreground == 0) {
                ::setpgid(0, 0);
                ::prctl(PR_SET_PDEATHSIG, SIGKILL);
                for (;;)
                    ::pause();
            }
            ::setpgid(foreground, foreground);
            ::tcsetpgrp(tty, foreground);
        }
        if (scenario.fileSizeLimit > 0) {
            const rlimit limit{scenario.fileSizeLimit, scenario.fileSizeLimit};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            ::signal(SIGXFSZ, SIG_IGN);
        }
        if (!scenario.consoleSignals) {
            termios t{};
            ::tcgetattr(tty, &t);
            t.c_lflag &= ~static_cast<tcflag_t>(ISIG);
            ::tcsetattr(tty, TCSANOW, &t);
        }
        for (int sig : scenario.ignoredSignals)
            ::signal(sig, SIG_IGN);
        ::dup2(tty, 0);
        ::dup2(scenario.outputOnConsole ? tty : out[1], 1);
        ::dup2(err[1], 2);
        if (::chdir(dir.c_str()) != 0) ::_exit(126);
        call.exec();
    }
    ::close(out[1]);
    ::close(err[1]);
    ::fcntl(out[0], F_SETFL, O_NONBLOCK);
    ::fcntl(err[0], F_SETFL, O_NONBLOCK);
    ::fcntl(console, F_SETFL, O_NONBLOCK);

    const auto deadline =
        Clock::now() + std::chrono::milliseconds(static_cast<long>(scenario.timeoutSeconds * 1000));
    size_t nextKey = 0;
    size_t searchFrom = 0;
    bool keyDue = false;
    Clock::time_point keyAt;
    int consoleFd = console;
    int status = 0;
    std::string raw;
    std::string rawErrors;
    for (;;) {
        pollfd fds[2] = {{out[0], POLLIN, 0}, {consoleFd, POLLIN, 0}};
        ::poll(fds, consoleFd >= 0 ? 2 : 1, 10);
        drain(out[0], &raw);
        drain(err[0], &rawErrors);
        // The terminal's own echo, if any, or the output.
        if (consoleFd >= 0) drain(consoleFd, scenario.outputOnConsole ? &raw : nullptr);
        const std::string text = normaliseLineEnds(raw);
        if (nextKey < scenario.keys.size()) {
            const Key& key = scenario.keys[nextKey];
            if (!keyDue) {
                const size_t at = key.after.empty() ? searchFrom : text.find(key.after, searchFrom);
                if (at != std::string::npos) {
                    keyDue = true;
                    keyAt = Clock::now() + std::chrono::milliseconds(key.delayMs);
                    searchFrom = at + key.after.size();
                }
            }
            if (keyDue && Clock::now() >= keyAt) {
                std::string typed(1, key.key);
                typed += key.also;
                if (key.action) {
                    key.action(pid, dir);
                } else if (key.closeOutput) {
                    ::close(out[0]);
                    out[0] = -1;
                } else if (key.sig != 0 && key.workerSlot >= 0) {
                    const auto slot = static_cast<size_t>(key.workerSlot);
                    const pid_t worker = slot < workerDevices.size()
                                             ? childWith(pid, "/c:" + workerDevices[slot])
                                             : -1;
                    if (worker > 0) ::kill(worker, key.sig);
                    EXPECT_GT(worker, 0) << "no worker on slot " << slot;
                } else if (key.sig != 0) {
                    ::kill(pid, key.sig);
                } else {
                    [[maybe_unused]] ssize_t w = ::write(consoleFd, typed.data(), typed.size());
                }
                keyDue = false;
                ++nextKey;
                result->keysTyped = nextKey;
            }
        } else if (scenario.closeConsole && consoleFd >= 0) {
            ::close(consoleFd);
            consoleFd = -1;
        }
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            result->exitMicros =
                static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                          Clock::now().time_since_epoch())
                                          .count());
            // Not waiting for the end of the pipe: under Wine, the wineserver
            // may hold it open long after the program has gone.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            drain(out[0], &raw);
            drain(err[0], &rawErrors);
            result->exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            break;
        }
        if (Clock::now() >= deadline) {
            result->timedOut = true;
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            drain(out[0], &raw);
            drain(err[0], &rawErrors);
            break;
        }
    }
    if (out[0] >= 0) ::close(out[0]);
    ::close(err[0]);
    if (consoleFd >= 0) ::close(consoleFd);
    result->output = normaliseLineEnds(raw);
    result->errors = normaliseLineEnds(rawErrors);
}

void writeFiles(const TempDir& dir, const Scenario& scenario) {
    for (const auto& [name, contents] : scenario.files)
        dir.write(name, contents);
}

void readBack(const TempDir& dir, const Scenario& scenario, Result* result) {
    for (const auto& name : scenario.readBack) {
        if (name.empty() || name.back() != '/') {
            result->files[name] = readFile(dir.file(name));
            continue;
        }
        std::error_code none;
        for (const auto& entry : std::filesystem::directory_iterator(dir.file(name), none))
            result->files[name + entry.path().filename().string()] = readFile(entry.path());
    }
}

// Whether a device can be taken at once: no lock, no exclusive mode on it.
bool deviceFree(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    int exclusive = 0;
    const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
                      ::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive == 0;
    ::close(fd);
    return free;
}

Result runStation(const Scenario& scenario, bool wine) {
    Result result;
    TempDir dir;
    writeFiles(dir, scenario);
    const auto phoneTimeout = static_cast<uint32_t>(scenario.timeoutSeconds) + 30;
    std::vector<std::unique_ptr<ThreadPhone>> phones;
    std::vector<std::unique_ptr<ComNumber>> coms;
    std::string slots;
    std::vector<std::string> devices;
    for (const sim::PhoneConfig& config : scenario.stationPhones) {
        phones.push_back(
            std::make_unique<ThreadPhone>(config, phoneTimeout * 1000, scenario.stationRuns));
        std::string device = phones.back()->path();
        if (wine) {
            coms.push_back(std::make_unique<ComNumber>());
            linkWineComPort(coms.back()->number(), device);
            device = "COM" + std::to_string(coms.back()->number());
        }
        devices.push_back(device);
        if (scenario.stationDevice && !wine) device = scenario.stationDevice(device, dir.path());
        slots += std::string(slots.empty() ? "--ports=" : ",") +
                 static_cast<char>('A' + phones.size() - 1) + "=" + device;
    }
    std::vector<std::string> args = scenario.args;
    args.push_back(slots);
    std::vector<std::string> argv = {nativeExe()};
    if (scenario.toolCopy) {
        argv[0] = dir.file("download");
        std::filesystem::copy_file(nativeExe(), argv[0]);
    }
    argv.insert(argv.end(), args.begin(), args.end());
    runTool(wine ? wineCommand(windowsExe(), args) : argv,
            wine ? wineEnvironment() : scenario.environment, dir.path(), scenario, &result,
            devices);
    for (const auto& phone : phones)
        result.stationPortsFree.push_back(deviceFree(phone->path()));
    for (const auto& com : coms)
        unlinkWineComPort(com->number());
    readBack(dir, scenario, &result);
    for (const auto& phone : phones) {
        phone->finish(3000);
        result.stationServers.push_back(phone->server());
    }
    return result;
}

Result runScenario(const Scenario& scenario, bool wine) {
    if (!scenario.stationPhones.empty()) return runStation(scenario, wine);
    Result result;
    TempDir dir;
    writeFiles(dir, scenario);
    const auto phoneTimeout = static_cast<uint32_t>(scenario.timeoutSeconds) + 30;
    std::unique_ptr<ThreadPhone> threadPhone;
    std::unique_ptr<ChildPhone> childPhone;
    std::string device;
    if (scenario.phoneProcess) {
        childPhone = std::make_unique<ChildPhone>(scenario.phone, dir.path(), phoneTimeout);
        device = childPhone->path();
    } else {
        threadPhone = std::make_unique<ThreadPhone>(scenario.phone, phoneTimeout * 1000);
        device = threadPhone->path();
    }
    if (device.empty()) return result;

    std::vector<std::string> args = scenario.args;
    std::unique_ptr<ComNumber> com;
    if (wine) {
        com = std::make_unique<ComNumber>();
        if (com->number() < 0) {
            ADD_FAILURE() << "no free COM number in 30-59";
            return result;
        }
        linkWineComPort(com->number(), device);
        result.portName = "COM" + std::to_string(com->number());
    } else {
        result.portName = device;
    }
    if (scenario.addPort) {
        std::string option = "/c:" + result.portName;
        if (wine && scenario.portByNumber) {
            option.assign(1, '/');
            option.append(std::to_string(com->number()));
        }
        args.push_back(option);
    }
    const std::vector<std::string> argv = wine ? wineCommand(windowsExe(), args) : [&] {
        std::vector<std::string> a = {nativeExe()};
        a.insert(a.end(), args.begin(), args.end());
        return a;
    }();
    runTool(argv, wine ? wineEnvironment() : std::vector<std::string>{}, dir.path(), scenario,
            &result);
    if (wine) unlinkWineComPort(com->number());
    readBack(dir, scenario, &result);

    // The phone's run ends when the tool's port closes; give it a moment.
    if (threadPhone) {
        threadPhone->finish(3000);
        threadPhone->collect(&result);
    } else {
        childPhone->finish(3000);
        childPhone->collect(&result);
        result.flashBase = scenario.phone.flashBase;
    }
    return result;
}

}  // namespace

std::vector<int> childProcesses(int parent) {
    std::vector<int> children;
    std::error_code none;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", none)) {
        const std::string pid = entry.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string stat = readFile(entry.path() / "stat");
        const size_t paren = stat.rfind(')');  // "pid (name) S ppid ..."
        if (paren != std::string::npos &&
            std::atol(stat.c_str() + std::min(paren + 4, stat.size())) == parent)
            children.push_back(std::atoi(pid.c_str()));
    }
    return children;
}

std::string nativeExe() {
    return DOWNLOAD_EXE;
}

std::string windowsExe() {
    return DOWNLOAD_WINDOWS_EXE;
}

Result run(const Scenario& scenario) {
    return runScenario(scenario, false);
}

Result runWine(const Scenario& scenario) {
    return runScenario(scenario, true);
}

std::string Result::flash(uint32_t address, size_t length) const {
    if (server) {
        const auto bytes = server->flash().read(address, length);
        return std::string(bytes.begin(), bytes.end());
    }
    if (address < flashBase || address - flashBase > flashDump.size()) return std::string();
    return flashDump.substr(address - flashBase, length);
}

std::string Result::phoneReport() const {
    std::string text = "phone: ";
    text += !phone.served                ? "never opened"
            : phone.verdict.wellFormed() ? "well-formed run"
            : phone.verdict.ended        ? "ended with faults"
                                         : "ended early";
    text += "\n";
    for (const auto& v : phone.verdict.violations)
        text += "  fault of the tool: " + v + "\n";
    for (const auto& n : phone.verdict.notes)
        text += "  note: " + n + "\n";
    text += "tool output:\n" + output + "standard error:\n" + errors;
    return text;
}

double Result::secondsFromLastByteToExit() const {
    uint64_t last = 0;
    for (const auto& chunk : transcript().chunks())
        last = std::max<uint64_t>(last, chunk.lastTime);
    if (last == 0 || exitMicros < last) return 0;
    return static_cast<double>(exitMicros - last) / 1e6;
}

Scenario smallRun(double timeoutSeconds) {
    Scenario s;
    s.files["rb7.s37"] = sampleLoader();
    s.files["a.bin"] = crcImage(3000);
    s.args = {"a.bin", "/l"};
    s.phone.enqIntervalMs = 20;
    s.timeoutSeconds = timeoutSeconds;
    return s;
}

std::string sampleLoader() {
    return sim::makeSampleLoader();
}

std::string crcImage(size_t size, uint32_t seed) {
    const auto bytes = sim::makeCrcImage(size, seed);
    return std::string(bytes.begin(), bytes.end());
}

std::string blockImage(const std::string& pattern) {
    const auto bytes = sim::makeBlockImage(pattern);
    return std::string(bytes.begin(), bytes.end());
}

size_t count(const std::string& haystack, const std::string& needle) {
    if (needle.empty()) return 0;
    size_t n = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos;
         at = haystack.find(needle, at + needle.size()))
        ++n;
    return n;
}

}  // namespace e2e
