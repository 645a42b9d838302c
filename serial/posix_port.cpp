// POSIX termios driver: the same slots and status codes as the Win32 driver,
// over a non-blocking tty descriptor.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "serial/port.h"

#if defined(__linux__)
#include <linux/serial.h>
#endif

namespace {

struct PosixPortData {
    uint32_t rx_queue_size;
    uint32_t tx_queue_size;
    // The line as last composed; every setting operation edits these and
    // applies all of them.
    int32_t speed;
    char parity;  // upper-case N, O, E, M or S
    int32_t data_bits;
    int32_t stop_bits;
    bool xon_xoff;
    bool rts_cts;
    termios tio;
    uint32_t line_errors;  // Win32 CE_ bit positions
    int fd;
#if defined(TIOCGICOUNT)
    serial_icounter_struct counters;
    bool have_counters;
#endif
    int entry;  // in open_devices, -1 when the table was full
};

// Win32 line-error bits, kept so both drivers report alike.
constexpr uint32_t kErrRxOver = 0x0001;
constexpr uint32_t kErrOverrun = 0x0002;
constexpr uint32_t kErrParity = 0x0004;
constexpr uint32_t kErrFrame = 0x0008;
constexpr uint32_t kErrBreak = 0x0010;

PosixIoctl ioctl_seam = nullptr;

int dev_ioctl(int fd, unsigned long request, void* arg = nullptr) {
    return ioctl_seam != nullptr ? ioctl_seam(fd, request, arg) : ioctl(fd, request, arg);
}

// The open ports, for their release on a terminating signal: what a normal
// close puts back, kept where a signal handler can reach it. An entry is
// filled before its descriptor is published, and freed by clearing that.
struct OpenDevice {
    volatile sig_atomic_t fd_plus_one;  // 0: a free entry
#if defined(TIOCGSERIAL)
    serial_struct saved_serial;  // the driver's flags before ours
    volatile sig_atomic_t restore_serial;
#endif
};
constexpr int kMaxOpenPorts = 16;
OpenDevice open_devices[kMaxOpenPorts];

int remember_device(int fd) {
    for (int i = 0; i < kMaxOpenPorts; ++i) {
        if (open_devices[i].fd_plus_one == 0) {
#if defined(TIOCGSERIAL)
            open_devices[i].restore_serial = 0;
#endif
            open_devices[i].fd_plus_one = fd + 1;
            return i;
        }
    }
    return -1;
}

// The last steps of every close, also on a signal: the driver's flags put
// back, exclusive mode off, the entry freed, the descriptor closed. Only
// async-signal-safe calls.
int release_device(int fd, int entry) {
    if (entry >= 0) {
#if defined(TIOCGSERIAL)
        OpenDevice& device = open_devices[entry];
        if (device.restore_serial != 0) dev_ioctl(fd, TIOCSSERIAL, &device.saved_serial);
#endif
        open_devices[entry].fd_plus_one = 0;
    }
    dev_ioctl(fd, TIOCNXCL);
    return ::close(fd);  // also drops the flock
}

PosixPortData* data_of(SerialPort* port) {
    return static_cast<PosixPortData*>(port->driver);
}

int32_t fail(SerialPort* port, int32_t code = PORT_FAILED) {
    port->status = code;
    return code;
}

// A failed open: the status, and the system's own reason kept beside it.
int32_t fail_open(SerialPort* port, int32_t code, int error, const char* reason = nullptr) {
    port_set_os_error(port, error, reason != nullptr ? reason : std::strerror(error));
    return fail(port, code);
}

struct SpeedCode {
    int32_t bps;
    speed_t code;
};

constexpr SpeedCode kSpeeds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400},
#if defined(B460800)
    {460800, B460800},
#endif
#if defined(B921600)
    {921600, B921600},
#endif
};

bool speed_code(int32_t bps, speed_t* code) {
    for (const SpeedCode& entry : kSpeeds) {
        if (entry.bps == bps) {
            *code = entry.code;
            return true;
        }
    }
#if defined(__APPLE__)
    // macOS takes the rate itself.
    if (bps > 0) {
        *code = static_cast<speed_t>(bps);
        return true;
    }
#endif
    return false;
}

