#include "tests/serial/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>

Pty::Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) return;
    if (grantpt(master_) != 0 || unlockpt(master_) != 0) {
        closeMaster();
        return;
    }
    slave_ = ptsname(master_);
}

Pty::~Pty() {
    closeHeldSlave();
    closeMaster();
}

bool Pty::holdSlaveRaw() {
    heldSlave_ = open(slave_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (heldSlave_ < 0) return false;
    termios t;
    if (tcgetattr(heldSlave_, &t) != 0) return false;
    cfmakeraw(&t);
    return tcsetattr(heldSlave_, TCSANOW, &t) == 0;
}

void Pty::closeMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
}

void Pty::closeHeldSlave() {
    if (heldSlave_ >= 0) close(heldSlave_);
    heldSlave_ = -1;
}

termios Pty::settings() const {
    termios t{};
    tcgetattr(master_, &t);
    return t;
}

void Pty::write(const std::string& bytes) const {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

std::string Pty::read(size_t n, int timeoutMs) const {
    std::string bytes;
    while (bytes.size() < n) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) break;
        char buffer[4096];
        size_t want = n - bytes.size();
        ssize_t got = ::read(master_, buffer, want < sizeof buffer ? want : sizeof buffer);
        if (got <= 0) break;
        bytes.append(buffer, static_cast<size_t>(got));
    }
    return bytes;
}

std::string Pty::readAvailable() const {
    std::string bytes;
    for (;;) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0) break;
        char buffer[4096];
        ssize_t got = ::read(master_, buffer, sizeof buffer);
        if (got <= 0) break;
        bytes.append(buffer, static_cast<size_t>(got));
    }
    return bytes;
}

int Pty::queued() const {
    int level = 0;
    return ioctl(master_, FIONREAD, &level) == 0 ? level : -1;
}

std::string allByteValues() {
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes.push_back(static_cast<char>(i));
    return bytes;
}
