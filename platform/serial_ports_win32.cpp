// The COM ports the system lists (HARDWARE\DEVICEMAP\SERIALCOMM), with the
// friendly names SetupAPI gives for them.
#include <windows.h>
// clang-format off
#include <initguid.h>
#include <devguid.h>
#include <setupapi.h>
// clang-format on

#include <algorithm>
#include <cstdlib>

#include "platform/serial_ports.h"

namespace {

// COM3 before COM12.
bool comOrder(const SerialPortInfo& a, const SerialPortInfo& b) {
    const auto number = [](const std::string& name) {
        return name.size() > 3 ? std::atoi(name.c_str() + 3) : 0;
    };
    return number(a.device) != number(b.device) ? number(a.device) < number(b.device)
                                                : a.device < b.device;
}

// The friendly name of the ports device whose PortName is `port`.
std::string friendlyName(HDEVINFO devices, const std::string& port) {
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(devices, i, &device); ++i) {
        HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) continue;
        char name[64] = "";
        DWORD size = sizeof name - 1;
        DWORD type = 0;
        const bool match =
            RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name),
                             &size) == ERROR_SUCCESS &&
            type == REG_SZ && port == name;
        RegCloseKey(key);
        if (!match) continue;
        char text[256] = "";
        if (SetupDiGetDeviceRegistryPropertyA(devices, &device, SPDRP_FRIENDLYNAME, nullptr,
                                              reinterpret_cast<BYTE*>(text), sizeof text - 1,
                                              nullptr))
            return text;
    }
    return "";
}

}  // namespace

std::vector<SerialPortInfo> serial_ports_list(const char*, const char*) {
    std::vector<SerialPortInfo> ports;
    HKEY map = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &map) !=
        ERROR_SUCCESS)
        return ports;
    for (DWORD i = 0;; ++i) {
        char value[256];
        DWORD valueSize = sizeof value;
        char data[64] = "";
        DWORD dataSize = sizeof data - 1;
        DWORD type = 0;
        const LONG rc = RegEnumValueA(map, i, value, &valueSize, nullptr, &type,
                                      reinterpret_cast<BYTE*>(data), &dataSize);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS || type != REG_SZ) continue;
        SerialPortInfo info;
        info.device = data;
        ports.push_back(info);
    }
    RegCloseKey(map);
    HDEVINFO devices = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (devices != INVALID_HANDLE_VALUE) {
        for (SerialPortInfo& info : ports)
            info.description = friendlyName(devices, info.device);
        SetupDiDestroyDeviceInfoList(devices);
    }
    std::sort(ports.begin(), ports.end(), comOrder);
    return ports;
}

SerialPortInfo serial_port_describe(const char* device, const char*, const char*) {
    SerialPortInfo info;
    info.device = device;
    return info;
}

bool modem_manager_running(const char*) {
    return false;
}