void modem_lines(SerialPort* port, int lines, bool on) {
    // Fails on a pseudo-terminal, which has no modem lines: nothing to do then.
    dev_ioctl(data_of(port)->fd, on ? TIOCMBIS : TIOCMBIC, &lines);
}

// Composes the termios record from the stored settings and applies all of it.
int32_t apply_line(SerialPort* port) {
    PosixPortData* d = data_of(port);
    termios t = d->tio;
    speed_t speed = 0;
    if (!speed_code(d->speed, &speed)) return PORT_FAILED;

    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#if defined(CMSPAR)
    t.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
    switch (d->data_bits) {
        case 5:
            t.c_cflag |= CS5;
            break;
        case 6:
            t.c_cflag |= CS6;
            break;
        case 7:
            t.c_cflag |= CS7;
            break;
        case 8:
            t.c_cflag |= CS8;
            break;
        default:
            return PORT_FAILED;
    }
    switch (d->parity) {
        case 'N':
            break;
        case 'O':
            t.c_cflag |= PARENB | PARODD;
            break;
        case 'E':
            t.c_cflag |= PARENB;
            break;
#if defined(CMSPAR)
        case 'M':
            t.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case 'S':
            t.c_cflag |= PARENB | CMSPAR;
            break;
#endif
        default:
            return PORT_FAILED;
    }
    if (d->stop_bits == 2) t.c_cflag |= CSTOPB;
    if (d->rts_cts) t.c_cflag |= CRTSCTS;
    if (d->xon_xoff)
        t.c_iflag |= IXON | IXOFF;
    else
        t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
    if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0) return PORT_FAILED;
    if (tcsetattr(d->fd, TCSANOW, &t) != 0) return PORT_FAILED;
    // A driver may take a speed it cannot make and keep another one: only
    // the speed the line really has counts.
    termios now{};
    if (tcgetattr(d->fd, &now) != 0 || cfgetospeed(&now) != speed) return PORT_FAILED;
    d->tio = t;
    return PORT_OK;
}

