// The station (--ports): one worker process per phone, each a classic single
// run of this program on its slot's device with --answers and --events, and
// one supervisor that reads their events, keeps the table and the journal,
// and never runs a stage itself (the loader search and the image checks
// aside, done once before any slot starts).
#pragma once

// The whole station; the process exit status.
int runStation(int argc, char** argv);

// Whether the command line asks for a station.
bool isStationLine(int argc, char** argv);
