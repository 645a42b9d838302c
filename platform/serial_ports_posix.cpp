// The serial devices from sysfs (Linux); other POSIX systems list none.
#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/serial_ports.h"

namespace {

// A sysfs attribute: its first line.
std::string attribute(const std::string& path) {
    std::string text;
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) return text;
    char line[256];
    if (std::fgets(line, sizeof line, file) != nullptr) text = line;
    std::fclose(file);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

bool exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return names;
    while (const dirent* entry = readdir(d)) {
        if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

std::string baseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The links in dir that lead to the tty `name`.
std::vector<std::string> linksTo(const std::string& dir, const std::string& name) {
    std::vector<std::string> links;
    for (const std::string& entry : entries(dir)) {
        char target[PATH_MAX];
        const ssize_t n = readlink((dir + "/" + entry).c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        if (baseName(target) == name) links.push_back(dir + "/" + entry);
    }
    return links;
}

// The USB device above a tty's device: the first directory up its real path
// that has a vendor id.
void usbIds(const std::string& deviceLink, SerialPortInfo* info) {
    char real[PATH_MAX];
    if (realpath(deviceLink.c_str(), real) == nullptr) return;
    for (std::string dir = real; dir.size() > 1; dir = dir.substr(0, dir.rfind('/'))) {
        if (!exists(dir + "/idVendor")) continue;
        info->vendorId = attribute(dir + "/idVendor");
        info->productId = attribute(dir + "/idProduct");
        info->serial = attribute(dir + "/serial");
        info->product = attribute(dir + "/product");
        return;
    }
}

// The tty `name` when a device is behind it: a legacy UART node whose port
// type is unknown has none that answers.
bool describe(const std::string& name, const std::string& sys, const std::string& dev,
              SerialPortInfo* info) {
#if defined(__linux__)
    const std::string tty = sys + "/class/tty/" + name;
    if (!exists(tty + "/device")) return false;
    if (exists(tty + "/type") && attribute(tty + "/type") == "0") return false;
    info->device = dev + "/" + name;
    info->byId = linksTo(dev + "/serial/by-id", name);
    info->byPath = linksTo(dev + "/serial/by-path", name);
    usbIds(tty + "/device", info);
    return true;
#else
    (void)name;
    (void)sys;
    (void)dev;
    (void)info;
    return false;
#endif
}

}  // namespace

std::vector<SerialPortInfo> serial_ports_list(const char* sysRoot, const char* devRoot) {
    std::vector<SerialPortInfo> ports;
    for (const std::string& name : entries(std::string(sysRoot) + "/class/tty")) {
        SerialPortInfo info;
        if (describe(name, sysRoot, devRoot, &info)) ports.push_back(info);
    }
    return ports;
}

SerialPortInfo serial_port_describe(const char* device, const char* sysRoot, const char* devRoot) {
    SerialPortInfo info;
    char real[PATH_MAX];
    const std::string name = baseName(realpath(device, real) != nullptr ? real : device);
    if (!describe(name, sysRoot, devRoot, &info)) info = SerialPortInfo{};
    info.device = device;
    return info;
}

bool serial_device_present(const char* device) {
    return access(device, F_OK) == 0;  // a link whose device has gone leads nowhere
}

bool modem_manager_running(const char* procRoot) {
    for (const std::string& entry : entries(procRoot)) {
        if (entry.find_first_not_of("0123456789") != std::string::npos) continue;
        if (attribute(std::string(procRoot) + "/" + entry + "/comm") == "ModemManager") return true;
    }
    return false;
}
