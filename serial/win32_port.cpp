// Win32 COM-port driver: reads and writes through the platform's queues; the
// generic operations do the waiting. Overlapped I/O only ever runs on buffers
// the driver owns, each direction with its own OVERLAPPED and event. While a
// wait is idle, one read is kept armed, so the wait sleeps on its event and
// wakes the moment a byte arrives; what it took is handed out first.
#include <windows.h>

#include <cstring>
#include <new>

#include "serial/port.h"

namespace {

struct Win32PortData {
    uint32_t rx_queue_size;
    uint32_t tx_queue_size;
    DCB dcb;  // the line as last composed; every setting applies all of it
    uint32_t line_errors;
    HANDLE handle;
    // Reads: the armed read of the idle wait, or a read of bytes already
    // queued, never both at once, into the driver's buffer; the bytes they
    // took wait there until the read slots hand them out.
    OVERLAPPED read_ov;
    bool read_armed;
    // How the armed read waits. Where a read under the "return at once"
    // time-outs stays pending while nothing is queued and then ends with
    // whatever came (Wine), it asks for a whole buffer: one wake-up takes a
    // whole reply. Where such a read returns empty at once (Windows), it
    // takes one byte under time-outs that wait for the first byte.
    bool read_whole;
    unsigned char* read_buffer;  // rx_queue_size bytes
    DWORD read_start;            // the bytes taken and not yet handed out:
    DWORD read_end;              // read_buffer[read_start, read_end)
    // The last armed read ended without a byte (a driver that does not wait
    // as asked): the next idle pass sleeps its allowance before arming again.
    bool read_empty;
    // Writes: one at a time, on a copy of the caller's bytes. The platform
    // has taken write_buffer[0, write_done) of write_length; a write it ends
    // short is sent on from there.
    OVERLAPPED write_ov;
    bool write_pending;  // a WriteFile is in the platform's hands
    DWORD write_length;
    DWORD write_done;
    unsigned char* write_buffer;  // tx_queue_size bytes
    bool gone;                    // the device has gone away: every later operation fails
    // A request outlived its cancel: the platform may still complete it into
    // the record, which therefore outlives the handle.
    bool stuck;
};

// How long a read of bytes that are already in the platform's queue may take
// to complete before it is given up. Giving up means cancelling, and a read
// cancelled just as it takes its bytes can lose them: only a read that is
// stuck is cancelled.
constexpr DWORD kQueuedIoMs = 2000;
// How long a cancelled request may take to end. A driver that never ends one
// (an adapter pulled in the middle of it) must not hang the run or its close.
constexpr DWORD kCancelledIoMs = 500;

Win32PortData* data_of(SerialPort* port) {
    return static_cast<Win32PortData*>(port->driver);
}

int32_t fail(SerialPort* port, int32_t code) {
    port->status = code;
    return code;
}

int32_t fail_last_error(SerialPort* port) {
    return fail(port, win32_map_error(GetLastError()));
}

// A failed open: the status, and the system's own message kept beside it.
int32_t fail_open(SerialPort* port) {
    const DWORD error = GetLastError();
    char text[160] = "";
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, error, 0, text, sizeof text, nullptr);
    // The system's text ends with a line break: the caller adds its own.
    for (DWORD end = n; end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n' ||
                                    text[end - 1] == ' ' || text[end - 1] == '.');
         --end)
        text[end - 1] = '\0';
    port_set_os_error(port, static_cast<int32_t>(error), text);
    return fail(port, win32_map_error(error));
}

// ClearCommError, with the reported error bits kept. False when the device
// no longer answers (an unplugged adapter).
bool query(Win32PortData* d, COMSTAT* stat) {
    DWORD errors = 0;
    COMSTAT local{};
    if (stat == nullptr) stat = &local;
    *stat = COMSTAT{};
    if (!ClearCommError(d->handle, &errors, stat)) return false;
    d->line_errors |= errors;
    return true;
}

int32_t apply_dcb(SerialPort* port) {
    return SetCommState(data_of(port)->handle, &data_of(port)->dcb) ? PORT_OK
                                                                    : fail_last_error(port);
}

