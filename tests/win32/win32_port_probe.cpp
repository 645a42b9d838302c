// Drives the serial services of the Windows build through a script given on
// the command line and prints one result line per step, so a native test can
// check them against a pseudo-terminal linked to a COM port of Wine.
//
//   open N | win32open N | named NAME         open COMn (38400 8N1) or a name
//   setline SPEED PARITY BITS STOP
//   write HEX | writeblock HEX | bigwrite N TIMEOUT
//   read N TIMEOUT | readblock N
//   rxcount | txcount | rxfree | txfree | modem | line | status | clearstatus
//   dtr 0|1 | rts 0|1 | break MS | wait MS | dump | close
//   echo N                                     sends back each of N bytes read
//   onebyte                                    the armed read takes one byte
//   writetimeout MS                            writes end after MS, short (Windows)
//   earlyend                                   the armed read takes one byte and
//                                              ends empty after 5 ms (Windows)
// Built for Windows (run under Wine) and, for the benchmarks, natively.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/keyboard.h"
#include "serial/port.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

SerialPort* port = nullptr;

std::vector<unsigned char> parseHex(const char* text) {
    std::vector<unsigned char> bytes;
    for (size_t i = 0; text[i] != '\0' && text[i + 1] != '\0'; i += 2) {
        char pair[3] = {text[i], text[i + 1], '\0'};
        bytes.push_back(static_cast<unsigned char>(std::strtoul(pair, nullptr, 16)));
    }
    return bytes;
}

std::string toHex(const unsigned char* bytes, size_t length) {
    std::string text;
    char pair[3];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
        text += pair;
    }
    return text;
}

void printLine(const char* line) {
    std::printf("dump: %s\n", line);
}

void reportOpen(const char* what) {
    std::printf("%s status=%d type=%d index=%d\n", what, static_cast<int>(port->status),
                static_cast<int>(port->driver_type), static_cast<int>(port->port_index));
}

