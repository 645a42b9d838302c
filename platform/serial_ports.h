// The serial devices of this machine, found without opening any of them
// (opening a port can disturb a phone or another program's run). Nothing
// here prints.
#pragma once

#include <string>
#include <vector>

struct SerialPortInfo {
    std::string device;               // /dev/ttyUSB0, COM3
    std::vector<std::string> byId;    // its stable names: /dev/serial/by-id/...
    std::vector<std::string> byPath;  // and /dev/serial/by-path/...
    // A USB device's ids and texts (empty for others).
    std::string vendorId, productId, serial, product;
    std::string description;  // the system's name for it (Windows)
};

// Linux: every tty under sysRoot/class/tty with a device behind it (a UART
// that answers, a USB adapter, an ACM modem), its names under devRoot.
// Windows: the COM ports the system lists, with their friendly names (the
// roots are not used). In the order of their device names.
std::vector<SerialPortInfo> serial_ports_list(const char* sysRoot = "/sys",
                                              const char* devRoot = "/dev");

// What the listing knows of one device, named as for /c: (links followed);
// only its device name when it is none of them.
SerialPortInfo serial_port_describe(const char* device, const char* sysRoot = "/sys",
                                    const char* devRoot = "/dev");

// Whether the device is there (an adapter pulled is not), without opening it.
bool serial_device_present(const char* device);

// Whether ModemManager runs (a process of that name under procRoot), which
// probes every new USB serial device with AT commands (Linux; false elsewhere).
bool modem_manager_running(const char* procRoot = "/proc");
