#include "app/loader.h"

#include <string>

#include "app/console.h"
#include "app/events.h"
#include "app/expect.h"
#include "app/run_state.h"
#include "platform/files.h"
#include "platform/terminal.h"
#include "serial/port.h"

// 97 characters, the NUL, as the IROM takes them.
constexpr size_t kLoaderLineSize = 98;
// Ctrl-Z: a DOS text file ends there, whatever follows.
constexpr int kEndOfText = 0x1A;

namespace {

const char* const kTargetNames[] = {"rb7", "rb7dsp", "k52"};
const char* const kFullSearch[] = {"p:\\tools\\", "c:\\tools\\", ".\\"};
const char* const kLocalSearch[] = {".\\"};

FILE* openLoaderPath(const std::string& path) {
    return file_open_regular(loaderLocalPath(path).c_str());
}

}  // namespace

std::string loaderLocalPath(const std::string& path) {
    std::string local = path;
    if (kPathSeparator != '\\') {
        for (char& ch : local) {
            if (ch == '\\') ch = kPathSeparator;
        }
    }
    return local;
}

bool openFlashLoader(const RunConfig& config) {
    FILE*& loaderFile = run().loaderFile;
    loaderFile = nullptr;
    const char* targetName = kTargetNames[config.target];
    // A /f: name of any length is taken as it is.
    std::string name =
        config.loaderName != nullptr
            ? std::string(config.loaderName)
            : std::string(config.linkMode == LinkDongle ? "i" : "") + targetName + ".s37";
    consolePrint("Open %s flash loader for %s ...\n",
                 config.linkMode == LinkDongle ? "infrared mode" : "wire mode", targetName);

    auto tryOpen = [&loaderFile](const std::string& shown, FILE* file) {
        consolePrint("try to open %-20s...", shown.c_str());
        loaderFile = file;
        if (file != nullptr) run().loaderPath = shown;
        consoleWrite(loaderFile != nullptr ? "Done\n" : "Failed\n");
    };
    if (config.loaderName != nullptr && path_is_absolute(config.loaderName)) {
        // An absolute /f: path names its one place, as it is.
        tryOpen(name, file_open_regular(name.c_str()));
    } else {
        const char* const* dirs = config.loaderSearch == 1 ? kLocalSearch : kFullSearch;
        size_t dirCount = config.loaderSearch == 1 ? 1 : 3;
        for (size_t i = 0; i < dirCount && loaderFile == nullptr; ++i) {
            const std::string path = std::string(dirs[i]) + name;
            tryOpen(path, openLoaderPath(path));
        }
    }
    if (loaderFile != nullptr) return true;

    setStopReason(("Could not open " + name).c_str());
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
        if (ch == kEndOfText) {
            // Stays unread, so that every later read ends here too.
            std::ungetc(ch, file);
            break;
        }
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
    FILE* loaderFile = run().loaderFile;
    const ExpectedFile& expected = run().runConfig.expectedLoader;
    if (expected.given && loaderFile != nullptr) {
        // The loader as the station checked it, or none: read now, the
        // bytes that are sent.
        requireExpected(run().loaderPath.c_str(), file_length(loaderFile), fileSha256(loaderFile),
                        expected);
    }
    consoleWrite("\nSending flash loader to IROM\n");
    char line[kLoaderLineSize];
    uint32_t lines = 0;
    while (loaderFile != nullptr && readLoaderLine(loaderFile, line, sizeof line)) {
        port_write_string(run().runPort, line, -1);
        waitRecordAck();
        consolePutCharDirect('.');
        eventUpload(++lines);
    }
    consoleWrite("\nResponse OK\n");
}

void waitRecordAck() {
    bool echoStarted = false;
    for (;;) {
        int32_t byte = port_read_byte_timed(run().runPort, 1000);
        if (byte < 0) {
            setStopReason("Timeout waiting for s-record ACK from IROM");
            consoleWrite("\n\n");
            printRule('-');
            consoleWrite("Timeout waiting for s-record ACK from IROM\n");
            printRule('-');
            abortRun(run().runPort);
        }
        if (byte == '.') return;
        if (byte >= 0x20 && byte <= 0x7E) {
            if (!echoStarted) {
                consoleWrite("\n");
                echoStarted = true;
            }
            consolePutCharDirect(static_cast<char>(byte));
        }
    }
}
