// The IROM boot stage: who answers, identity, CS set-up and RAM test, and the
// start of the flash loader transfer.
#pragma once

#include <cstdint>

constexpr int32_t kIromAnswered = 0;
constexpr int32_t kLoaderAnswered = 1;

// kIromAnswered (line stays at 38400) or kLoaderAnswered (line at 115200).
// Ends the run when nobody answers.
int32_t detectMobile();
void identifyIromAndTestRam();
void runIromStage();
