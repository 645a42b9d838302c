// What the station reads, checked once before any slot starts: the loader
// (found as a run finds it), the images (with the classic texts and
// questions), their sizes and SHA-256; the outputs, none of which may be one
// of them; and the line each worker runs, which hands it what was checked.
#pragma once

#include <string>
#include <vector>

#include "station/station.h"

// The images' facts and the loader's in the station; false when one is
// refused (said on the console).
bool checkInputs(Station& station);
// False (said on standard error) when the journal or the log folder is the
// loader or an image (also by another name of it).
bool outputsAreNoInputs(const Station& station);
// An image's argument with its address ("a.bin:0x400000"; "-0x..." read back
// as the same 32 bits); the argument of --expect=KIND:SIZE:SHA256.
std::string imageArgument(const std::string& name, int32_t address);
std::string expectArgument(const std::string& kind, int64_t size, const std::string& sha256);
// The single run every worker makes, without its device and its events.
// args[0] is the name it is shown by.
std::vector<std::string> workerArguments(const Station& station, const std::string& shownName);
