// A pseudo-terminal pair for driver tests: the port opens the slave, the test
// plays the far side on the master.
#pragma once

#include <termios.h>

#include <string>

class Pty {
public:
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool ok() const { return master_ >= 0; }
    int master() const { return master_; }
    const std::string& slavePath() const { return slave_; }
    // Opens the slave here too, in raw mode, so the pair outlives the
    // program under test and no echo or line editing touches the bytes.
    bool holdSlaveRaw();
    void closeMaster();
    void closeHeldSlave();

    // The slave's settings as the master side sees them.
    termios settings() const;
    void write(const std::string& bytes) const;
    // Reads exactly n bytes, waiting up to timeoutMs for each; fewer on time-out.
    std::string read(size_t n, int timeoutMs = 2000) const;
    // Whatever is waiting now.
    std::string readAvailable() const;
    // How many bytes are waiting, unread.
    int queued() const;

private:
    int master_ = -1;
    int heldSlave_ = -1;
    std::string slave_;
};

// Every byte value 0..255, in order.
std::string allByteValues();
