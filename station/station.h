// The station (--ports): one worker process per phone, each a classic single
// run of this program on its slot's device with --answers, --expect and
// --events, and one supervisor that reads their events and tells the
// observers (the screen, the journal) what happens to the slots; it never
// runs a stage itself (the loader search and the image checks aside, done
// once before any slot starts).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "platform/files.h"
#include "station/phone.h"
#include "station/slot.h"

struct Station {
    RunConfig config;
    StationIdentity identity;
    std::vector<ImageFacts> images;  // as the station's own checks found them
    std::vector<Slot> slots;
    std::string program;                  // what a worker runs
    std::vector<std::string> workerArgs;  // without /c: and --events=
    std::string logStamp;                 // the start time in the logs' names
    int64_t startMs = 0;                  // steady clock
    bool stopping = false;                // no new phones (q, a stop, a halt)
    std::string stopCause;  // a stop request that stops every phone now ("Ctrl-C", "SIGTERM")
    std::string halt;       // why the station took no more phones by itself
};

// Whether the command line asks for a station.
bool isStationLine(int argc, char** argv);
// The whole station; the process exit status.
int runStation(int argc, char** argv);

// Milliseconds: a steady clock for durations, the wall clock for records.
int64_t steadyMs();
int64_t wallMs();
// "job line3 (3f2a9c0d1e2f)"; the yield and the phones an hour ("; yield
// 75.0%, 41 phones/h"), "" before the first phone.
std::string jobText(const Station& station);
std::string yieldText(int32_t verified, int32_t failed, int64_t ms);
// A log of the slot's phone made anew, never over a file that is there: the
// slot, the station's start and the phone, then kind ("A-20261209-140307-3.log",
// then "...-3.2.log"); kNoOutputFile with the reason in *error.
OutputFile createLog(const Station& station, const Slot& slot, int32_t number, const char* kind,
                     std::string* path, std::string* error);
// The phones of all its slots.
struct PhoneCounts {
    int32_t verified = 0;
    int32_t failed = 0;
    int32_t interrupted = 0;
};
PhoneCounts stationCounts(const Station& station);
// The exit status of a station whose loop has ended.
int stationExitStatus(const Station& station);
// The phones being flashed now (announced, their worker not ended).
int32_t phonesBeingFlashed(const Station& station);