// A failed read or write: the errors with which a device that went away (an
// unplugged adapter, a closed pipe) answers; none of them heals.
void note_io_error(Win32PortData* d, DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_INVALID_HANDLE:
        case ERROR_NOT_READY:
        case ERROR_BAD_COMMAND:
        case ERROR_GEN_FAILURE:
        case ERROR_HANDLE_EOF:
        case ERROR_BROKEN_PIPE:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEVICE_REMOVED:
            d->gone = true;
            break;
        default:
            break;
    }
}

// The result of the pending operation on ov, waiting at most wait_ms for it;
// false while it is still pending. *done_ok tells whether it succeeded.
bool finish(Win32PortData* d, OVERLAPPED* ov, DWORD wait_ms, DWORD* got, bool* done_ok) {
    // Looking costs no system call; only a real wait asks the system.
    if (!HasOverlappedIoCompleted(ov) &&
        (wait_ms == 0 || WaitForSingleObject(ov->hEvent, wait_ms) != WAIT_OBJECT_0))
        return false;
    *got = 0;
    *done_ok = GetOverlappedResult(d->handle, ov, got, FALSE) != 0;
    if (!*done_ok) {
        const DWORD error = GetLastError();
        if (error == ERROR_IO_INCOMPLETE) return false;  // an event set early: still running
        note_io_error(d, error);
    }
    return true;
}

DWORD buffered(const Win32PortData* d) {
    return d->read_end - d->read_start;
}

// The read time-outs. Both return at once with what is queued; with nothing
// queued, "at once" returns empty on Windows (Wine waits for bytes), and the
// other waits for the first byte.
bool set_read_timeouts(Win32PortData* d, bool at_once) {
    COMMTIMEOUTS timeouts{};  // no write time-outs
    timeouts.ReadIntervalTimeout = MAXDWORD;
    if (!at_once) {
        timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
        timeouts.ReadTotalTimeoutConstant = MAXDWORD - 1;
    }
    return SetCommTimeouts(d->handle, &timeouts) != 0;
}

// An armed whole-buffer read ended empty: this platform does not wait under
// the "at once" time-outs, so from now on the armed read takes one byte.
void arm_one_byte(Win32PortData* d) {
    d->read_whole = false;
    set_read_timeouts(d, false);
}

// Takes the armed read's bytes, if they have come.
void collect_armed(Win32PortData* d, DWORD wait_ms) {
    if (!d->read_armed) return;
    DWORD got = 0;
    bool ok = false;
    if (!finish(d, &d->read_ov, wait_ms, &got, &ok)) return;
    d->read_armed = false;
    if (got > 0) {
        // Armed only on an empty buffer, for at most its size. What a read
        // took counts, also when it ended with an error (a cancel, a time-out).
        d->read_end = got < d->rx_queue_size ? got : d->rx_queue_size;
    } else if (ok && d->read_whole) {
        arm_one_byte(d);
    } else if (!d->gone) {
        // Only the errors of a device that went away say it has gone; a read
        // that ended empty, or with another error, is tried again.
        d->read_empty = true;
    }
}

// Cancels the armed read, keeping what it took. One that does not end within
// its bound is stuck: the device no longer answers.
void cancel_armed(Win32PortData* d) {
    if (!d->read_armed) return;
    CancelIoEx(d->handle, &d->read_ov);
    collect_armed(d, kCancelledIoMs);
    if (d->read_armed) d->gone = d->stuck = true;
}

// Ends the armed read when bytes are queued: it takes them (or the first of
// them), which it does at once; only a stuck read is cancelled (alone: a pending
// write goes on).
void disarm(Win32PortData* d) {
    collect_armed(d, kQueuedIoMs);
    cancel_armed(d);
}

