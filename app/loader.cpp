#include "app/loader.h"

#include <string>

#include "app/console.h"
#include "app/run.h"
#include "serial/port.h"

FILE* loaderFile = nullptr;

// 97 characters, the NUL, as the IROM takes them.
constexpr size_t kLoaderLineSize = 98;

namespace {

const char* const kTargetNames[] = {"rb7", "rb7dsp", "k52"};
const char* const kFullSearch[] = {"p:\\tools\\", "c:\\tools\\", ".\\"};
const char* const kLocalSearch[] = {".\\"};

FILE* openLoaderPath(const std::string& path) {
#ifdef _WIN32
    return std::fopen(path.c_str(), "rb");
#else
    // The directory texts are DOS paths; here they name the same places.
    std::string local = path;
    for (char& ch : local) {
        if (ch == '\\') ch = '/';
    }
    return std::fopen(local.c_str(), "rb");
#endif
}

}  // namespace

bool openFlashLoader(const RunConfig& config) {
    loaderFile = nullptr;
    const char* targetName = kTargetNames[config.target];
    // A /f: name of any length is taken as it is.
    std::string name =
        config.loaderName != nullptr
            ? std::string(config.loaderName)
            : std::string(config.linkMode == LinkDongle ? "i" : "") + targetName + ".s37";
    consolePrint("Open %s flash loader for %s ...\n",
                 config.linkMode == LinkDongle ? "infrared mode" : "wire mode", targetName);

    const char* const* dirs = config.loaderSearch == 1 ? kLocalSearch : kFullSearch;
    size_t dirCount = config.loaderSearch == 1 ? 1 : 3;
    for (size_t i = 0; i < dirCount && loaderFile == nullptr; ++i) {
        std::string path = std::string(dirs[i]) + name;
        consolePrint("try to open %-20s...", path.c_str());
        loaderFile = openLoaderPath(path);
        consoleWrite(loaderFile != nullptr ? "Done\n" : "Failed\n");
    }
    if (loaderFile != nullptr) return true;

    printRule('-');
    consolePrint("Could not open %s. This file is required to\n", name.c_str());
    consoleWrite("initialize the IROM prior to FLASH download\n");
    printRule('-');
    return false;
}

bool readLoaderLine(FILE* file, char* buffer, size_t size) {
    size_t stored = 0;
    while (stored + 1 < size) {
        int ch = std::fgetc(file);
        if (ch == EOF) break;
        if (ch == '\r') {
            int next = std::fgetc(file);
            if (next == '\n') {
                ch = '\n';
            } else if (next != EOF) {
                std::ungetc(next, file);
            }
        }
        buffer[stored++] = static_cast<char>(ch);
        if (ch == '\n') break;
    }
    buffer[stored] = '\0';
    return stored > 0;
}

void sendFlashLoader() {
    consoleWrite("\nSending flash loader to IROM\n");
    char line[kLoaderLineSize];
    while (loaderFile != nullptr && readLoaderLine(loaderFile, line, sizeof line)) {
        port_write_string(runPort, line, -1);
        waitRecordAck();
        consolePutChar('.');
    }
    consoleWrite("\nResponse OK\n");
}

void waitRecordAck() {
    bool echoStarted = false;
    for (;;) {
        int32_t byte = port_read_byte_timed(runPort, 1000);
        if (byte < 0) {
            consoleWrite("\n\n");
            printRule('-');
            consoleWrite("Timeout waiting for s-record ACK from IROM\n");
            printRule('-');
            abortRun(runPort);
        }
        if (byte == '.') return;
        if (byte >= 0x20 && byte <= 0x7E) {
            if (!echoStarted) {
                consoleWrite("\n");
                echoStarted = true;
            }
            consolePutChar(static_cast<char>(byte));
        }
    }
}
