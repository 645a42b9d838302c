// The files a station checked once before its workers run (--expect): a
// worker reads the same bytes for its phone, or refuses them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "app/command_line.h"

struct Sha256;

// A digest in lower-case hex ("" without one, or when the platform failed);
// the digest is freed.
std::string sha256Hex(Sha256* digest);
// The SHA-256 of a whole open file, left at its start.
std::string fileSha256(FILE* file);

// Ends the run through the abort path when the file called name, of size
// bytes and this SHA-256, is not the one expected: both digests on standard
// error and in the event stream.
void requireExpected(const char* name, int64_t size, const std::string& sha256,
                     const ExpectedFile& expected);
