// Files as the application needs them, the same on every platform: regular
// files only, 64-bit lengths, paths and their separators. Nothing here prints.
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