// The device has gone (hang-up, unplugged adapter) when poll says so.
bool hung_up(int fd) {
    pollfd p{fd, 0, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
}

int32_t queued_input(SerialPort* port, int* level) {
    if (dev_ioctl(data_of(port)->fd, FIONREAD, level) != 0) return fail(port);
    return PORT_OK;
}

int32_t queued_output(SerialPort* port, int* level) {
    if (dev_ioctl(data_of(port)->fd, TIOCOUTQ, level) != 0) return fail(port);
    return PORT_OK;
}

int32_t room(uint32_t size, int level) {
    const uint32_t used = level > 0 ? static_cast<uint32_t>(level) : 0;
    return used >= size ? 0 : static_cast<int32_t>(size - used);
}

void update_line_errors(PosixPortData* d) {
#if defined(TIOCGICOUNT)
    serial_icounter_struct now{};
    if (dev_ioctl(d->fd, TIOCGICOUNT, &now) != 0) return;  // not a UART: no counters
    if (d->have_counters) {
        if (now.brk != d->counters.brk) d->line_errors |= kErrBreak;
        if (now.frame != d->counters.frame) d->line_errors |= kErrFrame;
        if (now.parity != d->counters.parity) d->line_errors |= kErrParity;
        if (now.overrun != d->counters.overrun) d->line_errors |= kErrOverrun;
        if (now.buf_overrun != d->counters.buf_overrun) d->line_errors |= kErrRxOver;
    }
    d->counters = now;
    d->have_counters = true;
#else
    (void)d;
#endif
}

int32_t op_read_block(SerialPort* port, void* buffer, uint32_t length) {
    port->count = 0;
    if (length == 0) return PORT_NO_DATA;
    const int fd = data_of(port)->fd;
    const ssize_t got = read(fd, buffer, length);
    if (got > 0) {
        port->count = static_cast<uint32_t>(got);
        return PORT_OK;
    }
    if (got < 0 && errno != EAGAIN && errno != EINTR) return fail(port);
    // A raw tty reads 0 bytes both when nothing is waiting and after a hang-up.
    if (hung_up(fd)) return fail(port);
    return PORT_NO_DATA;
}

int32_t op_read_byte(SerialPort* port) {
    unsigned char byte = 0;
    const int32_t rc = op_read_block(port, &byte, 1);
    return rc < 0 ? rc : byte;
}

int32_t op_write_block(SerialPort* port, const void* data, uint32_t length) {
    PosixPortData* d = data_of(port);
    port->count = 0;
    if (length == 0) return PORT_OK;
    int level = 0;
    if (queued_output(port, &level) < 0) return port->status;
    // The kernel queue is larger than ours: hand over only our queue's room so
    // that callers see the same partial writes as on Windows.
    uint32_t n = static_cast<uint32_t>(room(d->tx_queue_size, level));
    if (n > length) n = length;
    if (n > 0) {
        const ssize_t written = write(d->fd, data, n);
        if (written < 0 && errno != EAGAIN && errno != EINTR) return fail(port);
        port->count = written > 0 ? static_cast<uint32_t>(written) : 0;
    }
    if (port->count >= length) return PORT_OK;
    return fail(port, PORT_TX_FULL);
}

int32_t op_write_byte(SerialPort* port, int ch) {
    const unsigned char byte = static_cast<unsigned char>(ch & 0xFF);
    return op_write_block(port, &byte, 1);
}

int32_t op_close(SerialPort* port) {
    PosixPortData* d = data_of(port);
    port_close_lines(port, d->speed);
    const int32_t rc = release_device(d->fd, d->entry) == 0 ? PORT_OK : PORT_FAILED;
    delete d;
    port->driver = nullptr;
    port_release(port);
    return rc;
}

int32_t op_set_line(SerialPort* port, int32_t speed, char parity, int32_t data_bits,
                    int32_t stop_bits) {
    PosixPortData* d = data_of(port);
    // Speed and data bits stand even when the call is refused below; the next
    // operation that applies the line applies them.
    d->speed = speed;
    d->data_bits = data_bits;
    const int32_t code = port_parity_code(parity);
    if (code < 0) return fail(port, PORT_BAD_PARITY);
    d->parity = "NOEMS"[code];
    if (stop_bits != 1 && stop_bits != 2) return fail(port, PORT_BAD_STOP_BITS);
    d->stop_bits = stop_bits;
    const int32_t rc = apply_line(port);
    if (rc < 0) port->status = rc;
    return port->status;
}

int32_t op_set_xon_xoff(SerialPort* port, int on) {
    data_of(port)->xon_xoff = on != 0;
    const int32_t rc = apply_line(port);
    return rc < 0 ? fail(port, rc) : PORT_OK;
}

int32_t op_set_rts_cts(SerialPort* port, int on) {
    data_of(port)->rts_cts = on != 0;
    const int32_t rc = apply_line(port);
    if (rc < 0) return fail(port, rc);
    if (!on) modem_lines(port, TIOCM_RTS, false);  // the handshake's line stays dropped
    return PORT_OK;
}

int32_t op_set_dtr_dsr(SerialPort* port, int on) {
    // termios has no DTR/DSR handshake.
    if (on) return fail(port, PORT_UNSUPPORTED);
    modem_lines(port, TIOCM_DTR, false);
    return PORT_OK;
}

int32_t op_set_dtr(SerialPort* port, int on) {
    modem_lines(port, TIOCM_DTR, on != 0);
    return PORT_OK;
}

int32_t op_set_rts(SerialPort* port, int on) {
    modem_lines(port, TIOCM_RTS, on != 0);
    return PORT_OK;
}

int32_t op_tx_free(SerialPort* port) {
    int level = 0;
    if (queued_output(port, &level) < 0) return port->status;
    return room(data_of(port)->tx_queue_size, level);
}

int32_t op_tx_count(SerialPort* port) {
    int level = 0;
    if (queued_output(port, &level) < 0) return port->status;
    return level > 0 ? level : 0;
}

int32_t op_rx_free(SerialPort* port) {
    int level = 0;
    if (queued_input(port, &level) < 0) return port->status;
    return room(data_of(port)->rx_queue_size, level);
}

int32_t op_rx_count(SerialPort* port) {
    int level = 0;
    if (queued_input(port, &level) < 0) return port->status;
    return level > 0 ? level : 0;
}

int32_t op_clear_tx(SerialPort* port) {
    return tcflush(data_of(port)->fd, TCOFLUSH) == 0 ? PORT_OK : fail(port);
}

int32_t op_send_break(SerialPort* port, int32_t ms) {
    const int fd = data_of(port)->fd;
    dev_ioctl(fd, TIOCSBRK);
    port_wait(port, ms);  // a failed wait only shortens the break
    dev_ioctl(fd, TIOCCBRK);
    return PORT_OK;
}

int32_t op_modem_status(SerialPort* port) {
    int lines = 0;
    if (dev_ioctl(data_of(port)->fd, TIOCMGET, &lines) != 0) {
        // No modem lines (a pseudo-terminal) reads as all low; a vanished device fails.
        return errno == EIO || errno == ENXIO || errno == ENODEV ? fail(port) : 0;
    }
    int32_t bits = 0;
    if (lines & TIOCM_CTS) bits |= PORT_MODEM_CTS;
    if (lines & TIOCM_DSR) bits |= PORT_MODEM_DSR;
    if (lines & TIOCM_RI) bits |= PORT_MODEM_RI;
    if (lines & TIOCM_CD) bits |= PORT_MODEM_CD;
    return bits;
}

int32_t op_line_status(SerialPort* port) {
    PosixPortData* d = data_of(port);
    update_line_errors(d);
    return static_cast<int32_t>(d->line_errors & 0x1E);
}

int32_t op_clear_line_errors(SerialPort* port) {
    data_of(port)->line_errors = 0;
    return PORT_OK;
}

int bit(int32_t value, int32_t mask) {
    return (value & mask) != 0 ? 1 : 0;
}

int32_t op_dump(SerialPort* port, PortLineOutput out) {
    if (out == nullptr) return PORT_OK;
    PosixPortData* d = data_of(port);
    int in_level = 0;
    int out_level = 0;
    dev_ioctl(d->fd, FIONREAD, &in_level);
    dev_ioctl(d->fd, TIOCOUTQ, &out_level);
    int lines = 0;
    dev_ioctl(d->fd, TIOCMGET, &lines);
    const int32_t line = op_line_status(port);
    const int32_t modem = op_modem_status(port);
    char text[200];
    out("");
    std::snprintf(text, sizeof text, "Port type:  POSIX termios  Device: %s", port->device);
    out(text);
    std::snprintf(text, sizeof text, "Speed: %-6d  DataBits: %1d  Parity: %c  StopBits: %1d",
                  static_cast<int>(d->speed), static_cast<int>(d->data_bits), d->parity,
                  static_cast<int>(d->stop_bits));
    out(text);
    std::snprintf(text, sizeof text, "XonXoff: %1d  RtsCts: %1d  DTR: %1d  RTS: %1d",
                  d->xon_xoff ? 1 : 0, d->rts_cts ? 1 : 0, bit(lines, TIOCM_DTR),
                  bit(lines, TIOCM_RTS));
    out(text);
    std::snprintf(text, sizeof text,
                  "RX count/free: %5d/%-5d  TX count/free: %5d/%-5d  BREAK/FE/OE/PE: %d%d%d%d",
                  in_level, static_cast<int>(room(d->rx_queue_size, in_level)), out_level,
                  static_cast<int>(room(d->tx_queue_size, out_level)), bit(line, PORT_LINE_BREAK),
                  bit(line, PORT_LINE_FRAMING), bit(line, PORT_LINE_OVERRUN),
                  bit(line, PORT_LINE_PARITY));
    out(text);
    std::snprintf(text, sizeof text, "CTS/DSR/RI/CD: %d%d%d%d", bit(modem, PORT_MODEM_CTS),
                  bit(modem, PORT_MODEM_DSR), bit(modem, PORT_MODEM_RI), bit(modem, PORT_MODEM_CD));
    out(text);
    return PORT_OK;
}

// USB serial adapters hold short replies back for up to their latency timer
// (often 16 ms): a stop-and-wait protocol loses much of its speed to that.
// Ask the driver for low latency; one that does not know it (a pty, some
// drivers) is left as it is.
void ask_low_latency(PosixPortData* d) {
#if defined(TIOCGSERIAL) && defined(ASYNC_LOW_LATENCY)
    serial_struct serial{};
    if (d->entry < 0 || dev_ioctl(d->fd, TIOCGSERIAL, &serial) != 0) return;
    constexpr int kLowLatency = ASYNC_LOW_LATENCY;
    if ((serial.flags & kLowLatency) != 0) return;
    // Kept before the change: a signal in between puts back what was there.
    OpenDevice& device = open_devices[d->entry];
    device.saved_serial = serial;
    device.restore_serial = 1;
    serial.flags |= kLowLatency;
    if (dev_ioctl(d->fd, TIOCSSERIAL, &serial) != 0) device.restore_serial = 0;
#else
    (void)d;
#endif
}

// Opens the device exclusively and prepares a raw 8-bit line without flow
// control; set_line applies it.
int32_t connect(SerialPort* port, const char* path) {
    PosixPortData* d = data_of(port);
    d->rx_queue_size = port_rx_queue_size();
    d->tx_queue_size = port_tx_queue_size();
    d->line_errors = 0;
    d->fd = -1;
    port_set_device(port, path);

    // Only a character device can be a serial port; a file, directory or
    // FIFO is refused before it is opened.
    struct stat st;
    if (stat(path, &st) != 0) return fail_open(port, posix_map_open_error(errno), errno);
    if (!S_ISCHR(st.st_mode)) return fail_open(port, PORT_NOT_FOUND, ENOTTY, "Not a serial device");

    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return fail_open(port, posix_map_open_error(errno), errno);
    if (!isatty(fd)) {
        ::close(fd);
        return fail_open(port, PORT_NOT_FOUND, ENOTTY, "Not a serial device");
    }
    // The advisory lock also stops a second program running as root, which
    // TIOCEXCL lets through.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        // Another process holds the lock: the system calls that busy.
        return fail_open(port, error == EWOULDBLOCK ? PORT_IN_USE : posix_map_open_error(error),
                         error == EWOULDBLOCK ? EBUSY : error);
    }
    dev_ioctl(fd, TIOCEXCL);
    if (tcgetattr(fd, &d->tio) != 0) {
        const int error = errno;
        dev_ioctl(fd, TIOCNXCL);  // the flag would outlive this descriptor
        ::close(fd);
        return fail_open(port, PORT_FAILED, error);
    }
    d->fd = fd;
    d->entry = remember_device(fd);
    port->status = PORT_OK;

    termios& t = d->tio;
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF | IXANY | INPCK);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    d->speed = 9600;
    d->parity = 'N';
    d->data_bits = 8;
    d->stop_bits = 1;
    modem_lines(port, TIOCM_DTR | TIOCM_RTS, true);
    ask_low_latency(d);
    update_line_errors(d);
    d->line_errors = 0;
    return PORT_OK;
}

