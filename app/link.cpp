#include "app/link.h"

#include <cstdio>

#include "app/channel.h"
#include "app/console.h"
#include "app/run_state.h"
#include "app/trace.h"
#include "platform/keyboard.h"
#include "serial/port.h"

const int32_t dongleSpeeds[kDongleSpeedCount] = {9600, 19200, 38400, 57600, 115200};

const uint8_t dongleSpeedCommands[kDongleSpeedCount][kDongleCommandLength] = {
    {0x03, 0x46, 0x53, 0x63, 0x76, 0xD1, 0x56, 0xD0, 0x87, 0x91, 0x11},
    {0x03, 0x46, 0x53, 0x63, 0x76, 0xD1, 0x56, 0xD0, 0x8B, 0x90, 0x11},
    {0x03, 0x46, 0x53, 0x63, 0x76, 0xD1, 0x56, 0xD0, 0x85, 0x90, 0x11},
    {0x03, 0x46, 0x53, 0x63, 0x76, 0xD1, 0x56, 0xD0, 0x82, 0x90, 0x11},
    {0x03, 0x46, 0x51, 0x63, 0x76, 0xD1, 0x56, 0xD0, 0x81, 0x90, 0x11},
};

void pauseMs(double ms) {
    const uint32_t start = tick_ms();
    while (static_cast<double>(tick_ms() - start) < ms)
        idle_hook(nullptr);
}

int resetDongle(SerialPort* port) {
    port->ops.set_line(port, 9600, 'N', 8, 1);
    for (int attempt = 0; attempt < 10; ++attempt) {
        port->ops.set_dtr(port, 1);
        port->ops.set_rts(port, 1);
        pauseMs(50);
        port->ops.set_rts(port, 0);
        port->ops.send_break(port, 50);
        port->ops.set_rts(port, 1);
        pauseMs(50);
        port->ops.set_dtr(port, 0);
        // Whatever came in before (the phone's announcements relayed at the
        // wrong speed) is not the answer to this wake-up byte.
        port_drain_input(port);
        port->ops.write_byte(port, kDongleWakeUp);
        int32_t answer = port_read_byte_timed(port, 10);
        if (answer == 0xF4 || answer == 0xF5) return 1;
    }
    return 0;
}

int programDongle(SerialPort* port, int row) {
    const TraceStage previous = traceStage(TraceStage::Dongle);
    const int ok = resetDongle(port);
    if (ok == 1) {
        for (uint8_t byte : dongleSpeedCommands[row])
            port->ops.write_byte(port, byte);
        pauseMs(50);
        port->ops.set_dtr(port, 1);
        port->ops.set_line(port, dongleSpeeds[row], 'N', 8, 1);
    }
    traceStage(previous);
    return ok;
}

bool setUpLink(SerialPort* port, int32_t speed, char parity, int32_t dataBits, int32_t stopBits,
               const RunConfig& config) {
    if (port->ops.set_line(port, speed, parity, dataBits, stopBits) != 0) {
        char text[64];
        std::snprintf(text, sizeof text, "Failed to set the port: Status = %d\n",
                      static_cast<int>(port->status));
        setStopReason(text);
        consoleWrite(text);
        consoleWrite("Tips: Check port parameters.\n");
        return false;
    }
    if (config.linkMode == LinkWire) return true;
    delayMs(500);
    int row = 0;
    while (row < kDongleSpeedCount && dongleSpeeds[row] != speed)
        ++row;
    if (row == kDongleSpeedCount) {
        setStopReason("Failed to set the port: invalid baud rate for IR Dongle");
        consoleWrite("Failed to set the port: invalid baud rate for IR Dongle\n");
        return false;
    }
    if (programDongle(port, row) == 1) return true;
    setStopReason("Failed to program the IR Dongle");
    consoleWrite("Failed to program the IR Dongle\n");
    return false;
}