// Arms the read of the idle wait when nothing is there to read.
void arm(Win32PortData* d) {
    if (d->read_armed || buffered(d) > 0 || d->gone) return;
    d->read_empty = false;
    d->read_start = d->read_end = 0;
    DWORD length = d->read_whole ? d->rx_queue_size : 1;
    DWORD got = 0;
    bool done = ReadFile(d->handle, d->read_buffer, length, &got, &d->read_ov) != 0;
    if (done && got == 0 && d->read_whole) {
        arm_one_byte(d);
        length = 1;
        done = ReadFile(d->handle, d->read_buffer, length, &got, &d->read_ov) != 0;
    }
    if (done) {
        d->read_end = got < length ? got : length;
        return;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
        d->read_armed = true;
    } else {
        note_io_error(d, error);
    }
}

// Bytes of the driver's copy that the platform has not taken yet.
DWORD write_rest(const Win32PortData* d) {
    return d->write_length - d->write_done;
}

// Hands the rest of the driver's copy to the platform. False when it refused
// (the rest is then dropped).
bool start_write(Win32PortData* d) {
    DWORD written = 0;
    if (WriteFile(d->handle, d->write_buffer + d->write_done, write_rest(d), &written,
                  &d->write_ov)) {
        d->write_done += written < write_rest(d) ? written : write_rest(d);
        return true;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
        d->write_pending = true;
        return true;
    }
    note_io_error(d, error);
    d->write_done = d->write_length;
    return false;
}

// The pending write's result, waiting at most wait_ms. A write that ended
// short is sent on from where it stopped (once per call, so that a platform
// that keeps taking nothing cannot hold the caller): the caller was told that
// every byte was taken.
void collect_write(Win32PortData* d, DWORD wait_ms) {
    if (d->write_pending) {
        DWORD got = 0;
        bool ok = false;
        if (!finish(d, &d->write_ov, wait_ms, &got, &ok)) return;
        d->write_pending = false;
        d->write_done += got < write_rest(d) ? got : write_rest(d);
    }
    // A device that went away takes nothing more; any other write that ended
    // short (a driver's write time-out, say) goes on.
    if (d->gone) d->write_done = d->write_length;
    if (write_rest(d) > 0) start_write(d);
}

// The time bytes need on the line at the current speed, plus a margin.
DWORD line_ms(const Win32PortData* d, uint64_t bytes) {
    const uint64_t speed = d->dcb.BaudRate > 0 ? d->dcb.BaudRate : 9600;
    return static_cast<DWORD>(bytes * 10000U / speed + 100U);
}

int32_t op_write_block(SerialPort* port, const void* data, uint32_t length) {
    Win32PortData* d = data_of(port);
    port->count = 0;
    // The write before must be done with the buffer; it is in the platform's
    // queue, so this takes at most its line time.
    collect_write(d, write_rest(d) > 0 ? line_ms(d, write_rest(d)) : 0);
    COMSTAT stat;
    // A device that stopped answering must end a retrying write, not look
    // like a full queue forever.
    if (d->gone || !query(d, &stat)) return fail(port, PORT_FAILED);
    if (write_rest(d) > 0) return fail(port, PORT_TX_FULL);
    DWORD n = d->tx_queue_size > stat.cbOutQue ? d->tx_queue_size - stat.cbOutQue : 0;
    if (n > length) n = length;
    if (n > 0) {
        std::memcpy(d->write_buffer, data, n);
        d->write_length = n;
        d->write_done = 0;
        // Taken: the driver's copy goes out in full, the rest of a short write after it.
        if (start_write(d)) {
            port->count = n;
        } else {
            if (d->gone) return fail(port, PORT_FAILED);
            query(d, nullptr);
        }
    }
    if (port->count >= length) return PORT_OK;
    return fail(port, PORT_TX_FULL);
}

