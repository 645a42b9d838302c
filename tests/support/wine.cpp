#include "tests/support/wine.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "tests/support/process.h"

namespace {

const char kWine[] = "/usr/bin/wine";
const char kWineServer[] = "/usr/bin/wineserver";

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

// Runs a program in its own session with its standard streams on /dev/null
// and waits for it (killing it after timeoutSeconds). False when it could not
// run or did not end in time.
bool runQuietly(const std::vector<std::string>& argv, double timeoutSeconds) {
    const ExecCall call(argv, {"WINEPREFIX=" + winePrefix(), "WINEDEBUG=-all"});
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        setsid();
        int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
            if (null > 2) close(null);
        }
        call.exec();
    }
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<long>(timeoutSeconds * 1000));
    for (;;) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) return true;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace

void startWineServer() {
    if (winePrefix().empty()) return;
    // Persistent for a minute after its last client; a no-op when one runs.
    runQuietly({kWineServer, "-p60"}, 10);
    // The first client starts Wine's services: let it be one without our pipes.
    runQuietly({kWine, "cmd", "/c", "exit"}, 60);
}

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
