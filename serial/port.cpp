#include "serial/port.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/keyboard.h"

namespace {

SerialPort* list_head = nullptr;
bool exit_action_registered = false;
uint32_t rx_queue_size = PORT_DEFAULT_QUEUE_SIZE;
uint32_t tx_queue_size = PORT_DEFAULT_QUEUE_SIZE;
// Handed out when allocation fails; static, so never released and never listed.
SerialPort fallback_port{};

// True when `now` is at or past `deadline` on a wrapping 32-bit clock.
bool reached(uint32_t now, uint32_t deadline) {
    return static_cast<int32_t>(now - deadline) >= 0;
}

int32_t unsupported(SerialPort* port) {
    port->status = PORT_UNSUPPORTED;
    return PORT_UNSUPPORTED;
}

int32_t default_plain(SerialPort* port) {
    return unsupported(port);
}
int32_t default_with_int(SerialPort* port, int) {
    return unsupported(port);
}
int32_t default_send_break(SerialPort* port, int32_t) {
    return unsupported(port);
}
int32_t default_set_line(SerialPort* port, int32_t, char, int32_t, int32_t) {
    return unsupported(port);
}
int32_t default_write_block(SerialPort* port, const void*, uint32_t) {
    return unsupported(port);
}
int32_t default_read_block(SerialPort* port, void*, uint32_t) {
    return unsupported(port);
}

int32_t default_close(SerialPort* port) {
    port_release(port);
    return PORT_OK;
}

int32_t default_dump(SerialPort* port, PortLineOutput out) {
    if (out != nullptr) {
        out("Port dump not supported for this driver");
        out("");
    }
    return unsupported(port);
}

int32_t default_clear_status(SerialPort* port) {
    port->status = PORT_OK;
    return PORT_OK;
}

void close_remaining_ports() {
    while (list_head != nullptr) {
        SerialPort* port = list_head;
        port->ops.close(port);
        // A close that left its object listed must not stall the exit.
        if (list_head == port) port_release(port);
    }
}

void unlink_port(SerialPort* port) {
    for (SerialPort** link = &list_head; *link != nullptr; link = &(*link)->next) {
        if (*link == port) {
            *link = port->next;
            port->next = nullptr;
            return;
        }
    }
}

}  // namespace

void port_fill_default_ops(PortOps* ops) {
    ops->read_byte = default_plain;
    ops->reserved_op_1 = default_plain;
    ops->write_byte = default_with_int;
    ops->close = default_close;
    ops->set_line = default_set_line;
    ops->set_xon_xoff = default_with_int;
    ops->set_rts_cts = default_with_int;
    ops->set_dtr_dsr = default_with_int;
    ops->set_dtr = default_with_int;
    ops->set_rts = default_with_int;
    ops->tx_free = default_plain;
    ops->tx_count = default_plain;
    ops->rx_free = default_plain;
    ops->rx_count = default_plain;
    ops->clear_tx = default_plain;
    ops->write_block = default_write_block;
    ops->read_block = default_read_block;
    ops->dump = default_dump;
    ops->send_break = default_send_break;
    ops->modem_status = default_plain;
    ops->line_status = default_plain;
    ops->clear_line_errors = default_plain;
    ops->reserved_op_2 = default_plain;
    ops->clear_status = default_clear_status;
}

namespace {

template <typename Slot>
void take(Slot& slot, Slot given) {
    if (given != nullptr) slot = given;
}

}  // namespace