// Moves the bytes already queued into the driver's buffer, all of them in one
// read: the next read slots hand them out without asking the system again.
void fill(Win32PortData* d) {
    COMSTAT stat;
    if (!query(d, &stat)) {
        d->gone = true;
        return;
    }
    if (stat.cbInQue == 0) return;
    // Bytes queued behind the armed read: it takes the first of them.
    if (d->read_armed) {
        disarm(d);
        if (d->gone || !query(d, &stat)) return;
    }
    if (buffered(d) == 0) d->read_start = d->read_end = 0;
    DWORD n = d->rx_queue_size - d->read_end;
    if (n > stat.cbInQue) n = stat.cbInQue;
    if (n == 0) return;
    DWORD got = 0;
    bool ok = ReadFile(d->handle, d->read_buffer + d->read_end, n, &got, &d->read_ov) != 0;
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        // The bytes were queued already: this completes at once, or it is
        // given up before the buffer is used again.
        if (!finish(d, &d->read_ov, kQueuedIoMs, &got, &ok)) {
            CancelIoEx(d->handle, &d->read_ov);
            if (!finish(d, &d->read_ov, kCancelledIoMs, &got, &ok)) {
                d->gone = d->stuck = true;
                return;
            }
        }
    } else if (!ok) {
        note_io_error(d, GetLastError());
    }
    d->read_end += got < n ? got : n;
}

int32_t op_read_block(SerialPort* port, void* buffer, uint32_t length) {
    Win32PortData* d = data_of(port);
    port->count = 0;
    collect_armed(d, 0);
    if (d->gone) return fail(port, PORT_FAILED);
    if (buffered(d) < length) fill(d);
    DWORD n = buffered(d);
    if (n > length) n = length;
    if (n > 0) std::memcpy(buffer, d->read_buffer + d->read_start, n);
    d->read_start += n;
    port->count = n;
    if (port->count > 0) return PORT_OK;
    return d->gone ? fail(port, PORT_FAILED) : PORT_NO_DATA;
}

int32_t op_read_byte(SerialPort* port) {
    unsigned char byte = 0;
    const int32_t rc = op_read_block(port, &byte, 1);
    return rc < 0 ? rc : byte;
}

int32_t op_write_byte(SerialPort* port, int ch) {
    const unsigned char byte = static_cast<unsigned char>(ch & 0xFF);
    return op_write_block(port, &byte, 1);
}

void free_record(Win32PortData* d) {
    if (d->read_ov.hEvent != nullptr) CloseHandle(d->read_ov.hEvent);
    if (d->write_ov.hEvent != nullptr) CloseHandle(d->write_ov.hEvent);
    delete[] d->read_buffer;
    delete[] d->write_buffer;
    delete d;
}

int32_t op_close(SerialPort* port) {
    Win32PortData* d = data_of(port);
    // What was written is delivered first (the run's last command is often
    // still queued), within the time those bytes need on the line.
    if (!d->gone) {
        collect_write(d, write_rest(d) > 0 ? line_ms(d, write_rest(d)) : 0);
        port_wait_output_sent(port, static_cast<int32_t>(d->dcb.BaudRate));
    }
    // Then what is left is cancelled, and nothing completes into the record
    // after it is freed; a request that outlives its cancel keeps the record.
    d->gone = true;  // nothing is sent on any more
    CancelIo(d->handle);
    collect_write(d, kCancelledIoMs);
    collect_armed(d, kCancelledIoMs);
    if (d->write_pending || d->read_armed) d->stuck = true;
    EscapeCommFunction(d->handle, CLRDTR);
    EscapeCommFunction(d->handle, CLRRTS);
    const BOOL ok = CloseHandle(d->handle);
    const DWORD error = ok ? 0 : GetLastError();
    if (!d->stuck) free_record(d);
    port->driver = nullptr;
    port_release(port);
    return ok ? PORT_OK : win32_map_error(error);
}

int32_t op_set_line(SerialPort* port, int32_t speed, char parity, int32_t data_bits,
                    int32_t stop_bits) {
    DCB& dcb = data_of(port)->dcb;
    // Speed and data bits stand even when the call is refused below.
    dcb.BaudRate = static_cast<DWORD>(speed);
    dcb.ByteSize = static_cast<BYTE>(data_bits);
    // NOPARITY..SPACEPARITY are 0..4 in the letters' order.
    const int32_t code = port_parity_code(parity);
    if (code < 0) return fail(port, PORT_BAD_PARITY);
    dcb.Parity = static_cast<BYTE>(code);
    if (stop_bits == 1)
        dcb.StopBits = ONESTOPBIT;
    else if (stop_bits == 2)
        dcb.StopBits = TWOSTOPBITS;
    else
        return fail(port, PORT_BAD_STOP_BITS);
    apply_dcb(port);
    return port->status;
}

