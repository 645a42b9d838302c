#include "app/run.h"

#include <cstdlib>

#include "app/console.h"
#include "app/loader.h"
#include "serial/port.h"

SerialPort* runPort = nullptr;
RunConfig runConfig{};

void abortRun(SerialPort* port) {
    if (port != nullptr) port->ops.close(port);
    if (port == runPort) runPort = nullptr;
    std::exit(kExitAbort);
}

bool askYesNo(const char* question) {
    consolePrint("\n%s", question);
    int key = consoleReadKey();
    if (key < 0) {
        // Nobody can answer: going on unasked could flash a wrong image.
        consoleWrite("\nNo answer: the console input has ended. The run stops.\n");
        abortRun(runPort);
    }
    consolePrint("%c\n", key);
    return key != 'n' && key != 'N';
}

void printRule(char ch) {
    char line[81];
    for (int i = 0; i < 79; ++i)
        line[i] = ch;
    line[79] = '\n';
    line[80] = '\0';
    consoleWrite(line);
}

void printFramedMessage(const char* text) {
    consoleWrite("\n");
    printRule('-');
    consoleWrite(text);
    printRule('-');
}

void failRun(const char* text) {
    printFramedMessage(text);
    abortRun(runPort);
}

namespace {

void printBanner() {
    printRule('-');
    consoleWrite("TALVIREN GSM FLASH DOWNLOAD\n");
    consolePrint("Version: %s (%s)\n", kVersionText, kDateText);
    printRule('-');
}

}  // namespace

int runDownload(int argc, char** argv) {
    consoleInit();
    printBanner();
    if (!parseCommandLine(argc, argv, runConfig)) {
        printUsage();
        return kExitAbort;
    }
    if (!openFlashLoader(runConfig)) return kExitAbort;

    consoleWrite("\nEntering Serial Mode\n");
    consolePrint("\nOpening COM%d\n", runConfig.portIndex + 1);
    consoleWrite("\nThis build ends here: talking to the phone is not built yet.\n");
    return kExitAbort;
}