void port_install_ops(SerialPort* port, const PortOps& driver_ops) {
    PortOps& ops = port->ops;
    take(ops.read_byte, driver_ops.read_byte);
    take(ops.reserved_op_1, driver_ops.reserved_op_1);
    take(ops.write_byte, driver_ops.write_byte);
    take(ops.close, driver_ops.close);
    take(ops.set_line, driver_ops.set_line);
    take(ops.set_xon_xoff, driver_ops.set_xon_xoff);
    take(ops.set_rts_cts, driver_ops.set_rts_cts);
    take(ops.set_dtr_dsr, driver_ops.set_dtr_dsr);
    take(ops.set_dtr, driver_ops.set_dtr);
    take(ops.set_rts, driver_ops.set_rts);
    take(ops.tx_free, driver_ops.tx_free);
    take(ops.tx_count, driver_ops.tx_count);
    take(ops.rx_free, driver_ops.rx_free);
    take(ops.rx_count, driver_ops.rx_count);
    take(ops.clear_tx, driver_ops.clear_tx);
    take(ops.write_block, driver_ops.write_block);
    take(ops.read_block, driver_ops.read_block);
    take(ops.dump, driver_ops.dump);
    take(ops.send_break, driver_ops.send_break);
    take(ops.modem_status, driver_ops.modem_status);
    take(ops.line_status, driver_ops.line_status);
    take(ops.clear_line_errors, driver_ops.clear_line_errors);
    take(ops.reserved_op_2, driver_ops.reserved_op_2);
    take(ops.clear_status, driver_ops.clear_status);
}

int32_t port_parity_code(char letter) {
    static const char kLetters[] = "NOEMS";
    const char upper =
        letter >= 'a' && letter <= 'z' ? static_cast<char>(letter - 'a' + 'A') : letter;
    for (int32_t code = 0; code < 5; ++code) {
        if (kLetters[code] == upper) return code;
    }
    return -1;
}

namespace {

// Copies as much of text as fits, always NUL-terminated.
template <size_t N>
void keep_text(char (&to)[N], const char* text) {
    size_t n = 0;
    for (; text != nullptr && text[n] != '\0' && n + 1 < N; ++n)
        to[n] = text[n];
    to[n] = '\0';
}

}  // namespace

void port_set_os_error(SerialPort* port, int32_t code, const char* reason) {
    port->os_error = code;
    keep_text(port->os_reason, reason);
}

void port_set_device(SerialPort* port, const char* name) {
    keep_text(port->device, name);
}

SerialPort* port_create() {
    SerialPort* port = new (std::nothrow) SerialPort{};
    if (port == nullptr) return nullptr;
    if (!exit_action_registered) {
        exit_action_registered = true;
        std::atexit(close_remaining_ports);
    }
    port->next = list_head;
    list_head = port;
    port_fill_default_ops(&port->ops);
    return port;
}

void port_release(SerialPort* port) {
    if (port == nullptr || port == &fallback_port) return;
    unlink_port(port);
    delete port;
}

SerialPort* port_fallback() {
    // Reset on every hand-out: an earlier user may have cleared or changed it.
    fallback_port.driver = nullptr;
    fallback_port.next = nullptr;
    fallback_port.port_index = -1;
    fallback_port.status = PORT_NO_MEMORY;
    fallback_port.driver_type = PORT_DRIVER_NONE;
    fallback_port.count = 0;
    port_fill_default_ops(&fallback_port.ops);
    port_set_os_error(&fallback_port, 0, "");
    port_set_device(&fallback_port, "");
    return &fallback_port;
}

SerialPort* port_list_head() {
    return list_head;
}

void port_set_queue_sizes(uint32_t rx_size, uint32_t tx_size) {
    rx_queue_size = rx_size;
    tx_queue_size = tx_size;
}

uint32_t port_rx_queue_size() {
    return rx_queue_size;
}
uint32_t port_tx_queue_size() {
    return tx_queue_size;
}

int32_t port_drain_input(SerialPort* port) {
    unsigned char buffer[64];
    for (;;) {
        int32_t rc = port->ops.read_block(port, buffer, sizeof buffer);
        if (rc < 0 && rc != PORT_NO_DATA) return rc;
        if (port->count == 0) return PORT_OK;
    }
}