int32_t op_set_xon_xoff(SerialPort* port, int on) {
    DCB& dcb = data_of(port)->dcb;
    dcb.fOutX = on ? 1 : 0;
    dcb.fInX = on ? 1 : 0;
    return apply_dcb(port);
}

int32_t op_set_rts_cts(SerialPort* port, int on) {
    DCB& dcb = data_of(port)->dcb;
    dcb.fOutxCtsFlow = on ? 1 : 0;
    dcb.fRtsControl = on ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_DISABLE;
    return apply_dcb(port);
}

int32_t op_set_dtr_dsr(SerialPort* port, int on) {
    DCB& dcb = data_of(port)->dcb;
    dcb.fOutxDsrFlow = on ? 1 : 0;
    dcb.fDtrControl = on ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_DISABLE;
    return apply_dcb(port);
}

int32_t op_set_dtr(SerialPort* port, int on) {
    Win32PortData* d = data_of(port);
    d->dcb.fDtrControl = on ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    SetCommState(d->handle, &d->dcb);
    return PORT_OK;
}

int32_t op_set_rts(SerialPort* port, int on) {
    Win32PortData* d = data_of(port);
    d->dcb.fRtsControl = on ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    SetCommState(d->handle, &d->dcb);
    return PORT_OK;
}

int32_t free_room(uint32_t size, DWORD used) {
    return used >= size ? 0 : static_cast<int32_t>(size - used);
}

int32_t level(DWORD value) {
    return value > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(value);
}

int32_t op_tx_free(SerialPort* port) {
    COMSTAT stat;
    if (!query(data_of(port), &stat)) return fail(port, PORT_FAILED);
    return free_room(data_of(port)->tx_queue_size, stat.cbOutQue);
}

int32_t op_tx_count(SerialPort* port) {
    Win32PortData* d = data_of(port);
    COMSTAT stat;
    if (!query(d, &stat)) return fail(port, PORT_FAILED);
    // The driver's copy that the platform has not taken is queued too.
    return level(stat.cbOutQue + write_rest(d));
}

int32_t op_rx_free(SerialPort* port) {
    COMSTAT stat;
    if (!query(data_of(port), &stat)) return fail(port, PORT_FAILED);
    return free_room(data_of(port)->rx_queue_size, stat.cbInQue);
}

int32_t op_rx_count(SerialPort* port) {
    Win32PortData* d = data_of(port);
    COMSTAT stat;
    collect_armed(d, 0);
    if (d->gone || !query(d, &stat)) return fail(port, PORT_FAILED);
    // Bytes queued while the armed read is pending are the ones it is about
    // to take (under Wine it may take them before this call returns): let it
    // take them, so that what is counted here is what the read slots find.
    if (d->read_armed && stat.cbInQue > 0) {
        disarm(d);
        if (d->gone || !query(d, &stat)) return fail(port, PORT_FAILED);
    }
    // The bytes the driver took count: they are the first to be read.
    return level(stat.cbInQue + buffered(d));
}

int32_t op_line_status(SerialPort* port) {
    Win32PortData* d = data_of(port);
    if (!query(d, nullptr)) return fail(port, PORT_FAILED);
    return static_cast<int32_t>(d->line_errors & 0x1E);
}

int32_t op_clear_line_errors(SerialPort* port) {
    data_of(port)->line_errors = 0;
    return PORT_OK;
}

int32_t op_clear_tx(SerialPort* port) {
    return PurgeComm(data_of(port)->handle, PURGE_TXCLEAR) ? PORT_OK : fail_last_error(port);
}

int32_t op_send_break(SerialPort* port, int32_t ms) {
    HANDLE handle = data_of(port)->handle;
    SetCommBreak(handle);
    port_wait(port, ms);  // a failed wait only shortens the break
    ClearCommBreak(handle);
    return PORT_OK;
}

