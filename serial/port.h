// Serial port services: one SerialPort object per open device, a table of
// operations filled by a driver, and generic timed operations on top of it.
// Nothing here prints.
#pragma once

#include <cstdint>

// Status codes: 0 is success, every failure is negative.
constexpr int32_t PORT_OK = 0;
constexpr int32_t PORT_FAILED = -1;
constexpr int32_t PORT_IN_USE = -3;
constexpr int32_t PORT_NO_MEMORY = -5;
constexpr int32_t PORT_BAD_ARGUMENT = -7;
constexpr int32_t PORT_NO_DATA = -8;  // never stored in status
constexpr int32_t PORT_TX_FULL = -9;
constexpr int32_t PORT_NOT_FOUND = -14;
constexpr int32_t PORT_UNSUPPORTED = -24;
constexpr int32_t PORT_BAD_PARITY = -26;
constexpr int32_t PORT_BAD_STOP_BITS = -28;

// driver_type values.
constexpr int32_t PORT_DRIVER_NONE = -1;
constexpr int32_t PORT_DRIVER_WIN32 = 15;
constexpr int32_t PORT_DRIVER_POSIX = 16;

// Default queue sizes for ports opened later.
constexpr uint32_t PORT_DEFAULT_QUEUE_SIZE = 1050;

// modem_status bits.
constexpr int32_t PORT_MODEM_CTS = 0x10;
constexpr int32_t PORT_MODEM_DSR = 0x20;
constexpr int32_t PORT_MODEM_RI = 0x40;
constexpr int32_t PORT_MODEM_CD = 0x80;

// line_status bits.
constexpr int32_t PORT_LINE_BREAK = 0x10;
constexpr int32_t PORT_LINE_FRAMING = 0x08;
constexpr int32_t PORT_LINE_PARITY = 0x04;
constexpr int32_t PORT_LINE_OVERRUN = 0x02;

struct SerialPort;

// Receives one NUL-terminated line from dump.
using PortLineOutput = void (*)(const char* line);

// The 24 operation slots, in slot order. Each takes the port first.
struct PortOps {
    int32_t (*read_byte)(SerialPort* port);
    int32_t (*reserved_op_1)(SerialPort* port);
    int32_t (*write_byte)(SerialPort* port, int ch);
    int32_t (*close)(SerialPort* port);
    int32_t (*set_line)(SerialPort* port, int32_t speed, char parity, int32_t data_bits,
                        int32_t stop_bits);
    int32_t (*set_xon_xoff)(SerialPort* port, int on);
    int32_t (*set_rts_cts)(SerialPort* port, int on);
    int32_t (*set_dtr_dsr)(SerialPort* port, int on);
    int32_t (*set_dtr)(SerialPort* port, int on);
    int32_t (*set_rts)(SerialPort* port, int on);
    int32_t (*tx_free)(SerialPort* port);
    int32_t (*tx_count)(SerialPort* port);
    int32_t (*rx_free)(SerialPort* port);
    int32_t (*rx_count)(SerialPort* port);
    int32_t (*clear_tx)(SerialPort* port);
    int32_t (*write_block)(SerialPort* port, const void* data, uint32_t length);
    int32_t (*read_block)(SerialPort* port, void* buffer, uint32_t length);
    int32_t (*dump)(SerialPort* port, PortLineOutput out);
    int32_t (*send_break)(SerialPort* port, int32_t ms);
    int32_t (*modem_status)(SerialPort* port);
    int32_t (*line_status)(SerialPort* port);
    int32_t (*clear_line_errors)(SerialPort* port);
    int32_t (*reserved_op_2)(SerialPort* port);
    int32_t (*clear_status)(SerialPort* port);
};

struct SerialPort {
    void* driver;        // the driver's private record; null in the fallback object
    SerialPort* next;    // process-wide list, newest first
    int32_t port_index;  // zero-based COM number; -1 in the fallback object
    int32_t status;      // sticky: only open and clear_status reset it
    int32_t driver_type;
    uint32_t count;  // bytes moved by the last read_block / write_block
    PortOps ops;
    // Why the platform refused: its error code (errno, GetLastError; 0 when
    // it gave none) and its own text for it, kept from the failed call.
    int32_t os_error;
    char os_reason[160];
    char device[128];  // the device as the driver named it (/dev/ttyS1, COM2)
};

// Generic creation for drivers: allocates a zero-filled object, registers the
// exit action on first use, links it at the head of the list and fills the
// default slots. Returns null when allocation fails (the driver then hands
// out port_fallback()).
SerialPort* port_create();
// Unlinks and releases an object (what the default close does).
void port_release(SerialPort* port);
// The shared, never-released object returned when allocation fails.
SerialPort* port_fallback();
// Head of the process-wide list of open port objects.
SerialPort* port_list_head();
// Refills every slot with its default (used by creation and by tests).
void port_fill_default_ops(PortOps* ops);
// A driver's slots over the defaults: every slot the driver's table fills
// replaces the default, the empty ones keep it.
void port_install_ops(SerialPort* port, const PortOps& driver_ops);
// The parity letter N, O, E, M or S in either case as 0..4 (the order of the
// platforms' own numbering), or -1 for any other character.
int32_t port_parity_code(char letter);
// Keeps the platform's reason for a failure in the port record.
void port_set_os_error(SerialPort* port, int32_t code, const char* reason);
// Keeps the device's name in the port record.
void port_set_device(SerialPort* port, const char* name);

