#include "sim/pty_server.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <utility>

namespace sim {

namespace {

struct SpeedCode {
    speed_t code;
    uint32_t speed;
};
const SpeedCode kSpeeds[] = {
    {B1200, 1200},     {B2400, 2400},     {B4800, 4800},     {B9600, 9600},
    {B19200, 19200},   {B38400, 38400},   {B57600, 57600},   {B115200, 115200},
    {B230400, 230400}, {B460800, 460800}, {B921600, 921600},
};

// How long one byte takes on the line, in microseconds.
double byteTime(const LineSettings& line) {
    return line.speed == 0 ? 0.0 : 1e6 * line.bitsPerByte() / line.speed;
}

constexpr Micros kIdleWaitUs = 3000;  // how often a closed port is looked at
constexpr Micros kMaxSleepUs = 100000;

}  // namespace

Micros monotonicMicros() {
    return static_cast<Micros>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

bool readLineSettings(int fd, LineSettings* line) {
    struct termios t;
    if (tcgetattr(fd, &t) != 0) return false;
    const speed_t code = cfgetospeed(&t);
    line->speed = 0;
    for (const auto& s : kSpeeds)
        if (s.code == code) line->speed = s.speed;
    switch (t.c_cflag & CSIZE) {
        case CS5:
            line->dataBits = 5;
            break;
        case CS6:
            line->dataBits = 6;
            break;
        case CS7:
            line->dataBits = 7;
            break;
        default:
            line->dataBits = 8;
            break;
    }
    line->parity = (t.c_cflag & PARENB) == 0 ? 'N' : ((t.c_cflag & PARODD) != 0 ? 'O' : 'E');
    line->stopBits = (t.c_cflag & CSTOPB) != 0 ? 2 : 1;
    line->raw = (t.c_lflag & (ICANON | ECHO | ISIG)) == 0 &&
                (t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON)) == 0 &&
                (t.c_oflag & OPOST) == 0;
    return true;
}

PtyServer::PtyServer(ServerOptions options)
    : options_(std::move(options)),
      flash_(std::make_shared<FlashMemory>(options_.phone.flashBase, options_.phone.flashSize,
                                           options_.phone.flashBlank)) {}

PtyServer::~PtyServer() {
    closeMaster();
    for (int& fd : stopPipe_) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    if (linked_) ::unlink(options_.linkPath.c_str());
}

void PtyServer::closeMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
}

bool PtyServer::open(std::string* error) {
    auto fail = [error](const std::string& what) {
        if (error != nullptr) *error = what + ": " + std::strerror(errno);
        return false;
    };
    if (::pipe2(stopPipe_, O_NONBLOCK | O_CLOEXEC) != 0) return fail("pipe");
    // Not inherited: a child holding the master would keep a hang-up from reaching the tool.
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0) return fail("posix_openpt");
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return fail("grantpt");
    char name[128];
    if (::ptsname_r(master_, name, sizeof name) != 0) return fail("ptsname");
    slavePath_ = name;
    // Until a slave has been opened once the master shows no hang-up; open
    // and close it here so that "nobody has the port open" is visible.
    const int slave = ::open(name, O_RDWR | O_NOCTTY);
    if (slave < 0) return fail("open " + slavePath_);
    ::close(slave);
    // Raw at 9600 until the tool sets the line: a phone that hears a tool
    // that never set its port hears the wrong speed.
    struct termios t;
    if (tcgetattr(master_, &t) != 0) return fail("tcgetattr");
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    if (tcsetattr(master_, TCSANOW, &t) != 0) return fail("tcsetattr");
    if (!options_.linkPath.empty()) {
        ::unlink(options_.linkPath.c_str());
        if (::symlink(slavePath_.c_str(), options_.linkPath.c_str()) != 0)
            return fail("symlink " + options_.linkPath);
        linked_ = true;
    }
    return true;
}

void PtyServer::stop() {
    stopping_ = true;
    if (stopPipe_[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] ssize_t n = ::write(stopPipe_[1], &byte, 1);
    }
}

