#include "app/ports.h"

#include <string>

#include "app/console.h"
#include "app/run_state.h"
#include "platform/serial_ports.h"

int listSerialPorts(const char* sysRoot, const char* devRoot) {
    const std::vector<SerialPortInfo> ports = serial_ports_list(sysRoot, devRoot);
    for (const SerialPortInfo& port : ports) {
        std::string line = port.device;
        if (!port.vendorId.empty()) {
            line += "  USB " + port.vendorId + ":" + port.productId;
            if (!port.product.empty()) line += " \"" + port.product + "\"";
            if (!port.serial.empty()) line += " serial " + port.serial;
        }
        if (!port.description.empty()) line += "  " + port.description;
        for (const std::string& name : port.byId)
            line += "  " + name;
        for (const std::string& name : port.byPath)
            line += "  " + name;
        consolePrint("%s\n", line.c_str());
    }
    if (ports.empty()) consoleNote("no serial devices found");
    return kExitSuccess;
}

void noteModemManager(const char* device) {
    const SerialPortInfo port = serial_port_describe(device);
    if (port.vendorId.empty() || !modem_manager_running()) return;
    consoleNote(
        "ModemManager runs: it probes USB serial devices with AT commands, which the phone's "
        "boot ROM answers, and may take %s during the run. Tell it to leave the adapter alone "
        "with a udev rule (/etc/udev/rules.d/99-phone.rules): ATTRS{idVendor}==\"%s\", "
        "ATTRS{idProduct}==\"%s\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"; or stop it: sudo "
        "systemctl stop ModemManager",
        device, port.vendorId.c_str(), port.productId.c_str());
}
