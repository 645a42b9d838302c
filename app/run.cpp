#include "app/run.h"

#include <cstdio>
#include <cstdlib>

#include "app/channel.h"
#include "app/command_line.h"
#include "app/console.h"
#include "app/events.h"
#include "app/irom.h"
#include "app/link.h"
#include "app/loader.h"
#include "app/ports.h"
#include "app/progress.h"
#include "app/run_state.h"
#include "app/trace.h"
#include "app/transfer.h"
#include "platform/files.h"
#include "platform/keyboard.h"
#include "platform/terminal.h"
#include "serial/port.h"

namespace {

constexpr int32_t kInitialSpeed = 38400;
constexpr int kEnq = 0x81;
constexpr int kEnqAnswer = 0x7E;

bool waitsForEnq(const RunConfig& config) {
    if (config.linkMode == LinkDongle) return true;
    if (run().skipEnqWait) return false;
    return config.target != TargetK52;
}

void waitForEnq() {
    SerialPort* runPort = run().runPort;
    traceStage(TraceStage::Enq);
    eventStage("enq-wait");
    consoleWrite("\nWaiting for ENQ(81) from Mobile\n");
    consoleWrite("Press q to Quit\n");
    progressWaitBegin("waiting for ENQ");
    const uint32_t waitStart = tick_ms();
    int32_t byte;
    for (;;) {
        if (key_pressed()) {
            const int key = consoleReadKey();
            if (key == 'q') {
                setStopReason("q pressed in the ENQ wait", true);
                abortRun(runPort);
            }
            if (key == kCtrlC) interruptRun();
        }
        byte = runPort->ops.read_byte(runPort);
        if (byte == kEnq) break;
        if (byte < 0 && byte != PORT_NO_DATA) {
            // The device has gone: nothing will ever arrive.
            char text[64];
            std::snprintf(text, sizeof text, "Serial port failed. Status = %d\n",
                          static_cast<int>(byte));
            failRun(text);
        }
        if (byte == PORT_NO_DATA) {
            // No deadline: the phone's byte ends the sleep at once, a key is
            // seen within the allowance.
            idle_allow_ms(tick_ms() - waitStart, UINT32_MAX);
            idle_watch_keys();
            idle_hook(runPort);
        }
    }
    progressWaitEnd();
    consolePrint("\nCharacter received is %x\n", static_cast<unsigned>(byte));
    runPort->ops.write_byte(runPort, kEnqAnswer);
    consolePrint("Character sent is %x", static_cast<unsigned>(kEnqAnswer));
    delayMs(200);
}

void firstStage() {
    traceStage(TraceStage::Irom);
    eventStage("irom");
    if (detectMobile() != kIromAnswered) return;
    runIromStage();
    setUpLink(run().runPort, kBaseSpeed, 'N', 8, 1, run().runConfig);
    traceStage(TraceStage::LoaderUpload);
    eventStage("loader-upload");
    sendFlashLoader();
    consoleWrite("\n");
    printRule('~');
    consoleWrite("First stage load complete (RAM)\n");
    printRule('~');
    delayMs(500);
}

void raiseDownloadSpeed() {
    traceStage(TraceStage::LoaderCommands);
    eventStage("loader");
    RunState& state = run();
    port_drain_input(state.runPort);
    const int32_t speed = state.runConfig.downloadSpeed;
    state.blockSpeed = kBaseSpeed;
    if (speed == kBaseSpeed) return;
    consolePrint("\nSetting download speed to %dbps...", static_cast<int>(speed));
    sendCommand(CmdSpeed, speed);
    if (readReply(4, &state.runValue) == ReplyOk) {
        setUpLink(state.runPort, speed, 'N', 8, 1, state.runConfig);
        state.blockSpeed = speed;
        consoleWrite("done\n");
        delayMs(500);
    } else {
        consolePrint("Loader can not support %dbps, using 115200bps instead\n",
                     static_cast<int>(speed));
    }
}

void greetLoader() {
    RunState& state = run();
    consoleWrite("\nSending AT to mobile\n");
    sendCommand(CmdAtCrLf, 0);
    readReply(4, &state.runValue);
    consoleWrite("Response OK\n");
    port_drain_input(state.runPort);

    consoleWrite("\nRequesting flash loader version information\n");
    sendCommand(CmdVersion, 0);
    readReply(4, &state.runValue);
    eventPhoneLoader(lastReplyLines());
    consoleWrite("Response OK\n");
}

// The event stream, made anew: never over an image.
bool startEvents(const RunConfig& config) {
    for (int32_t i = 0; i < config.imageCount; ++i) {
        if (file_same(config.eventsFile, config.imageNames[i])) {
            consoleNote("%s: the event stream is %s, an input of this run; name another file",
                        config.eventsFile, config.imageNames[i]);
            return false;
        }
    }
    if (eventsOpen(config.eventsFile)) return true;
    consoleNote("%s: the event stream cannot be written", config.eventsFile);
    return false;
}

// The trace is written from its start: never over a file the run reads.
bool startTrace(const RunConfig& config) {
    const char* input =
        file_same_open(config.traceFile, run().loaderFile) ? "the flash loader" : nullptr;
    for (int32_t i = 0; i < config.imageCount && input == nullptr; ++i)
        if (file_same(config.traceFile, config.imageNames[i])) input = config.imageNames[i];
    if (input != nullptr) {
        setStopReason("the trace file is an input of this run");
        consoleNote("%s: the trace file is %s, an input of this run; name another file",
                    config.traceFile, input);
        return false;
    }
    if (!traceOpen(config.traceFile)) {
        setStopReason("the trace file cannot be written");
        consoleNote("%s: the trace file cannot be written", config.traceFile);
        return false;
    }
    return true;
}

// The port could not be opened: after the classic text, the device, the
// system's reason and the usual remedy.
void noteOpenFailure(const SerialPort* port) {
    if (port->os_reason[0] == '\0') return;
    const char* remedy = port_os_remedy(port);
    // The classic tips line has no line end of its own.
    consoleNote("\n%s: %s%s%s%s", port->device, port->os_reason, remedy[0] != '\0' ? " (" : "",
                remedy, remedy[0] != '\0' ? ")" : "");
}

}  // namespace