int32_t port_read_byte_timed(SerialPort* port, int32_t timeout_ms) {
    const uint32_t start = tick_ms();
    const uint32_t deadline = start + static_cast<uint32_t>(timeout_ms);
    while (port->ops.rx_count(port) == 0) {
        // Nothing to do until a byte comes (which ends the sleep) or the time
        // is up: a long wait may sleep until then.
        const uint32_t now = tick_ms();
        idle_allow_ms(now - start, timeout_ms == -1         ? UINT32_MAX
                                   : reached(now, deadline) ? 0
                                                            : deadline - now);
        int32_t rc = idle_hook(port);
        if (rc < 0) {
            port->status = rc;
            return rc;
        }
        if (timeout_ms != -1 && reached(tick_ms(), deadline)) return PORT_NO_DATA;
    }
    return port->ops.read_byte(port);
}

int32_t port_write_block_timed(SerialPort* port, const void* data, uint32_t length,
                               int32_t timeout_ms) {
    const int32_t saved = port->status;
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    uint32_t total = 0;
    const uint32_t deadline = tick_ms() + static_cast<uint32_t>(timeout_ms);
    for (;;) {
        port->status = PORT_OK;
        int32_t rc = port->ops.write_block(port, bytes, length);
        port->status = rc < 0 ? rc : saved;
        // A driver never reports more than it was given; guard the arithmetic anyway.
        const uint32_t n = port->count <= length ? port->count : length;
        total += n;
        bytes += n;
        length -= n;
        port->count = total;
        if (rc == PORT_TX_FULL) {
            if (timeout_ms != -1 && reached(tick_ms(), deadline)) return port->status;
        } else if (rc < 0) {
            return port->status;
        }
        if (length == 0) return PORT_OK;
        int32_t hook = idle_hook(port);
        if (hook < 0) {
            port->status = hook;
            return hook;
        }
    }
}

int32_t port_write_string(SerialPort* port, const char* text, int32_t terminator) {
    port->count = 0;
    if (terminator < -2 || terminator > 255) {
        port->status = PORT_BAD_ARGUMENT;
        return PORT_BAD_ARGUMENT;
    }
    if (text == nullptr) text = "";
    const size_t length = std::strlen(text);
    port->ops.write_block(port, text,
                          length > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(length));
    if (port->status < 0) return port->status;
    if (terminator >= 0) {
        port->ops.write_byte(port, terminator);
    } else if (terminator == -2) {
        port->ops.write_byte(port, 13);
        port->ops.write_byte(port, 10);
    }
    return port->status;
}

int32_t port_wait(SerialPort* port, int32_t ms) {
    const uint32_t deadline = tick_ms() + static_cast<uint32_t>(ms);
    while (!reached(tick_ms(), deadline)) {
        int32_t rc = idle_hook(port);
        if (rc < 0) return rc;
    }
    return PORT_OK;
}

int32_t port_delay_ticks(int32_t ticks) {
    if (ticks <= 0) return PORT_OK;
    // 55 ms per tick; clamp so the product stays a valid wait.
    const int32_t limit = INT32_MAX / 55;
    return port_wait(nullptr, (ticks > limit ? limit : ticks) * 55);
}

void port_wait_output_sent(SerialPort* port, int32_t speed) {
    const int32_t queued = port->ops.tx_count(port);
    if (queued > 0 && speed > 0) {
        // Ten bits a byte on the line, and a margin for the device.
        const uint64_t line_ms =
            uint64_t{static_cast<uint32_t>(queued)} * 10000U / static_cast<uint32_t>(speed);
        const uint32_t deadline = tick_ms() + static_cast<uint32_t>(line_ms) + 100U;
        while (port->ops.tx_count(port) > 0 && !reached(tick_ms(), deadline)) {
            if (idle_hook(port) < 0) break;
        }
    }
}

void port_close_lines(SerialPort* port, int32_t speed) {
    port_wait_output_sent(port, speed);
    port->ops.set_dtr(port, 0);
    port->ops.set_rts(port, 0);
}