constexpr PortOps kPosixOps = {
    .read_byte = op_read_byte,
    .reserved_op_1 = nullptr,  // nullptr: the default slot
    .write_byte = op_write_byte,
    .close = op_close,
    .set_line = op_set_line,
    .set_xon_xoff = op_set_xon_xoff,
    .set_rts_cts = op_set_rts_cts,
    .set_dtr_dsr = op_set_dtr_dsr,
    .set_dtr = op_set_dtr,
    .set_rts = op_set_rts,
    .tx_free = op_tx_free,
    .tx_count = op_tx_count,
    .rx_free = op_rx_free,
    .rx_count = op_rx_count,
    .clear_tx = op_clear_tx,
    .write_block = op_write_block,
    .read_block = op_read_block,
    .dump = op_dump,
    .send_break = op_send_break,
    .modem_status = op_modem_status,
    .line_status = op_line_status,
    .clear_line_errors = op_clear_line_errors,
    .reserved_op_2 = nullptr,
    .clear_status = nullptr,
};

}  // namespace

SerialPort* posix_port_open(int32_t port_index, const char* device_name, int32_t speed, char parity,
                            int32_t data_bits, int32_t stop_bits) {
    SerialPort* port = port_create();
    if (port == nullptr) return port_fallback();
    PosixPortData* d = new (std::nothrow) PosixPortData{};
    if (d == nullptr) {
        port_release(port);
        return port_fallback();
    }
    port->driver = d;
    port->port_index = port_index;
    port->driver_type = PORT_DRIVER_POSIX;

    char path[64];
    if (device_name == nullptr) {
        std::snprintf(path, sizeof path, "/dev/ttyS%d", static_cast<int>(port_index));
        device_name = path;
    }
    if (connect(port, device_name) < 0) {
        // Nothing is open: the record goes now, the object keeps its defaults.
        delete d;
        port->driver = nullptr;
        return port;
    }
    port_install_ops(port, kPosixOps);
    op_set_line(port, speed, parity, data_bits, stop_bits);
    return port;
}

