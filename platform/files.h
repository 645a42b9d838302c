// Files as the application needs them, the same on every platform: regular
// files only, 64-bit lengths, paths and their separators. Nothing here prints.
#pragma once

#include <cstddef>
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
// file. Null when refused or when it does not open; file_open_failure then
// says why, in the system's words.
FILE* file_open_regular(const char* path);
const char* file_open_failure();

// The length of an open file in bytes (64-bit), or -1 when it is unknown.
// The file is left at its start.
int64_t file_length(FILE* file);

// Whether path names an existing regular file.
bool file_is_regular(const char* path);

// Whether two names (after links) or a name and an open file are the same
// existing file.
bool file_same(const char* path, const char* other);
bool file_same_open(const char* path, FILE* file);

// Whether a path names its place from the root (/opt/x on POSIX; C:\x, C:/x
// or \\server\x on Windows) rather than from the current directory.
bool path_is_absolute(const char* path);

// Whether an argument that starts with '/' may be a path (POSIX) rather than
// always an option (Windows, where '/' starts every option).
constexpr bool kSlashMayStartAPath = kPathSeparator == '/';

// A file that another program reads line by line: a regular file (made
// anew), a FIFO or /dev/fd/N, on Windows also a named pipe \\.\pipe\NAME.
using OutputFile = intptr_t;
constexpr OutputFile kNoOutputFile = -1;
OutputFile output_open(const char* path);
// A file that grows at its end and is never rewritten (made when missing).
OutputFile output_open_append(const char* path);
// Writes all of data, in one system call where the system takes it so: a
// reader never sees part of a line. False when it failed.
bool output_write(OutputFile file, const char* data, size_t length);
void output_close(OutputFile file);
// What was written is on the disk (true) before this returns.
bool output_sync(OutputFile file);