// The usual remedy for the platform's reason kept in the record, as a short
// text ("add yourself to the dialout group"); "" when there is none.
const char* port_os_remedy(const SerialPort* port);
// Whether the device of an open port has gone away (an unplugged adapter, a
// hung-up line): every later operation would fail.
bool port_device_gone(SerialPort* port);

void port_set_queue_sizes(uint32_t rx_size, uint32_t tx_size);
uint32_t port_rx_queue_size();
uint32_t port_tx_queue_size();

int32_t port_drain_input(SerialPort* port);
// A byte 0..255, PORT_NO_DATA on time-out, or the idle hook's negative code.
// timeout_ms -1 waits without limit.
int32_t port_read_byte_timed(SerialPort* port, int32_t timeout_ms);
// 0 when every byte is queued; count then holds the total. timeout_ms -1
// retries without limit.
int32_t port_write_block_timed(SerialPort* port, const void* data, uint32_t length,
                               int32_t timeout_ms);
// terminator: -1 none, -2 CR LF, 0..255 that byte. Returns status.
int32_t port_write_string(SerialPort* port, const char* text, int32_t terminator);
int32_t port_wait(SerialPort* port, int32_t ms);
// Delay in units of 55 ms, calling the idle hook with no port.
int32_t port_delay_ticks(int32_t ticks);

// Lets the bytes still queued go out, waiting at most their line time at
// `speed` plus 100 ms.
void port_wait_output_sent(SerialPort* port, int32_t speed);
// The first steps of a driver's close: port_wait_output_sent, then DTR and
// then RTS dropped.
void port_close_lines(SerialPort* port, int32_t speed);

// For a process that a signal is ending: releases every open device with
// async-signal-safe calls only (exclusive mode off, modem lines dropped, lock
// and descriptor closed). The port objects are left as they are.
void port_release_all_on_signal();

// Opens the platform's driver: the device named by device_name when it is not
// null (e.g. /dev/ttyUSB0, COM12, \\.\COM12), else the port by its zero-based
// index (Windows \\.\COM<index+1>, POSIX /dev/ttyS<index>). Never returns
// null; a failed open carries a negative status and default slots.
SerialPort* serial_port_open(int32_t port_index, const char* device_name, int32_t speed,
                             char parity, int32_t data_bits, int32_t stop_bits);

// Platform drivers; each also provides serial_port_open and
// port_release_all_on_signal.
#ifdef _WIN32
SerialPort* win32_port_open(int32_t port_index, int32_t speed, char parity, int32_t data_bits,
                            int32_t stop_bits);
// Same, with an explicit device name ("COM12" or "\\.\COM12").
SerialPort* win32_port_open_named(int32_t port_index, const char* device_name, int32_t speed,
                                  char parity, int32_t data_bits, int32_t stop_bits);
int32_t win32_map_error(uint32_t error);
// The device's current event mask, and its handle (null when not open).
uint32_t win32_port_event_mask(SerialPort* port);
// A Win32 port's part of the idle wait (pump_messages does the waiting): puts
// its events in events (room for 2), setting *count: a write done and, for a
// pass that waits for input, a byte arriving (its read armed), with
// *short_wait when no armed read would end the wait on a byte. Returns 1 when
// input is waited for and a byte is already there to read (no wait then), 0
// to wait, PORT_FAILED when the device has gone. Without a Win32 port: no
// events, 0.
int32_t win32_port_idle_events(SerialPort* port, bool input, void** events, uint32_t* count,
                               bool* short_wait);
// After the wait: takes what completed. PORT_FAILED when the device has gone.
int32_t win32_port_idle_done(SerialPort* port);
void* win32_port_handle(SerialPort* port);
// Makes the armed read take one byte, as the driver chooses where a read
// under the "at once" time-outs returns empty (Windows), so that way can be
// exercised where the platform lets the whole-buffer read wait (Wine).
void win32_port_arm_one_byte(SerialPort* port);
#else
SerialPort* posix_port_open(int32_t port_index, const char* device_name, int32_t speed, char parity,
                            int32_t data_bits, int32_t stop_bits);
// Sleeps up to timeout_ms on a POSIX port's descriptor, until input comes
// when `input` (at once when some is queued), without consuming it: lets idle
// waits give up the processor. Returns 0, or PORT_FAILED when the device has
// gone away (hang-up, unplugged adapter). Without a POSIX port it just sleeps.
int32_t posix_port_idle(SerialPort* port, int32_t timeout_ms, bool input);
// The mapping of a failed open's errno to a status code.
int32_t posix_map_open_error(int error);
// Test seam: every ioctl of the driver goes through this (null: the system's),
// so that the modem lines and the serial flags can be seen where a pty has
// none.
using PosixIoctl = int (*)(int fd, unsigned long request, void* arg);
void posix_port_set_ioctl(PosixIoctl seam);
#endif
