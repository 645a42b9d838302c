// The run's events for programs (--events=FILE, an extension): one JSON
// object a line, each written whole. Every object has "event" and "t" (the
// seconds since the run began). The schema number grows when a field
// changes meaning. Without --events nothing here writes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/command_line.h"

constexpr int kEventsSchema = 1;

// Opens the stream; false when it cannot be written. The clock starts here.
bool eventsOpen(const char* path);
// Test and fuzz seam: every line (with its line end) goes to sink instead.
using EventSink = void (*)(const std::string& line);
void eventsOpenSink(EventSink sink);
void eventsClose();
bool eventsOn();

// The job the run belongs to (--job), for the start event's "job" (null
// without one).
void eventsSetJob(const std::string& name, const std::string& sha256);
void eventStart(const RunConfig& config);
// An image's stage carries its index and the speed of its blocks.
void eventStage(const char* stage, int32_t image = -1, int32_t speed = 0);
// The loader lines sent so far, at most four a second (it shows the upload
// is going on).
void eventUpload(uint32_t lines);
// What the phone said about itself, as far as it is known: each phone event
// carries all of it.
void eventPhoneIdentity(int32_t identity);
void eventPhoneLoader(const std::vector<std::string>& lines);
void eventPhoneFlashDevice(const std::vector<std::string>& lines);
// sha256: 64 hex digits, or "" when the platform could not make it.
void eventImage(int32_t index, const char* file, uint32_t address, int32_t size,
                const std::string& sha256, uint32_t checksum, uint16_t crc);
// At most four a second, and always the last (bytes == size).
void eventProgress(int32_t index, uint32_t bytes, uint32_t size);
void eventQuestion(const char* text, char answer, const char* by);
// phoneChecksum, phoneCrc: -1 when the phone reported none.
void eventVerdict(int32_t index, const char* result, int64_t phoneChecksum, int64_t phoneCrc);
void eventNote(const char* text);
// The phone said something (a line), at most once a second: a supervisor
// knows that it talks, also through a long wait such as the erase.
void eventHeard();
// A file is not the one the station checked (--expect): both of its sizes
// and digests.
void eventInputChanged(const char* file, int64_t expectedSize, const std::string& expectedSha256,
                       int64_t size, const std::string& sha256);
void eventEnd(int exitStatus, const char* result, const char* reason, const char* flash);
// The end event that a terminating signal writes, kept current with what the
// FLASH holds.
void eventsPrepareSignalEnd(const char* flash);
