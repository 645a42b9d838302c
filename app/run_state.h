// The state of a download run in one record, below every stage: the stages
// reach it through run(), print their framed messages and ask their questions
// here, and end the run through the one abort path.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "app/command_line.h"

struct SerialPort;

constexpr const char* kVersionText = "3.10a";
constexpr const char* kDateText = "May 10 2002";

// Exit statuses.
constexpr int kExitSuccess = 0;
constexpr int kExitAbort = 1;
constexpr int kExitVerifyFailed = 2;  // every image processed, at least one failed

// The image being processed: its data file and its size values.
struct ImageFile {
    FILE* stream;      // opened "rb"; the next image's open closes it
    int32_t size;      // bytes; 0 before the first image
    uint32_t span;     // size rounded up to whole 64 KiB
    uint32_t sizeKiB;  // size rounded to the nearest KiB
};

// What the phone's FLASH holds, for the note when a run stops early.
struct FlashState {
    int32_t imagesStarted;  // images whose checks began
    int32_t imagesVerified;
    int32_t writing;      // the image whose FLASH is being changed (erased, written); -1: none
    uint32_t blocksSent;  // of that image
    uint32_t blocks;
};

struct RunState {
    SerialPort* runPort;     // the run's one port; null before it opens and once closed
    RunConfig runConfig;     // filled once by the command line
    bool skipEnqWait;        // /h: no wait for the phone's ENQ
    int32_t runValue;        // the value slot of the replies that may carry a number
    int32_t blockSpeed;      // the line speed of the blocks, once the loader took it
    FILE* loaderFile;        // the flash loader file, open from start-up to the end
    std::string loaderPath;  // the name it was opened by
    ImageFile currentImage;  // one at a time
    uint32_t glyphCount;     // progress glyphs printed for the current image
    FlashState flash;
    // What the phone would refuse with an ERROR reply now, for the note after
    // the classic message ("" when it needs no note).
    char refusalNote[160];
    // Why the run stops (the framed message, the answer, the cause), for the
    // event stream: the last one said. stoppedOnPurpose: a "no" or q.
    char stopReason[200];
    bool stoppedOnPurpose;
    // The questions asked so far, by kind: the answer ('y', 'n'), 0 unasked.
    char answered[kQuestionKinds];
};

// The run's state. One process runs one download; every stage shares it.
RunState& run();

// Back to the state of a process that has not started its run (closing the
// files the record holds, not the port).
void resetRun();

// Closes the port (if any) and ends the process with exit status 1. On
// standard error it says first whether the serial device went away, and what
// state the phone's FLASH is left in.
[[noreturn]] void abortRun(SerialPort* port);
// Ctrl-C read as a key (a console in raw input, a terminal without signals):
// the same way out as the signal, through the abort path with status 130.
constexpr int kCtrlC = 0x03;
[[noreturn]] void interruptRun();

// Keeps the note about the phone's FLASH current: call after every change of
// run().flash. It is also what Ctrl-C and the other terminating signals print.
void updateFlashNote();
// The note as it stands ("" before the FLASH was touched).
const char* flashNote();
// The same as one line (its lines joined with "; "), for the event stream.
std::string flashState();

// How the abort path ends the process: std::exit unless set. The fuzz targets
// set one that unwinds back to them, so one process can end many runs.
using RunExit = void (*)(int status);
void setRunExit(RunExit runExit);

// Prints "\n<question>", reads one key: false for 'n'/'N', true for any other.
// Keys typed before the question are dropped first. End of input or a failed
// read stops the run through abortRun. A question that --answers answers is
// printed with that answer, and the console is not read.
bool askYesNo(const char* question, Question kind);

// Keeps why the run stops (or would, for a failure it goes on after): text
// up to its first line end.
void setStopReason(const char* text, bool onPurpose = false);
// The end of a run that returns its exit status: the end event; returns it.
int finishRun(int status);

// 79 copies of ch and a line feed.
void printRule(char ch);
// The classic banner: rule, name, version, rule.
void printBanner();
// "\n", hyphen rule, text, hyphen rule.
void printFramedMessage(const char* text);
// printFramedMessage, then abortRun with the run's port.
[[noreturn]] void failRun(const char* text);
