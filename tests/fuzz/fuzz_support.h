// Shared by the fuzz targets: a run that ends through the abort path unwinds
// back to the target instead of ending the process, console answers come from
// the input, console output goes nowhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Thrown by the abort path while a fuzz target runs.
struct RunStopped {
    int status;
};

// Once per process: console output to /dev/null, the abort path unwinding.
void fuzzSetUp();

// The run's state as a fresh process has it; the fake port (if any) becomes
// the run's port.
struct FakePort;
void startRun(FakePort* fake);

// The console's input for this run: these bytes, then its end.
void feedConsole(const std::string& bytes);

// A file in this process's scratch directory, holding these bytes; returns its path.
std::string scratchFile(const std::string& name, const std::string& bytes);

// The reference sums of an image, computed byte by byte the long way.
struct ModelSums {
    uint32_t checksum;
    uint16_t crc;
};
ModelSums modelSums(const std::string& bytes);

// Fails the fuzz run (abort with the message) when the condition does not hold.
void require(bool condition, const char* what);