int32_t op_modem_status(SerialPort* port) {
    DWORD status = 0;
    if (!GetCommModemStatus(data_of(port)->handle, &status)) status = 0;
    return static_cast<int32_t>(status & 0xFF);
}

int bit(uint32_t value, uint32_t mask) {
    return (value & mask) != 0 ? 1 : 0;
}

int32_t op_dump(SerialPort* port, PortLineOutput out) {
    if (out == nullptr) return PORT_OK;
    Win32PortData* d = data_of(port);
    const DCB& dcb = d->dcb;
    COMSTAT stat;
    query(d, &stat);
    const uint32_t line = static_cast<uint32_t>(op_line_status(port));
    const uint32_t modem = static_cast<uint32_t>(op_modem_status(port));
    const uint32_t errors = d->line_errors;
    const unsigned uart_word = 0;  // no UART register is read on this platform
    char text[1024];

    out("");
    wsprintfA(text, "Port type:  MS Windows  DCB BaudRate: %-6d  ByteSize: %1d  Parity: %1d",
              static_cast<int>(dcb.BaudRate), static_cast<int>(dcb.ByteSize),
              static_cast<int>(dcb.Parity));
    out(text);
    wsprintfA(text, "StopBits: %1d fBinary: %1d  fRtsControl: %1d", static_cast<int>(dcb.StopBits),
              static_cast<int>(dcb.fBinary), static_cast<int>(dcb.fRtsControl));
    out(text);
    wsprintfA(text,
              "Parity: %1d  OutCtsFlow: %1d  OutDsrFlow: %1d  DtrControl: %1d  OutX: %1d  InX: %1d",
              static_cast<int>(dcb.fParity), static_cast<int>(dcb.fOutxCtsFlow),
              static_cast<int>(dcb.fOutxDsrFlow), static_cast<int>(dcb.fDtrControl),
              static_cast<int>(dcb.fOutX), static_cast<int>(dcb.fInX));
    out(text);
    wsprintfA(text, "Null: %1d  DtrControl: %1d  RtsControl: %1d  XonChar: %02x  XoffChar: %02x",
              static_cast<int>(dcb.fNull), static_cast<int>(dcb.fDtrControl),
              static_cast<int>(dcb.fRtsControl), static_cast<int>(dcb.XonChar) & 0xFF,
              static_cast<int>(dcb.XoffChar) & 0xFF);
    out(text);
    wsprintfA(text, "XonLim: %-5u XoffLim: %-5u EofChr: %02x  EvtChr: %02x",
              static_cast<unsigned>(dcb.XonLim), static_cast<unsigned>(dcb.XoffLim),
              static_cast<int>(dcb.EofChar) & 0xFF, static_cast<int>(dcb.EvtChar) & 0xFF);
    out(text);
    wsprintfA(text, "RX count/free: %5d/%-5d  TX count/free: %5d/%-5d  BREAK/FE/OE/PE: %d%d%d%d",
              level(stat.cbInQue), free_room(d->rx_queue_size, stat.cbInQue), level(stat.cbOutQue),
              free_room(d->tx_queue_size, stat.cbOutQue), bit(line, 0x10), bit(line, 0x08),
              bit(line, 0x02), bit(line, 0x04));
    out(text);
    wsprintfA(text, "CE_BREAK:%d  CE_FRAME:%d  CE_MODE:%d CE_OVERRUN:%d", bit(errors, CE_BREAK),
              bit(errors, CE_FRAME), bit(errors, CE_MODE), bit(errors, CE_OVERRUN));
    out(text);
    wsprintfA(text, "CE_RXOVER:%d CE_RXPARITY:%d CE_TXFULL:%d  CTS/DSR/RI/CD: %d%d%d%d",
              bit(errors, CE_RXOVER), bit(errors, CE_RXPARITY), bit(errors, CE_TXFULL),
              bit(modem, MS_CTS_ON), bit(modem, MS_DSR_ON), bit(modem, MS_RING_ON),
              bit(modem, MS_RLSD_ON));
    out(text);
    wsprintfA(text, "8250:%04.4x", uart_word);
    out(text);
    return PORT_OK;
}