int runDownload(int argc, char** argv) {
    RunState& state = run();
    RunConfig& runConfig = state.runConfig;
    SerialPort*& runPort = state.runPort;
    consoleInit();
    CommandLineError error;
    const bool valid = parseCommandLine(argc, argv, runConfig, &error);
    // Asking for help or the version touches no port.
    if (valid && runConfig.showHelp) {
        printHelp();
        return kExitSuccess;
    }
    if (valid && runConfig.showVersion) {
        printVersion();
        return kExitSuccess;
    }
    if (valid && runConfig.listPorts) return listSerialPorts();
    state.skipEnqWait = runConfig.skipEnqWait;
    printBanner();
    if (!valid) {
        consoleNote("%s", error.text);
        printUsage();
        return kExitAbort;
    }
    if (runConfig.eventsFile != nullptr && !startEvents(runConfig)) return kExitAbort;
    eventStart(runConfig);
    progressEnable(runConfig.progress);
    if (!openFlashLoader(runConfig)) return finishRun(kExitAbort);
    if (runConfig.traceFile != nullptr && !startTrace(runConfig)) return finishRun(kExitAbort);

    consoleWrite("\nEntering Serial Mode\n");
    if (runConfig.deviceName != nullptr) {
        consolePrint("\nOpening %s\n", runConfig.deviceName);
    } else {
        consolePrint("\nOpening COM%d\n", static_cast<int>(runConfig.portIndex + 1));
    }
    runPort = serial_port_open(runConfig.portIndex, runConfig.deviceName, kInitialSpeed, 'N', 8, 1);
    if (runPort->status < 0) {
        char text[64];
        std::snprintf(text, sizeof text, "Failed to open the port. Status = %d\n",
                      static_cast<int>(runPort->status));
        setStopReason(text);
        consoleWrite(text);
        consoleWrite(
            "Tips: Check to see if the port be used or not properly closed by other program.");
        noteOpenFailure(runPort);
        abortRun(runPort);
    }
    noteModemManager(runPort->device);
    traceAttach(runPort, kInitialSpeed);
    if (!setUpLink(runPort, kInitialSpeed, 'N', 8, 1, runConfig)) abortRun(runPort);
    consoleWrite(runConfig.linkMode == LinkWire ? "\nEntring WIRE Mode\n"
                                                : "\nEntring IR Mode using dongle\n");
    if (waitsForEnq(runConfig)) waitForEnq();

    firstStage();
    raiseDownloadSpeed();
    greetLoader();

    bool allVerified = true;
    for (int32_t i = 0; i < runConfig.imageCount; ++i) {
        if (!transferImage(runConfig, i)) allVerified = false;
    }

    eventStage("end");
    sendCommand(CmdEnd, 0);
    runPort->ops.close(runPort);
    runPort = nullptr;
    if (runConfig.imageCount > 1) {
        consoleNote("%d of %d images verified", static_cast<int>(state.flash.imagesVerified),
                    static_cast<int>(runConfig.imageCount));
    }
    return finishRun(allVerified ? kExitSuccess : kExitVerifyFailed);
}
