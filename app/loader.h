// The flash loader file: found and opened at start-up, sent to the IROM line
// by line in the first stage.
#pragma once

#include <cstdio>

#include "app/command_line.h"

// The open loader file; never closed by the run.
extern FILE* loaderFile;

// Looks for the loader in the search directories and opens it. False (after
// the framed message) when no directory holds it.
bool openFlashLoader(const RunConfig& config);