constexpr PortOps kWin32Ops = {
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

int32_t connect(SerialPort* port, const char* device) {
    Win32PortData* d = data_of(port);
    d->rx_queue_size = port_rx_queue_size();
    d->tx_queue_size = port_tx_queue_size();
    d->line_errors = 0;

    d->handle = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
    port->status = PORT_OK;
    if (d->handle == INVALID_HANDLE_VALUE) return fail_open(port);

    d->read_ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    d->write_ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    d->read_buffer = new (std::nothrow) unsigned char[d->rx_queue_size];
    d->write_buffer = new (std::nothrow) unsigned char[d->tx_queue_size];
    if (d->read_ov.hEvent == nullptr || d->write_ov.hEvent == nullptr ||
        d->read_buffer == nullptr || d->write_buffer == nullptr) {
        CloseHandle(d->handle);
        return fail(port, PORT_NO_MEMORY);
    }

    SetupComm(d->handle, d->rx_queue_size, d->tx_queue_size);
    DWORD mask = 0;
    GetCommMask(d->handle, &mask);
    SetCommMask(d->handle, 0);

    DCB& dcb = d->dcb;
    dcb.DCBlength = sizeof(DCB);
    GetCommState(d->handle, &dcb);
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fNull = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.XonLim = static_cast<WORD>(d->rx_queue_size / 4);
    dcb.XoffLim = static_cast<WORD>(d->rx_queue_size / 4);
    dcb.EofChar = 0;
    dcb.EvtChar = 0;

    // Tried first: an armed read that takes a whole reply at once.
    d->read_whole = set_read_timeouts(d, true);
    if (!d->read_whole) set_read_timeouts(d, false);
    return port->status;
}

SerialPort* open_port(int32_t port_index, const char* device, int32_t speed, char parity,
                      int32_t data_bits, int32_t stop_bits) {
    SerialPort* port = port_create();
    if (port == nullptr) return port_fallback();

    const DWORD version = GetVersion();
    if ((version & 0x80000000u) != 0 && (version & 0xFF) == 3) {  // Win32s on Windows 3.x
        port->status = PORT_UNSUPPORTED;
        return port;
    }
    Win32PortData* d = new (std::nothrow) Win32PortData{};
    if (d == nullptr) {
        port_release(port);
        return port_fallback();
    }
    port->driver = d;
    port->port_index = port_index;
    port->driver_type = PORT_DRIVER_WIN32;

    if (connect(port, device) < 0) {
        // Nothing is open: the record goes now, the object keeps its defaults.
        free_record(d);
        port->driver = nullptr;
        return port;
    }
    op_set_line(port, speed, parity, data_bits, stop_bits);
    port_install_ops(port, kWin32Ops);
    return port;
}

}  // namespace

int32_t win32_map_error(uint32_t error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return PORT_NOT_FOUND;
        case ERROR_ACCESS_DENIED:
            return PORT_IN_USE;
        default:
            return PORT_FAILED;
    }
}

SerialPort* win32_port_open(int32_t port_index, int32_t speed, char parity, int32_t data_bits,
                            int32_t stop_bits) {
    char device[32];
    wsprintfA(device, "\\\\.\\COM%d", static_cast<int>(port_index) + 1);
    SerialPort* port = open_port(port_index, device, speed, parity, data_bits, stop_bits);
    port_set_device(port, device + 4);  // COMn, as users know it
    return port;
}