SerialPort* serial_port_open(int32_t port_index, const char* device_name, int32_t speed,
                             char parity, int32_t data_bits, int32_t stop_bits) {
    return posix_port_open(port_index, device_name, speed, parity, data_bits, stop_bits);
}

int32_t posix_port_idle(SerialPort* port, int32_t timeout_ms, bool input) {
    const int timeout = timeout_ms > 0 ? static_cast<int>(timeout_ms) : 0;
    if (port == nullptr || port->driver_type != PORT_DRIVER_POSIX || port->driver == nullptr) {
        timespec pause{timeout / 1000, (timeout % 1000) * 1000000L};
        nanosleep(&pause, nullptr);
        return PORT_OK;
    }
    // A wait for a byte ends at once when one is there, also one that came
    // after the caller looked; input that the caller is not reading (a delay,
    // a write wait) must not wake every pass: then only a hang-up ends it.
    pollfd p{data_of(port)->fd, static_cast<short>(input ? POLLIN : 0), 0};
    if (poll(&p, 1, timeout) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)))
        return PORT_FAILED;
    return PORT_OK;
}

const char* port_os_remedy(const SerialPort* port) {
    switch (port->os_error) {
        case EACCES:
        case EPERM:
            return "add yourself to the dialout group";
        case EBUSY:
            return "another program holds the port";
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return "is the adapter plugged in? see ls /dev/serial/by-id";
        case EIO:
            return "no serial hardware answers there; USB adapters are /dev/ttyUSB0, /dev/ttyACM0";
        case ENOTTY:
            return "name a serial device with /c:";
        default:
            return "";
    }
}

bool port_device_gone(SerialPort* port) {
    if (port == nullptr || port->driver_type != PORT_DRIVER_POSIX || port->driver == nullptr)
        return false;
    return hung_up(data_of(port)->fd);
}

void port_release_all_on_signal() {
    for (int i = 0; i < kMaxOpenPorts; ++i) {
        const int fd = static_cast<int>(open_devices[i].fd_plus_one) - 1;
        if (fd < 0) continue;
        int lines = TIOCM_DTR | TIOCM_RTS;
        dev_ioctl(fd, TIOCMBIC, &lines);
        release_device(fd, i);
    }
}

void posix_port_set_ioctl(PosixIoctl seam) {
    ioctl_seam = seam;
}

int32_t posix_map_open_error(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
        case ENXIO:
        case ENODEV:
        case EIO:  // a ttyS node without a UART behind it
            return PORT_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EBUSY:
        case EWOULDBLOCK:
            return PORT_IN_USE;
        default:
            return PORT_FAILED;
    }
}
