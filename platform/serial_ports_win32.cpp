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
#include <cstring>

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

// A USB adapter's ids from its instance id: USB\VID_0403&PID_6001\A50285BI,
// or FTDI's FTDIBUS\VID_0403+PID_6001+A50285BIA\0000.
void usbIdentity(const std::string& id, SerialPortInfo* info) {
    const size_t vid = id.find("VID_");
    const size_t pid = id.find("PID_");
    if (vid == std::string::npos || pid == std::string::npos || id.size() < pid + 8) return;
    info->vendorId = id.substr(vid + 4, 4);
    info->productId = id.substr(pid + 4, 4);
    const size_t rest = pid + 8;
    if (id[rest] == '+') {
        info->serial = id.substr(rest + 1, id.find('\\', rest) - rest - 1);
    } else if (id[rest] == '\\' && id.find('&', rest) == std::string::npos) {
        info->serial = id.substr(rest + 1);  // a serial number the device gives
    }
    for (std::string* text : {&info->vendorId, &info->productId})
        for (char& c : *text)
            c = static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
}

// What SetupAPI says of the ports device whose PortName is `port`: its
// friendly name and, for a USB adapter, its ids.
void describePort(HDEVINFO devices, const std::string& port, SerialPortInfo* info) {
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
            info->description = text;
        char id[512] = "";
        if (SetupDiGetDeviceInstanceIdA(devices, &device, id, sizeof id - 1, nullptr))
            usbIdentity(id, info);
        return;
    }
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
            describePort(devices, info.device, &info);
        SetupDiDestroyDeviceInfoList(devices);
    }
    std::sort(ports.begin(), ports.end(), comOrder);
    return ports;
}

// COM12 for \\.\COM12 too.
std::string portName(const char* device) {
    return std::strncmp(device, "\\\\.\\", 4) == 0 ? device + 4 : device;
}

SerialPortInfo serial_port_describe(const char* device, const char*, const char*) {
    SerialPortInfo info;
    HDEVINFO devices = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (devices != INVALID_HANDLE_VALUE) {
        describePort(devices, portName(device), &info);
        SetupDiDestroyDeviceInfoList(devices);
    }
    info.device = device;
    return info;
}

bool serial_device_present(const char* device) {
    const std::string name = portName(device);
    char target[1024];
    if (QueryDosDeviceA(name.c_str(), target, sizeof target) != 0) return true;
    // Only a name the system does not know is gone; anything else may be there.
    if (GetLastError() != ERROR_FILE_NOT_FOUND) return true;
    // Wine does not know the COM links made in its prefix by hand: there a
    // port that it cannot name counts as present (its worker finds out).
    static const bool wine =
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    return wine;
}

bool modem_manager_running(const char*) {
    return false;
}