SerialPort* win32_port_open_named(int32_t port_index, const char* device_name, int32_t speed,
                                  char parity, int32_t data_bits, int32_t stop_bits) {
    if (device_name == nullptr)
        return win32_port_open(port_index, speed, parity, data_bits, stop_bits);
    static const char kPrefix[] = "\\\\.\\";
    char device[MAX_PATH];
    size_t length = 0;
    // "COM12" needs the device-namespace prefix (COM10 and up have no DOS name).
    const bool has_prefix = device_name[0] == '\\' && device_name[1] == '\\' &&
                            device_name[2] == '.' && device_name[3] == '\\';
    if (!has_prefix)
        for (const char* p = kPrefix; *p != '\0'; ++p)
            device[length++] = *p;
    for (const char* p = device_name; *p != '\0'; ++p) {
        if (length + 1 >= sizeof device) {
            // Too long to name any device.
            SerialPort* port = port_create();
            if (port == nullptr) return port_fallback();
            port->port_index = port_index;
            port->status = PORT_NOT_FOUND;
            return port;
        }
        device[length++] = *p;
    }
    device[length] = '\0';
    SerialPort* port = open_port(port_index, device, speed, parity, data_bits, stop_bits);
    port_set_device(port, device_name);
    return port;
}

SerialPort* serial_port_open(int32_t port_index, const char* device_name, int32_t speed,
                             char parity, int32_t data_bits, int32_t stop_bits) {
    return win32_port_open_named(port_index, device_name, speed, parity, data_bits, stop_bits);
}

const char* port_os_remedy(const SerialPort* port) {
    switch (port->os_error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return "is the adapter plugged in? see Device Manager, Ports (COM & LPT)";
        case ERROR_ACCESS_DENIED:
            return "another program holds the port";
        default:
            return "";
    }
}

bool port_device_gone(SerialPort* port) {
    if (port == nullptr || port->driver_type != PORT_DRIVER_WIN32 || port->driver == nullptr)
        return false;
    Win32PortData* d = data_of(port);
    COMSTAT stat;
    return d->gone || !query(d, &stat);
}

void port_release_all_on_signal() {
    // Windows closes a process's devices when it ends; no mode outlives it.
}

namespace {

Win32PortData* win32_data(SerialPort* port) {
    if (port == nullptr || port->driver_type != PORT_DRIVER_WIN32) return nullptr;
    return static_cast<Win32PortData*>(port->driver);
}

}  // namespace

int32_t win32_port_idle_events(SerialPort* port, bool input, void** events, uint32_t* count,
                               bool* short_wait) {
    *count = 0;
    *short_wait = false;
    Win32PortData* d = win32_data(port);
    if (d == nullptr) return 0;
    collect_armed(d, 0);
    collect_write(d, 0);
    if (d->gone) return PORT_FAILED;
    if (d->write_pending) events[(*count)++] = d->write_ov.hEvent;
    // A pass that is not waiting for a byte sleeps whatever is there to read.
    if (!input) return 0;
    // Bytes already taken: the caller has work, no need to sleep.
    if (buffered(d) > 0) return 1;
    // The last armed read ended empty: arming again at once could spin.
    if (d->read_empty) {
        d->read_empty = false;
        return 0;
    }
    arm(d);
    if (buffered(d) > 0) return 1;
    if (d->read_armed) events[(*count)++] = d->read_ov.hEvent;
    *short_wait = !d->read_armed;
    return 0;
}

int32_t win32_port_idle_done(SerialPort* port) {
    Win32PortData* d = win32_data(port);
    if (d == nullptr) return PORT_OK;
    collect_armed(d, 0);
    collect_write(d, 0);
    return d->gone ? PORT_FAILED : PORT_OK;
}

uint32_t win32_port_event_mask(SerialPort* port) {
    if (port == nullptr || port->driver_type != PORT_DRIVER_WIN32 || port->driver == nullptr)
        return 0;
    DWORD mask = 0;
    GetCommMask(data_of(port)->handle, &mask);
    return mask;
}

void win32_port_arm_one_byte(SerialPort* port) {
    Win32PortData* d = win32_data(port);
    if (d == nullptr) return;
    cancel_armed(d);
    arm_one_byte(d);
}

void* win32_port_handle(SerialPort* port) {
    if (port == nullptr || port->driver_type != PORT_DRIVER_WIN32 || port->driver == nullptr)
        return nullptr;
    return data_of(port)->handle;
}
