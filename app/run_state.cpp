#include "app/run_state.h"

#include <cstdio>
#include <cstdlib>

#include "app/console.h"
#include "app/events.h"
#include "platform/terminal.h"
#include "serial/port.h"

namespace {

RunState freshState() {
    RunState fresh{};
    fresh.flash.writing = -1;
    return fresh;
}

RunState state = freshState();
RunExit runExitHandler = nullptr;

// The note about the FLASH, twice: a signal handler may read the one in use
// while the next is written into the other.
char flashNotes[2][400];
int flashNoteInUse = 0;

}  // namespace

RunState& run() {
    return state;
}

void resetRun() {
    if (state.loaderFile != nullptr) std::fclose(state.loaderFile);
    if (state.currentImage.stream != nullptr) std::fclose(state.currentImage.stream);
    state = freshState();
    updateFlashNote();
}

void updateFlashNote() {
    const int next = 1 - flashNoteInUse;
    char* note = flashNotes[next];
    const size_t size = sizeof flashNotes[next];
    size_t used = 0;
    note[0] = '\0';
    const FlashState& flash = state.flash;
    const RunConfig& config = state.runConfig;
    if (flash.writing >= 0 && flash.writing < config.imageCount) {
        const auto first = static_cast<uint32_t>(config.imageAddresses[flash.writing]);
        const auto last = static_cast<uint32_t>(config.imageLastAddresses[flash.writing]);
        const int n = std::snprintf(
            note, size,
            "%s: %u of %u blocks sent; its FLASH at 0x%X-0x%X is incomplete and must be "
            "flashed again\n",
            config.imageNames[flash.writing], static_cast<unsigned>(flash.blocksSent),
            static_cast<unsigned>(flash.blocks), static_cast<unsigned>(first),
            static_cast<unsigned>(last));
        used = n > 0 ? static_cast<size_t>(n) : 0;
    }
    if (config.imageCount > 1 && flash.imagesStarted > 0 && used < size) {
        std::snprintf(note + used, size - used, "%d of %d images verified\n",
                      static_cast<int>(flash.imagesVerified), static_cast<int>(config.imageCount));
    }
    flashNoteInUse = next;
    terminal_set_signal_note(note[0] != '\0' ? note : nullptr);
    eventsPrepareSignalEnd(flashState().c_str());
}

const char* flashNote() {
    return flashNotes[flashNoteInUse];
}

std::string flashState() {
    std::string text = flashNote();
    for (size_t at; (at = text.find('\n')) != std::string::npos;)
        text.replace(at, 1, at + 1 < text.size() ? "; " : "");
    return text;
}

void setRunExit(RunExit runExit) {
    runExitHandler = runExit;
}

namespace {

[[noreturn]] void endRun(SerialPort* port, int status) {
    const bool gone = port_device_gone(port);
    if (port != nullptr) port->ops.close(port);
    if (port == state.runPort) state.runPort = nullptr;
    if (gone) consoleNote("the serial device disappeared");
    if (flashNote()[0] != '\0') {
        consoleBeginNote();
        std::fputs(flashNote(), stderr);
    }
    finishRun(status);
    if (runExitHandler != nullptr) runExitHandler(status);
    std::exit(status);
}

}  // namespace

void abortRun(SerialPort* port) {
    endRun(port, kExitAbort);
}

void interruptRun() {
    consoleWrite("^C\n");
    setStopReason("Ctrl-C");
    endRun(state.runPort, kExitInterrupted);
}

void setStopReason(const char* text, bool onPurpose) {
    size_t n = 0;
    for (; text[n] != '\0' && text[n] != '\n' && n + 1 < sizeof state.stopReason; ++n)
        state.stopReason[n] = text[n];
    state.stopReason[n] = '\0';
    state.stoppedOnPurpose = onPurpose;
}

int finishRun(int status) {
    const char* result = status == kExitSuccess       ? "verified"
                         : status == kExitInterrupted ? "interrupted"
                         : state.stoppedOnPurpose     ? "stopped"
                                                      : "failed";
    if (status != kExitSuccess && state.stopReason[0] == '\0') setStopReason("the run stopped");
    eventEnd(status, result, status == kExitSuccess ? "" : state.stopReason, flashState().c_str());
    eventsClose();
    return status;
}

bool askYesNo(const char* question, Question kind) {
    const char given = state.runConfig.answers[kind];
    char answer = given;
    if (given != '\0') {
        consolePrint("\n%s%c\n", question, given);
        consoleNote("answered %c by --answers", given);
    } else {
        consoleDropTypedAhead();
        consolePrint("\n%s", question);
        const int key = consoleReadKey();
        if (key < 0) {
            // Nobody can answer: going on unasked could flash a wrong image.
            consoleWrite("\nNo answer: the console input has ended. The run stops.\n");
            setStopReason("No answer: the console input has ended");
            abortRun(state.runPort);
        }
        if (key == kCtrlC) interruptRun();
        consolePrint("%c\n", key);
        answer = key == 'n' || key == 'N' ? 'n' : 'y';
    }
    eventQuestion(question, answer, given != '\0' ? "answers" : "console");
    state.answered[kind] = answer;
    if (answer != 'n') return true;
    char reason[200];
    std::snprintf(reason, sizeof reason, "answered n: %s", question);
    setStopReason(reason, true);
    return false;
}

void printRule(char ch) {
    char line[81];
    for (int i = 0; i < 79; ++i)
        line[i] = ch;
    line[79] = '\n';
    line[80] = '\0';
    consoleWrite(line);
}

void printBanner() {
    printRule('-');
    consoleWrite("TALVIREN GSM FLASH DOWNLOAD\n");
    consolePrint("Version: %s (%s)\n", kVersionText, kDateText);
    printRule('-');
}

void printFramedMessage(const char* text) {
    consoleWrite("\n");
    printRule('-');
    consoleWrite(text);
    printRule('-');
}

void failRun(const char* text) {
    setStopReason(text);
    printFramedMessage(text);
    abortRun(state.runPort);
}
