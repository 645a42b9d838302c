#include "app/run_state.h"

#include <cstdlib>

#include "app/console.h"
#include "serial/port.h"

namespace {

RunState state{};
RunExit runExitHandler = nullptr;

}  // namespace

RunState& run() {
    return state;
}

void resetRun() {
    if (state.loaderFile != nullptr) std::fclose(state.loaderFile);
    if (state.currentImage.stream != nullptr) std::fclose(state.currentImage.stream);
    state = RunState{};
}

void setRunExit(RunExit runExit) {
    runExitHandler = runExit;
}

void abortRun(SerialPort* port) {
    if (port != nullptr) port->ops.close(port);
    if (port == state.runPort) state.runPort = nullptr;
    if (runExitHandler != nullptr) runExitHandler(kExitAbort);
    std::exit(kExitAbort);
}

bool askYesNo(const char* question) {
    consoleDropTypedAhead();
    consolePrint("\n%s", question);
    const int key = consoleReadKey();
    if (key < 0) {
        // Nobody can answer: going on unasked could flash a wrong image.
        consoleWrite("\nNo answer: the console input has ended. The run stops.\n");
        abortRun(state.runPort);
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
    abortRun(state.runPort);
}
