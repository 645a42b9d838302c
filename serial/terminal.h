// The platform's console and files, as the application needs them. Nothing
// here prints.
#pragma once

#include <cstdint>
#include <cstdio>

// The separator of directories in a path.
#ifdef _WIN32
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif

// Opens path for reading without translation ("rb") only when it names a
// regular file: a directory, a device or a FIFO is refused like a missing
// file. Null when refused or when it does not open.
FILE* file_open_regular(const char* path);

// The length of an open file in bytes (64-bit), or -1 when it is unknown.
// The file is left at its start.
int64_t file_length(FILE* file);
