#include "app/irom.h"

#include "app/channel.h"
#include "app/console.h"
#include "app/events.h"
#include "app/run_state.h"
#include "serial/port.h"

int32_t detectMobile() {
    SerialPort* port = run().runPort;
    char line[kReplyLineSize];
    int32_t result = kIromAnswered;
    port_drain_input(port);
    consoleWrite("\nSending AT to mobile\n");
    sendCommand(CmdAtCr, 0);
    if (readReplyLine(line, 1)) {
        consoleWrite("IROM found\n");
    } else {
        // Maybe a flash loader is already running: it talks at 115200.
        port->ops.set_line(port, kBaseSpeed, 'N', 8, 1);
        sendCommand(CmdAtCr, 0);
        delayMs(200);
        port_drain_input(port);
        sendCommand(CmdAtCrLf, 0);
        if (!readReplyLine(line, 1)) failRun("ERROR 1: Timeout waiting for mobile to respond\n");
        consoleWrite("Enbedded FLASH download routine found\n");
        result = kLoaderAnswered;
    }
    delayMs(200);
    port_drain_input(port);
    return result;
}

void identifyIromAndTestRam() {
    consoleWrite("\nRequesting IROM version number\n");
    sendCommand(CmdIromVersion, 0);
    // An IROM that reports no identity is taken as an early one (below 11):
    // its RAM test is the older command.
    int32_t identity = 0;
    bool read = false;
    readReply(4, &identity, &read);
    if (read) eventPhoneIdentity(identity);
    consolePrint("IROM identity %d\n", static_cast<int>(identity));
    const CommandCode ramTest = identity < 11 ? CmdRamTestLow : CmdRamTestHigh;
    int32_t unused = 0;

    consoleWrite("\nSending 8bit/8bit CS setup to IROM\n");
    sendCommand(CmdCsSetup8, 0);
    readReply(4, &unused);
    consoleWrite("Response OK\n");

    consoleWrite("\nInitial RAM test\n");
    consoleWrite("Wait for test to complete ....\n");
    sendCommand(ramTest, 0);
    ReplyResult result = readReply(4, &unused);
    if (result != ReplyRamPass) {
        consoleWrite("RAM test failure\n");
        delayMs(200);
        port_drain_input(run().runPort);

        consoleWrite("\nSending 16bit/16bit CS setup to IROM\n");
        sendCommand(CmdCsSetup16, 0);
        readReply(4, &unused);
        consoleWrite("Response OK\n");

        consoleWrite("\nRepeat RAM test\n");
        consoleWrite("Wait for test to complete ....\n");
        sendCommand(ramTest, 0);
        result = readReply(4, &unused);
    }
    if (result != ReplyRamPass) failRun("ERROR 2: External RAM test failure\n");
    consoleWrite("Response OK\n");
}

void runIromStage() {
    identifyIromAndTestRam();
    consoleWrite("\nSending start transfer command to IROM\n");
    delayMs(100);
    sendCommand(CmdStartTransfer, 3);
    int32_t unused = 0;
    while (readReply(4, &unused) != ReplyDownload) {
    }
    consoleWrite("Response OK\n");
}
