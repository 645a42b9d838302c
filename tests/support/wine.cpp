#include "tests/support/wine.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace {

const char kWine[] = "/usr/bin/wine";

bool isDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string comLinkPath(int n) {
    return winePrefix() + "/dosdevices/com" + std::to_string(n);
}

}  // namespace

std::string winePrefix() {
    const char* prefix = std::getenv("DOWNLOAD_WINEPREFIX");
    return prefix != nullptr ? prefix : "";
}

bool wineRequired() {
    const char* value = std::getenv("DOWNLOAD_REQUIRE_WINE");
    return value != nullptr && std::string(value) == "1";
}

bool wineReady(const std::string& exe, std::string* why) {
    std::string reason;
    const std::string prefix = winePrefix();
    if (access(kWine, X_OK) != 0)
        reason = std::string(kWine) + " is not installed";
    else if (prefix.empty())
        reason = "DOWNLOAD_WINEPREFIX is not set";
    else if (!isDirectory(prefix) || !isFile(prefix + "/system.reg"))
        reason = "no Wine prefix at " + prefix;
    else if (exe.empty() || !isFile(exe))
        reason = "no Windows build at " + exe;
    if (why != nullptr) *why = reason;
    return reason.empty();
}

void linkWineComPort(int n, const std::string& devicePath) {
    const std::string dir = winePrefix() + "/dosdevices";
    mkdir(dir.c_str(), 0755);
    const std::string link = comLinkPath(n);
    unlink(link.c_str());
    if (symlink(devicePath.c_str(), link.c_str()) != 0)
        ADD_FAILURE() << "cannot link " << link << " to " << devicePath;
}

void unlinkWineComPort(int n) {
    unlink(comLinkPath(n).c_str());
}

std::vector<std::string> wineCommand(const std::string& exe, const std::vector<std::string>& args) {
    std::vector<std::string> command{kWine, exe};
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

std::vector<std::string> wineEnvironment() {
    return {"WINEPREFIX=" + winePrefix(), "WINEDEBUG=-all"};
}