void PtyServer::serve() {
    if (master_ < 0) return;
    const Micros start = monotonicMicros();
    const Micros deadline =
        options_.timeoutMs == 0 ? UINT64_MAX : start + Micros{options_.timeoutMs} * 1000;
    uint32_t served = 0;
    while (!stopping_ && master_ >= 0 && (options_.runs == 0 || served < options_.runs)) {
        // Wait until the tool opens the port: the master reports a hang-up
        // as long as no slave is open.
        pollfd fds[2] = {{master_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        const int n = ::poll(fds, 1, 0);
        // Bytes left by a tool that has already closed the port make a run too.
        const bool slaveOpen =
            n == 0 ||
            (n > 0 && ((fds[0].revents & POLLHUP) == 0 || (fds[0].revents & POLLIN) != 0));
        if (!slaveOpen) {
            if (monotonicMicros() >= deadline) {
                timedOut_ = true;
                break;
            }
            ::poll(&fds[1], 1, static_cast<int>(kIdleWaitUs / 1000));
            continue;
        }
        ++served;
        if (!serveRun(deadline)) break;
    }
}

// One run, from the opening of the port to its closing. False when serving
// must end (stop, time-out, hang-up).
bool PtyServer::serveRun(Micros deadline) {
    const PhoneConfig& config = options_.phone;
    PhoneModel model(config, flash_, monotonicMicros());
    struct Incoming {
        double due;
        LineSettings line;
        uint8_t byte;
    };
    std::deque<Incoming> incoming;
    double inFree = 0;   // when the line towards the phone is free again
    double outFree = 0;  // same, towards the tool
    bool outIdle = true;
    std::string unwritten;
    bool keepServing = true;
    bool open = true;

    while (open) {
        Micros now = monotonicMicros();
        if (stopping_ || now >= deadline) {
            timedOut_ = !stopping_;
            keepServing = false;
            break;
        }
        LineSettings line;
        readLineSettings(master_, &line);

        // Bytes from the tool.
        for (;;) {
            uint8_t buffer[4096];
            const ssize_t got = ::read(master_, buffer, sizeof buffer);
            if (got > 0) {
                const auto count = static_cast<size_t>(got);
                if (!config.paceLine) {
                    model.receive(buffer, count, line, now);
                    continue;
                }
                const double bt = byteTime(line);
                for (size_t i = 0; i < count; ++i) {
                    inFree = std::max(inFree, static_cast<double>(now)) + bt;
                    incoming.push_back({inFree, line, buffer[i]});
                }
                continue;
            }
            if (got < 0 && (errno == EAGAIN || errno == EINTR)) break;
            open = false;  // EIO: the tool closed the port
            break;
        }
        while (!incoming.empty() && incoming.front().due <= static_cast<double>(now)) {
            const Incoming& in = incoming.front();
            model.receive(&in.byte, 1, in.line, static_cast<Micros>(in.due));
            incoming.pop_front();
        }
        model.advance(now);
        if (model.hungUp()) {
            // The device disappears: the tool's port reports the loss.
            closeMaster();
            keepServing = false;
            break;
        }

        // Bytes to the tool.
        if (unwritten.empty()) {
            size_t allowed = SIZE_MAX;
            const double bt = byteTime(line);
            if (config.paceLine && bt > 0) {
                const auto t = static_cast<double>(now);
                // After a quiet line the next byte starts now and is heard a
                // byte time later.
                if (outIdle && model.outputDue(now)) {
                    outFree = t;
                    outIdle = false;
                }
                allowed = static_cast<size_t>((t - outFree) / bt + 1e-6);
            }
            if (allowed > 0) {
                unwritten = model.takeOutput(line, now, allowed);
                if (config.paceLine) {
                    outFree += bt * static_cast<double>(unwritten.size());
                    if (unwritten.size() < allowed && !model.outputDue(now)) outIdle = true;
                }
            }
        }
        while (!unwritten.empty() && open) {
            const ssize_t put = ::write(master_, unwritten.data(), unwritten.size());
            if (put > 0) {
                unwritten.erase(0, static_cast<size_t>(put));
                continue;
            }
            if (put < 0 && (errno == EAGAIN || errno == EINTR)) break;
            open = false;
        }
        if (!open) break;

        // Sleep until the next thing to do.
        now = monotonicMicros();
        Micros wake = now + kMaxSleepUs;
        auto consider = [&wake](Micros t) { wake = std::min(wake, t); };
        if (auto next = model.nextEvent()) {
            if (config.paceLine && model.outputPending())
                consider(std::max(*next, static_cast<Micros>(std::ceil(outFree + byteTime(line)))));
            else
                consider(*next);
        }
        if (!incoming.empty()) consider(static_cast<Micros>(std::ceil(incoming.front().due)));
        consider(deadline);
        pollfd fds[2] = {
            {master_, static_cast<short>(unwritten.empty() ? POLLIN : POLLIN | POLLOUT), 0},
            {stopPipe_[0], POLLIN, 0}};
        const Micros sleepUs = wake > now ? wake - now : 0;
        struct timespec timeout;
        timeout.tv_sec = static_cast<time_t>(sleepUs / 1000000);
        timeout.tv_nsec = static_cast<long>((sleepUs % 1000000) * 1000);
        const int n = ::ppoll(fds, 2, &timeout, nullptr);
        if (n > 0 && (fds[0].revents & POLLHUP) != 0 && (fds[0].revents & POLLIN) == 0)
            open = false;
        if (n > 0 && (fds[1].revents & POLLIN) != 0) {
            char drain[16];
            [[maybe_unused]] ssize_t r = ::read(stopPipe_[0], drain, sizeof drain);
        }
    }
    // Bytes the tool sent before it closed the port are still on the line.
    for (const Incoming& in : incoming)
        model.receive(&in.byte, 1, in.line, static_cast<Micros>(in.due));
    // Whatever the phone still had to say is lost with the closed port; the
    // next run starts clean.
    if (master_ >= 0) {
        uint8_t scrap[4096];
        while (::read(master_, scrap, sizeof scrap) > 0) {
        }
    }
    RunReport report;
    report.verdict = model.verdict();
    report.transcript = model.transcript();
    report.images = model.images();
    report.loaderLines = model.loaderLines();
    report.loaderBytes = model.loaderBytes();
    reports_.push_back(std::move(report));
    return keepServing && !model.hungUp();
}

}  // namespace sim