int arg(char** argv, int argc, int i) {
    return i < argc ? std::atoi(argv[i]) : 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    for (int i = 1; i < argc; ++i) {
        const std::string op = argv[i];
        if (op == "open") {
            port = serial_port_open(arg(argv, argc, ++i) - 1, nullptr, 38400, 'N', 8, 1);
            reportOpen("open");
        } else if (op == "win32open") {
#ifdef _WIN32
            port = win32_port_open(arg(argv, argc, ++i) - 1, 38400, 'N', 8, 1);
            reportOpen("win32open");
#else
            std::printf("win32open: Windows only\n");
            return 2;
#endif
        } else if (op == "named") {
            const char* name = ++i < argc ? argv[i] : "";
            port = serial_port_open(0, name, 38400, 'N', 8, 1);
            reportOpen("named");
        } else if (port == nullptr) {
            std::printf("no port\n");
            return 2;
        } else if (op == "setline") {
            const int speed = arg(argv, argc, i + 1);
            const char parity = i + 2 < argc ? argv[i + 2][0] : 'N';
            const int bits = arg(argv, argc, i + 3);
            const int stop = arg(argv, argc, i + 4);
            i += 4;
            const int rc = port->ops.set_line(port, speed, parity, bits, stop);
            std::printf("setline rc=%d status=%d\n", rc, static_cast<int>(port->status));
        } else if (op == "write" || op == "writeblock") {
            const std::vector<unsigned char> bytes = parseHex(++i < argc ? argv[i] : "");
            const auto length = static_cast<uint32_t>(bytes.size());
            const int rc = op == "write" ? port_write_block_timed(port, bytes.data(), length, -1)
                                         : port->ops.write_block(port, bytes.data(), length);
            std::printf("%s rc=%d count=%u status=%d\n", op.c_str(), rc,
                        static_cast<unsigned>(port->count), static_cast<int>(port->status));
        } else if (op == "bigwrite") {
            const int n = arg(argv, argc, ++i);
            const int timeout = arg(argv, argc, ++i);
            std::vector<unsigned char> bytes(static_cast<size_t>(n > 0 ? n : 0));
            for (size_t k = 0; k < bytes.size(); ++k)
                bytes[k] = static_cast<unsigned char>(k);
            const int rc = port_write_block_timed(port, bytes.data(),
                                                  static_cast<uint32_t>(bytes.size()), timeout);
            std::printf("bigwrite rc=%d count=%u status=%d\n", rc,
                        static_cast<unsigned>(port->count), static_cast<int>(port->status));
        } else if (op == "read") {
            const int n = arg(argv, argc, ++i);
            const int timeout = arg(argv, argc, ++i);
            std::vector<unsigned char> bytes;
            int rc = 0;
            while (static_cast<int>(bytes.size()) < n) {
                rc = port_read_byte_timed(port, timeout);
                if (rc < 0) break;
                bytes.push_back(static_cast<unsigned char>(rc));
            }
            std::printf("read %s rc=%d\n", toHex(bytes.data(), bytes.size()).c_str(),
                        rc < 0 ? rc : 0);
        } else if (op == "readblock") {
            unsigned char buffer[4096];
            int n = arg(argv, argc, ++i);
            if (n < 0 || n > static_cast<int>(sizeof buffer)) n = sizeof buffer;
            const int rc = port->ops.read_block(port, buffer, static_cast<uint32_t>(n));
            std::printf("readblock rc=%d count=%u data=%s\n", rc,
                        static_cast<unsigned>(port->count),
                        toHex(buffer, rc < 0 ? 0 : port->count).c_str());
        } else if (op == "rxcount") {
            std::printf("rxcount %d\n", static_cast<int>(port->ops.rx_count(port)));
        } else if (op == "txcount") {
            std::printf("txcount %d\n", static_cast<int>(port->ops.tx_count(port)));
        } else if (op == "rxfree") {
            std::printf("rxfree %d\n", static_cast<int>(port->ops.rx_free(port)));
        } else if (op == "txfree") {
            std::printf("txfree %d\n", static_cast<int>(port->ops.tx_free(port)));
        } else if (op == "modem") {
            std::printf("modem %d\n", static_cast<int>(port->ops.modem_status(port)));
        } else if (op == "line") {
            std::printf("line %d\n", static_cast<int>(port->ops.line_status(port)));
        } else if (op == "status") {
            std::printf("status %d\n", static_cast<int>(port->status));
        } else if (op == "clearstatus") {
            port->ops.clear_status(port);
            std::printf("clearstatus status=%d\n", static_cast<int>(port->status));
        } else if (op == "dtr" || op == "rts") {
            const int on = arg(argv, argc, ++i);
            const int rc = op == "dtr" ? port->ops.set_dtr(port, on) : port->ops.set_rts(port, on);
            std::printf("%s rc=%d\n", op.c_str(), rc);
        } else if (op == "break") {
            const int ms = arg(argv, argc, ++i);
            const uint32_t start = tick_ms();
            const int rc = port->ops.send_break(port, ms);
            std::printf("break rc=%d ms=%u\n", rc, static_cast<unsigned>(tick_ms() - start));
        } else if (op == "wait") {
            std::printf("wait rc=%d\n", static_cast<int>(port_wait(port, arg(argv, argc, ++i))));
        } else if (op == "dump") {
            const int rc = port->ops.dump(port, printLine);
            std::printf("dump rc=%d\n", rc);
        } else if (op == "echo") {
            // Each byte back as soon as it is seen: the far side times the round trip.
            const int n = arg(argv, argc, ++i);
            int echoed = 0;
            for (; echoed < n; ++echoed) {
                const int32_t byte = port_read_byte_timed(port, 20000);
                if (byte < 0) break;
                port->ops.write_byte(port, byte);
            }
            std::printf("echo %d\n", echoed);
        } else if (op == "onebyte") {
#ifdef _WIN32
            win32_port_arm_one_byte(port);
#endif
            std::printf("onebyte\n");
        } else if (op == "earlyend") {
            // A driver whose reads end empty long before the time-outs asked.
#ifdef _WIN32
            win32_port_arm_one_byte(port);
            COMMTIMEOUTS timeouts{};
            GetCommTimeouts(win32_port_handle(port), &timeouts);
            timeouts.ReadIntervalTimeout = 0;
            timeouts.ReadTotalTimeoutMultiplier = 0;
            timeouts.ReadTotalTimeoutConstant = 5;
            SetCommTimeouts(win32_port_handle(port), &timeouts);
#endif
            std::printf("earlyend\n");
        } else if (op == "writetimeout") {
            // A write the platform ends short, as a driver with write time-outs does.
            const int ms = arg(argv, argc, ++i);
#ifdef _WIN32
            COMMTIMEOUTS timeouts{};
            GetCommTimeouts(win32_port_handle(port), &timeouts);
            timeouts.WriteTotalTimeoutConstant = static_cast<DWORD>(ms);
            SetCommTimeouts(win32_port_handle(port), &timeouts);
#endif
            std::printf("writetimeout %d\n", ms);
        } else if (op == "close") {
            std::printf("close rc=%d\n", static_cast<int>(port->ops.close(port)));
            port = nullptr;
        } else {
            std::printf("unknown %s\n", op.c_str());
            return 2;
        }
    }
    return 0;
}
