// Line settings during the run, and the infrared dongle that must follow
// every speed change in dongle mode.
#pragma once

#include <cstdint>

#include "app/command_line.h"

struct SerialPort;

constexpr int kDongleSpeedCount = 5;
constexpr int kDongleCommandLength = 11;
extern const int32_t dongleSpeeds[kDongleSpeedCount];
extern const uint8_t dongleSpeedCommands[kDongleSpeedCount][kDongleCommandLength];

constexpr uint8_t kDongleWakeUp = 0xF0;

bool setUpLink(SerialPort* port, int32_t speed, char parity, int32_t dataBits, int32_t stopBits,
               const RunConfig& config);
// 1 when the dongle was programmed for the row's speed, else 0.
int programDongle(SerialPort* port, int row);
// 1 when the dongle acknowledged its command state, 0 after ten attempts.
int resetDongle(SerialPort* port);
void pauseMs(double ms);
