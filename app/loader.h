// The flash loader file: found and opened at start-up, sent to the IROM line
// by line in the first stage.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "app/command_line.h"

// Looks for the loader in the search directories and opens it as the run's
// loader file. False (after the framed message) when no directory holds it.
bool openFlashLoader(const RunConfig& config);
// The directory texts are DOS paths; where '\\' is no separator they name
// the same places with '/': the path a loader's name is opened by.
std::string loaderLocalPath(const std::string& path);

// Reads one loader line as a text-mode read would: at most 97 characters up
// to and including the LF, a CR LF read as LF. False at the end of the file.
bool readLoaderLine(FILE* file, char* buffer, size_t size);

// Sends the loader file line by line, each line acknowledged by the IROM.
void sendFlashLoader();
// Waits for the '.' that acknowledges a line; ends the run when it stays out.
void waitRecordAck();
