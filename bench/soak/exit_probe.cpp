// Loaded into the tool with LD_PRELOAD by scripts/soak.sh: when the process
// ends normally, after the tool's own exit actions, it appends one line to
// the file named by DOWNLOAD_SOAK_PROBE: the open descriptors and the peak
// resident size (kB) of the process.
#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int openDescriptors() {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int count = 0;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count - 1;  // the directory's own descriptor
}

long peakKiB() {
    FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) return -1;
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, "VmHWM:", 6) == 0) kib = std::strtol(line + 6, nullptr, 10);
    }
    std::fclose(status);
    return kib;
}

// Runs from the dynamic linker's finalisation, after the program's atexit
// handlers (which close any port still open).
__attribute__((destructor)) void reportAtExit() {
    const char* path = std::getenv("DOWNLOAD_SOAK_PROBE");
    if (path == nullptr) return;
    const int fds = openDescriptors();
    const long kib = peakKiB();
    FILE* out = std::fopen(path, "a");
    if (out == nullptr) return;
    std::fprintf(out, "fds=%d peak_kib=%ld\n", fds, kib);
    std::fclose(out);
}

}  // namespace
