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

// A file of records that only grows (a journal): made when missing (*created
// then says so), opened for reading too, every write at its end.
OutputFile output_open_records(const char* path, bool* created);
// A file made anew that never replaces one: kNoOutputFile, and *exists true,
// when the name is taken.
OutputFile output_create_new(const char* path, bool* exists);
bool output_is_regular(OutputFile file);
// Its length in bytes, -1 when unknown; its last byte, -1 when it is empty
// or cannot be read.
int64_t output_length(OutputFile file);
int output_last_byte(OutputFile file);
// Cuts it back to length bytes; the next write goes there.
bool output_cut(OutputFile file, int64_t length);
// Why the last output call that failed did, in the system's words.
const char* output_failure();

// A file just made stays made after a crash: its folder is synced (where
// the system needs it).
bool path_sync_folder(const char* path);
// Bytes free for this user on the disk that holds path; -1 when unknown.
int64_t path_free_bytes(const char* path);
// Whether a file's name may hold the character (':' may not on Windows).
bool path_char_allowed(char c);
// Whether anything (a file, a folder, a device) is there.
bool path_exists(const char* path);
