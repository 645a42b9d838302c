// The run driver: the stages of a download run in order, the one abort path,
// the yes/no question, and the run-wide state every stage acts on.
#pragma once

#include <cstdint>

#include "app/command_line.h"

struct SerialPort;

constexpr const char* kVersionText = "3.10a";
constexpr const char* kDateText = "May 10 2002";

// Exit statuses.
constexpr int kExitSuccess = 0;
constexpr int kExitAbort = 1;
constexpr int kExitVerifyFailed = 2;  // every image processed, at least one failed

// The run's one port and configuration.
extern SerialPort* runPort;
extern RunConfig runConfig;
// The value slot handed to the replies that may carry a number.
extern int32_t runValue;

// Closes the port (if any) and ends the process with exit status 1.
[[noreturn]] void abortRun(SerialPort* port);

// How the abort path ends the process: std::exit unless set. The fuzz targets
// set one that unwinds back to them, so one process can end many runs.
using RunExit = void (*)(int status);
void setRunExit(RunExit runExit);

// Prints "\n<question>", reads one key: false for 'n'/'N', true for any other.
// End of input or a failed read stops the run through abortRun.
bool askYesNo(const char* question);

// 79 copies of ch and a line feed.
void printRule(char ch);
// "\n", hyphen rule, text, hyphen rule.
void printFramedMessage(const char* text);
// printFramedMessage, then abortRun with the run's port.
[[noreturn]] void failRun(const char* text);

// The whole run; returns the process exit status (or ends the process).
int runDownload(int argc, char** argv);
